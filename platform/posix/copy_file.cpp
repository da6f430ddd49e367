// POSIX stand-in for kernel32 CopyFileA.
//
// How the live file is put in place:
// - Replaced atomically wherever the new file can take the old one's place
//   unchanged: same owner and group, every extended attribute the caller can
//   see (access lists included), no other hard link, and a directory that
//   allows the rename. The new content goes into a temporary file beside it,
//   is flushed, renamed over the live name, and the directory is flushed: a
//   reader, a crash or a power cut sees the whole old file or the whole new.
// - Otherwise written in place, as the platform itself does, and only where
//   the caller may open the live file for writing anyway. The whole new size
//   is reserved first, so a full disk fails before any byte changes; then
//   the content is written from the start, cut to length, and flushed. The
//   file keeps its inode, owner, mode, access list, attributes and links. A
//   crash in the middle of this write can leave a mixed file.
// - A live file that does not exist is built unnamed and linked straight to
//   its name, so nothing is left behind and no existing name is clobbered.
//   It is made as any new file in its directory is (the umask, or the
//   default access list).
// - Of the stored copy's mode only read-only goes along, whichever way the
//   live file was put in place: no write bit there, none left on it.
// - A symbolic link under either name is followed only where no less
//   privileged user could have planted it.
// No name is ever made that could not be removed again, a resource limit
// never kills the caller, and the source is only read.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/xattr.h>
#endif

namespace {

bool fail(int err)
{
    errno = err;
    return false;
}

// An open descriptor, closed on scope exit without disturbing errno.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool ok() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_;
};

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A file name split into an open directory and the last component in it.
struct Place {
    Fd dir;
    std::string name;
};

bool open_place(const std::string &path, Place &place)
{
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    place.name = slash == std::string::npos ? path : path.substr(slash + 1);
    // A trailing slash or a dot names a directory, never a file to replace.
    if (place.name.empty() || place.name == "." || place.name == "..")
        return fail(EISDIR);
    place.dir.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return place.dir.ok();
}

// A file larger than the caller may write would end in SIGXFSZ part way.
bool within_size_limit(off_t size)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return true;
    return static_cast<std::uintmax_t>(size) <= limit.rlim_cur || fail(EFBIG);
}

// Where the kernel says an open descriptor leads, as an absolute path.
bool path_of(int fd, std::string &path)
{
#if defined(__linux__)
    char buf[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), buf, sizeof buf);
    if (n > 0 && n < static_cast<ssize_t>(sizeof buf) && buf[0] == '/') {
        path.assign(buf, static_cast<size_t>(n));
        return true;
    }
#elif defined(F_GETPATH)
    char buf[PATH_MAX];
    if (::fcntl(fd, F_GETPATH, buf) == 0) {
        path = buf;
        return true;
    }
#endif
    (void)fd;
    return false;
}

// A symbolic link is followed only where no less privileged user could have
// planted it: one made by root, by the caller, or by the owner of the file it
// leads to. On the platform only administrators make links; here anyone may,
// and another user's link in a folder that user may write would lend the
// caller's rights to read or replace any file. The link judged is the one
// opened and the file judged is the one it led to, by descriptor, so a swap
// between a look and an open cannot slip by. Links further on are walked by
// the kernel, with its own protections. Gives the file's path and status.
bool follow_link(int dir, const std::string &name, std::string &path, struct stat &st)
{
    const Fd link(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat link_st {};
    if (!link.ok() || ::fstat(link.get(), &link_st) != 0)
        return false;
    if (!S_ISLNK(link_st.st_mode))
        return fail(ENOENT); // replaced while we looked
    char to[PATH_MAX];
    const ssize_t n = ::readlinkat(link.get(), "", to, sizeof to);
    if (n < 0 || n >= static_cast<ssize_t>(sizeof to))
        return n < 0 ? false : fail(ENAMETOOLONG);
    to[n] = '\0';
    // Not opened for reading or writing: a FIFO or device must not be.
    const Fd target(::openat(dir, to, O_PATH | O_CLOEXEC));
    if (!target.ok() || ::fstat(target.get(), &st) != 0)
        return false;
    const uid_t me = ::geteuid();
    if (link_st.st_uid != 0 && link_st.st_uid != me && link_st.st_uid != st.st_uid)
        return fail(EACCES);
    return path_of(target.get(), path) || fail(ENOENT);
}

// Opens the source without blocking: a FIFO or device under its name must
// fail at once, not wait for a writer or act on the device. The file read is
// the file looked at, or judged at the end of a link.
bool open_source(const char *path, Fd &fd, struct stat &st)
{
    if (::lstat(path, &st) != 0)
        return false;
    std::string file = path;
    Place place;
    if (S_ISLNK(st.st_mode) &&
        !(open_place(path, place) && follow_link(place.dir.get(), place.name, file, st)))
        return false;
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    const struct stat looked = st;
    fd.reset(::open(file.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || !same_file(st, looked)) // swapped since the look
        return fail(EINVAL);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Whether names in the directory may be removed or renamed: an append-only
// or immutable directory keeps every name made in it.
struct DirRules {
    bool append_only = false;
    bool immutable = false;
};

DirRules dir_rules(int dir)
{
    DirRules rules;
#if defined(FS_IOC_GETFLAGS)
    int flags = 0;
    if (::ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0) { // NOLINT(cppcoreguidelines-pro-type-vararg)
        rules.append_only = (flags & FS_APPEND_FL) != 0;
        rules.immutable = (flags & FS_IMMUTABLE_FL) != 0;
    }
#else
    (void)dir;
#endif
    return rules;
}

// A name for a temporary file: hidden, beside the live file, within the
// longest name a directory takes, and unlikely to meet another run's;
// callers retry on EEXIST.
std::string hidden_name(const std::string &live_name)
{
    static std::atomic<unsigned> counter{0};
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                      static_cast<std::uint64_t>(now.tv_nsec) ^
                      (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ ++counter;
    x ^= x >> 33; // mix so that close seeds give unrelated names
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    static const char digits[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    constexpr size_t kSuffix = 10; // the dots and eight digits
    std::string name = "." + live_name.substr(0, NAME_MAX - kSuffix) + ".";
    for (int i = 0; i < 8; ++i, x /= 62)
        name += digits[x % 62];
    return name;
}

constexpr int kNameTries = 100;

// The file the new content is built in. Unnamed (O_TMPFILE) where the
// filesystem allows, so a crash mid-copy leaves nothing behind; otherwise a
// hidden name that is removed again unless the file was put in place.
class Temp {
public:
    explicit Temp(int dir) noexcept : dir_(dir) {}
    ~Temp()
    {
        if (!name_.empty()) {
            const int saved = errno;
            ::unlinkat(dir_, name_.c_str(), 0);
            errno = saved;
        }
    }
    Temp(const Temp &) = delete;
    Temp &operator=(const Temp &) = delete;

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool unnamed() const noexcept { return name_.empty(); }

    bool create(const std::string &live_name, mode_t mode, bool allow_unnamed, bool allow_named = true)
    {
#if defined(O_TMPFILE)
        if (allow_unnamed) {
            fd_.reset(::openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
            if (fd_.ok())
                return true;
            // Not every filesystem has unnamed files; a named one will do.
            if (!allow_named)
                return false;
        }
#else
        (void)allow_unnamed;
#endif
        if (!allow_named)
            return fail(EPERM);
        for (int i = 0; i < kNameTries; ++i) {
            std::string name = hidden_name(live_name);
            fd_.reset(::openat(dir_, name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (fd_.ok()) {
                name_ = std::move(name);
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    // Gives the finished file the live name, which must not exist: EEXIST
    // comes atomically if another run got there first.
    bool link_as(const std::string &live_name)
    {
        if (unnamed())
            return link_unnamed(live_name);
#if defined(RENAME_NOREPLACE)
        // Moves the name, so nothing is left even for a moment.
        if (::renameat2(dir_, name_.c_str(), dir_, live_name.c_str(), RENAME_NOREPLACE) == 0) {
            name_.clear();
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS)
            return false;
#endif
        if (::linkat(dir_, name_.c_str(), dir_, live_name.c_str(), 0) != 0)
            return false;
        ::unlinkat(dir_, name_.c_str(), 0);
        name_.clear();
        return true;
    }

    // Puts the finished file in place of the live file.
    bool rename_over(const std::string &live_name)
    {
        // A link cannot replace a file, so an unnamed file is named first.
        for (int i = 0; unnamed(); ++i) {
            std::string name = hidden_name(live_name);
            if (link_unnamed(name))
                name_ = std::move(name);
            else if (errno != EEXIST || i + 1 == kNameTries)
                return false;
        }
        if (::renameat(dir_, name_.c_str(), dir_, live_name.c_str()) != 0)
            return false;
        name_.clear();
        return true;
    }

private:
    bool link_unnamed(const std::string &name)
    {
#if defined(AT_EMPTY_PATH)
        if (::linkat(fd(), "", dir_, name.c_str(), AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT) // ENOENT: not privileged to link by descriptor
            return false;
        const std::string proc = "/proc/self/fd/" + std::to_string(fd());
        return ::linkat(AT_FDCWD, proc.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
#else
        (void)name;
        return fail(ENOENT);
#endif
    }

    int dir_;
    Fd fd_;
    std::string name_;
};

bool write_all(int fd, const char *buf, size_t len, off_t off)
{
    while (len > 0) {
        const ssize_t n = ::pwrite(fd, buf, len, off);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
        off += n;
    }
    return true;
}

// Copies the source's first `size` bytes to the start of dst: in the kernel
// where it can (which also lets a filesystem share extents), with a plain
// loop of fixed memory where it cannot. Nothing is asked of either file past
// `size`, so a copy that exactly fits a file size limit stays within it.
bool copy_content(int src, int dst, off_t size)
{
    off_t off = 0;
#if defined(__linux__)
    while (off < size) {
        off_t in = off, out = off;
        const auto chunk = static_cast<size_t>(std::min<off_t>(size - off, off_t{1} << 30));
        const ssize_t n = ::copy_file_range(src, &in, dst, &out, chunk, 0);
        if (n > 0) {
            off += n;
            continue;
        }
        if (n == 0)
            break; // a filesystem that copies nothing here: the loop below tells
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EPERM && errno != EBADF)
            return false;
        break; // refused between these files: go on by hand from here
    }
#endif
    if (off == size)
        return true;
    constexpr size_t kBuffer = size_t{128} << 10;
    const std::unique_ptr<char[]> buf(new (std::nothrow) char[kBuffer]); // off the stack
    if (!buf)
        return fail(ENOMEM);
    while (off < size) {
        const auto want = static_cast<size_t>(std::min<off_t>(size - off, off_t{kBuffer}));
        const ssize_t n = ::pread(src, buf.get(), want, off);
        if (n == 0)
            return fail(EIO); // the source shrank under us: never publish a short file
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!write_all(dst, buf.get(), static_cast<size_t>(n), off))
            return false;
        off += n;
    }
    return true;
}

bool flush(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno == EINTR)
            continue;
        // A filesystem that has no flush at all cannot do better.
        return errno == EINVAL || errno == ENOSYS || errno == ENOTSUP;
    }
    return true;
}

// The stored copy's modification time, where the caller may set it: only the
// owner may, so a writer who is not keeps the time of the write, as the
// platform's own copy does for such a caller.
bool set_times(int fd, const struct stat &src)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, src.st_mtim};
    return ::futimens(fd, times) == 0 || errno == EPERM || errno == EACCES;
}

// Of the stored copy's attributes only read-only goes along, as on the
// platform, to a new live file and a replaced one alike: no write bit there,
// none here. Like the time, best effort for a writer who is not the owner.
bool take_read_only(int fd, const struct stat &src)
{
    struct stat st {};
    return (src.st_mode & 0222) != 0 ||
           (::fstat(fd, &st) == 0 && (::fchmod(fd, st.st_mode & 07555) == 0 || errno == EPERM));
}

// What became of an attempt to give the new file the old one's identity.
enum class Kept { yes, cannot, failed };

// Errors that say the caller may not give a file this identity, as opposed
// to a disk or filesystem failing.
Kept refused_or_failed()
{
    return errno == EPERM || errno == EACCES || errno == ENOTSUP // also EOPNOTSUPP here
               ? Kept::cannot
               : Kept::failed;
}

#if defined(__linux__)
// The names of a file's extended attributes, as the caller sees them.
bool xattr_names(int fd, std::vector<std::string> &names)
{
    ssize_t len = ::flistxattr(fd, nullptr, 0);
    if (len < 0)
        return errno == ENOTSUP; // a filesystem without them has none
    std::vector<char> list(static_cast<size_t>(len) + 1);
    len = ::flistxattr(fd, list.data(), list.size());
    if (len < 0)
        return false;
    for (size_t at = 0; at < static_cast<size_t>(len); at += names.back().size() + 1)
        names.emplace_back(&list[at]);
    return true;
}

bool xattr_value(int fd, const std::string &name, std::vector<char> &value)
{
    const ssize_t len = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (len < 0)
        return false;
    value.resize(static_cast<size_t>(len));
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    value.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return got >= 0;
}

// Makes the new file's extended attributes (access list included) exactly
// the old one's: copies each, and drops any the new file was given by the
// directory that the old one did not have.
Kept keep_xattrs(int tmp, int old_live)
{
    std::vector<std::string> old_names, new_names;
    if (!xattr_names(old_live, old_names) || !xattr_names(tmp, new_names))
        return Kept::failed;
    std::vector<char> want, have;
    for (const std::string &name : old_names) {
        if (!xattr_value(old_live, name, want))
            return Kept::failed;
        if (xattr_value(tmp, name, have) && have == want)
            continue;
        if (::fsetxattr(tmp, name.c_str(), want.data(), want.size(), 0) != 0)
            return refused_or_failed();
    }
    for (const std::string &name : new_names) {
        const bool old_has = std::find(old_names.begin(), old_names.end(), name) != old_names.end();
        if (!old_has && ::fremovexattr(tmp, name.c_str()) != 0)
            return refused_or_failed();
    }
    return Kept::yes;
}
#endif

// Gives the new file the old one's owner, group, attributes and mode, in
// that order: a change of owner clears set-id bits, and the mode sets the
// access list's mask. Checked afterwards, as the kernel may quietly drop a
// set-gid bit the caller may not set.
Kept keep_identity(int tmp, int old_live, const struct stat &old)
{
    struct stat now {};
    if (::fstat(tmp, &now) != 0)
        return Kept::failed;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(tmp, old.st_uid, old.st_gid) != 0)
        return refused_or_failed();
#if defined(__linux__)
    const Kept xattrs = keep_xattrs(tmp, old_live);
    if (xattrs != Kept::yes)
        return xattrs;
#else
    (void)old_live;
#endif
    if (::fchmod(tmp, old.st_mode & 07777) != 0)
        return refused_or_failed();
    if (::fstat(tmp, &now) != 0)
        return Kept::failed;
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
                   (now.st_mode & 07777) == (old.st_mode & 07777)
               ? Kept::yes
               : Kept::cannot;
}

// The atomic way: a temporary file that takes the old one's place whole.
// Content first, then identity: a write by the owner clears set-id bits.
Kept replace_atomically(int src, const struct stat &src_st, const Place &live, int old_live,
                        const struct stat &live_st)
{
    for (bool allow_unnamed : {true, false}) {
        Temp tmp(live.dir.get());
        if (!tmp.create(live.name, S_IRUSR | S_IWUSR, allow_unnamed))
            return refused_or_failed(); // a directory the caller may not write
        if (!copy_content(src, tmp.fd(), src_st.st_size))
            return Kept::failed;
        const Kept kept = keep_identity(tmp.fd(), old_live, live_st);
        if (kept != Kept::yes)
            return kept;
        if (!set_times(tmp.fd(), src_st) || !take_read_only(tmp.fd(), src_st) || !flush(tmp.fd()))
            return Kept::failed;
        if (tmp.rename_over(live.name)) {
            // The replace is done; a directory that cannot be flushed must
            // not make it look undone.
            (void)::fsync(live.dir.get());
            return Kept::yes;
        }
        // ENOENT: an unnamed file that may not be linked here (no /proc, no
        // privilege). Build it again under a hidden name.
        if (!tmp.unnamed() || errno != ENOENT)
            return refused_or_failed(); // say, a sticky directory
    }
    return Kept::failed;
}

// Room for `size` bytes in the file, taken before any byte of it changes.
bool reserve(int fd, off_t size)
{
    if (size == 0)
        return true;
#if defined(__linux__)
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0)
        return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
#endif
    // No reservation here: at least make sure the space is free now.
    struct stat st {};
    struct statvfs fs {};
    if (::fstat(fd, &st) != 0 || ::fstatvfs(fd, &fs) != 0)
        return false;
    const auto held = static_cast<std::uintmax_t>(st.st_blocks) * 512;
    const auto need = static_cast<std::uintmax_t>(size);
    const auto free_bytes = static_cast<std::uintmax_t>(fs.f_bavail) * fs.f_frsize;
    return need <= held || need - held <= free_bytes || fail(ENOSPC);
}

// The platform's way: the new content written into the live file itself.
bool write_in_place(int src, const struct stat &src_st, int live)
{
    return reserve(live, src_st.st_size) && copy_content(src, live, src_st.st_size) &&
           ::ftruncate(live, src_st.st_size) == 0 && set_times(live, src_st) &&
           take_read_only(live, src_st) && flush(live);
}

// A live file that is not there yet: built unnamed and linked to its name.
bool create_live(int src, const struct stat &src_st, const Place &live, const DirRules &rules)
{
    if (rules.immutable)
        return fail(EPERM);
    for (bool allow_unnamed : {true, false}) {
        // Made as any new file here is made: 0666 less the umask, or the
        // directory's default access list. Where names cannot be removed
        // again, a hidden name is never made.
        Temp tmp(live.dir.get());
        if (!tmp.create(live.name, 0666, allow_unnamed, !rules.append_only))
            return false;
        if (!copy_content(src, tmp.fd(), src_st.st_size) || !set_times(tmp.fd(), src_st) ||
            !take_read_only(tmp.fd(), src_st) || !flush(tmp.fd()))
            return false;
        if (tmp.link_as(live.name)) {
            (void)::fsync(live.dir.get());
            return true;
        }
        if (!tmp.unnamed() || errno != ENOENT)
            return false;
    }
    return false;
}

} // namespace

extern "C" BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists)
{
    if (existing_name == nullptr || new_name == nullptr)
        return fail(EINVAL);

    Fd src;
    struct stat src_st {};
    if (!open_source(existing_name, src, src_st) || !within_size_limit(src_st.st_size))
        return FALSE;

    // Twice at most: a live file that another run creates while this one
    // builds its own is then replaced like any other.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Place live;
        if (!open_place(new_name, live))
            return FALSE;
        struct stat live_st {};
        if (::fstatat(live.dir.get(), live.name.c_str(), &live_st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return FALSE;
            if (create_live(src.get(), src_st, live, dir_rules(live.dir.get())))
                return TRUE;
            if (errno != EEXIST || fail_if_exists)
                return FALSE;
            continue;
        }
        if (fail_if_exists)
            return fail(EEXIST);

        std::string target;
        if (S_ISLNK(live_st.st_mode) &&
            !(follow_link(live.dir.get(), live.name, target, live_st) && open_place(target, live)))
            return FALSE;
        if (S_ISDIR(live_st.st_mode))
            return fail(EISDIR);
        if (!S_ISREG(live_st.st_mode))
            return fail(EINVAL);
        // The platform never copies a file onto itself, under any name.
        if (same_file(live_st, src_st))
            return fail(EINVAL);
        // Nor does it overwrite a read-only file, even for an administrator
        // who passes every permission check: no write bit is read-only.
        if ((live_st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return fail(EACCES);
        // Opening for writing asks the kernel the rest: ACLs, immutable
        // files, read-only mounts, a lease held by another process. It is
        // also the proof that writing in place is the caller's right.
        Fd old_live(::openat(live.dir.get(), live.name.c_str(),
                             O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat check {};
        if (!old_live.ok() || ::fstat(old_live.get(), &check) != 0)
            return FALSE;
        if (!same_file(check, live_st))
            return fail(ENOENT); // replaced while we looked

        // Another name for the file, a directory that keeps its names, or an
        // owner the caller cannot give: only writing in place keeps those.
        const DirRules rules = dir_rules(live.dir.get());
        const bool may_replace = live_st.st_nlink == 1 && !rules.append_only &&
                                 !rules.immutable &&
                                 (::geteuid() == 0 || ::geteuid() == live_st.st_uid);
        if (may_replace) {
            const Kept kept = replace_atomically(src.get(), src_st, live, old_live.get(), live_st);
            if (kept != Kept::cannot)
                return kept == Kept::yes ? TRUE : FALSE;
        }
        return write_in_place(src.get(), src_st, old_live.get()) ? TRUE : FALSE;
    }
    return FALSE;
}
