// POSIX stand-in for kernel32 CopyFileA.
//
// The live file is never written in place. The new content goes into a
// temporary file in the live file's own directory, is flushed to disk, and is
// then renamed over the live name, so a reader, a crash or a full disk sees
// either the whole old file or the whole new one. The source is only read.
#include <windows.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
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

// Opens the source without blocking: a FIFO or device under its name must
// fail at once, not wait for a writer or act on the device.
bool open_source(const char *path, Fd &fd, struct stat &st)
{
    if (::stat(path, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    fd.reset(::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) // swapped for something else since the stat
        return fail(EINVAL);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
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

// When the live name is a symbolic link, the file it leads to is the one to
// replace, and the link stays a link. The kernel walks the link, so loops,
// dangling links and its symlink protections apply as for any open; then the
// place it names is checked to still hold that very file.
bool follow_link(Place &live, struct stat &st)
{
#if defined(O_PATH)
    Fd target(::openat(live.dir.get(), live.name.c_str(), O_PATH | O_CLOEXEC));
#else
    Fd target(::openat(live.dir.get(), live.name.c_str(),
                       O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
#endif
    if (!target.ok() || ::fstat(target.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    std::string path;
    if (!path_of(target.get(), path))
        return fail(ENOENT);
    Place resolved;
    struct stat check {};
    if (!open_place(path, resolved) ||
        ::fstatat(resolved.dir.get(), resolved.name.c_str(), &check,
                  AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!same_file(check, st))
        return fail(ENOENT); // moved while we looked
    live = std::move(resolved);
    return true;
}

// A name for a temporary file: hidden, beside the live file, and unlikely to
// meet another run's; callers retry on EEXIST.
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
    std::string name = "." + live_name + ".";
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

    bool create(const std::string &live_name, mode_t mode, bool allow_unnamed)
    {
#if defined(O_TMPFILE)
        if (allow_unnamed) {
            fd_.reset(::openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
            if (fd_.ok())
                return true;
            // Not every filesystem has unnamed files; a named one will do.
        }
#else
        (void)allow_unnamed;
#endif
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

    // Puts the finished file under `live_name`, replacing what is there or,
    // unless `replace`, failing with EEXIST if the name is taken.
    bool publish(const std::string &live_name, bool replace)
    {
        if (unnamed()) {
            if (!replace)
                return link_unnamed(live_name); // EEXIST comes atomically
            // A link cannot replace a file, so name it first, then rename.
            for (int i = 0;; ++i) {
                std::string name = hidden_name(live_name);
                if (link_unnamed(name)) {
                    name_ = std::move(name);
                    break;
                }
                if (errno != EEXIST || i + 1 == kNameTries)
                    return false;
            }
        }
        if (replace) {
            if (::renameat(dir_, name_.c_str(), dir_, live_name.c_str()) != 0)
                return false;
        } else {
            if (::linkat(dir_, name_.c_str(), dir_, live_name.c_str(), 0) != 0)
                return false;
            ::unlinkat(dir_, name_.c_str(), 0);
        }
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

// Copies the source from its start to its end into dst, in the kernel where
// it can (which also lets a filesystem share extents), with a plain loop of
// fixed memory where it cannot.
bool copy_content(int src, int dst)
{
    off_t off = 0;
#if defined(__linux__)
    for (;;) {
        off_t in = off, out = off;
        const ssize_t n = ::copy_file_range(src, &in, dst, &out, size_t{1} << 30, 0);
        if (n > 0) {
            off += n;
            continue;
        }
        if (n == 0)
            break; // end of file, or a filesystem that copies nothing: the loop below tells
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EPERM && errno != EBADF)
            return false;
        break; // refused between these files: go on by hand from here
    }
#endif
    std::array<char, std::size_t{128} << 10> buf;
    for (;;) {
        const ssize_t n = ::pread(src, buf.data(), buf.size(), off);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!write_all(dst, buf.data(), static_cast<size_t>(n), off))
            return false;
        off += n;
    }
}

// Gives the new file the old live file's owner, group, access list and mode,
// so whatever owned and wrote the live file still can.
bool keep_access(int tmp, int old_live, const struct stat &old)
{
    struct stat now {};
    if (::fstat(tmp, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(tmp, old.st_uid, old.st_gid) != 0)
        return false; // replacing would lock the owner out: keep the old file
#if defined(__linux__)
    static const char acl[] = "system.posix_acl_access";
    ssize_t len = ::fgetxattr(old_live, acl, nullptr, 0);
    if (len > 0) {
        std::vector<char> value(static_cast<size_t>(len));
        len = ::fgetxattr(old_live, acl, value.data(), value.size());
        if (len > 0 && ::fsetxattr(tmp, acl, value.data(), static_cast<size_t>(len), 0) != 0)
            return false;
    }
    if (len < 0 && errno != ENODATA && errno != ENOTSUP)
        return false;
#else
    (void)old_live;
#endif
    // Last: a change of owner clears set-id bits, and the mode sets the mask.
    return ::fchmod(tmp, old.st_mode & 07777) == 0;
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

} // namespace

extern "C" BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists)
{
    if (existing_name == nullptr || new_name == nullptr)
        return fail(EINVAL);

    Fd src;
    struct stat src_st {};
    if (!open_source(existing_name, src, src_st))
        return FALSE;

    Place live;
    if (!open_place(new_name, live))
        return FALSE;
    struct stat live_st {};
    bool exists = ::fstatat(live.dir.get(), live.name.c_str(), &live_st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return FALSE;
    if (exists && fail_if_exists)
        return fail(EEXIST);

    Fd old_live; // the live file opened for writing: proof it may be replaced
    if (exists) {
        if (S_ISLNK(live_st.st_mode) && !follow_link(live, live_st))
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
        // files, read-only mounts, a lease held by another process.
        old_live.reset(::openat(live.dir.get(), live.name.c_str(),
                                O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat check {};
        if (!old_live.ok() || ::fstat(old_live.get(), &check) != 0)
            return FALSE;
        if (!same_file(check, live_st))
            return fail(ENOENT); // replaced while we looked
    }

    // A new live file takes the source's permission bits, less the umask.
    const mode_t mode = exists ? S_IRUSR | S_IWUSR : src_st.st_mode & 0777;
    for (bool allow_unnamed : {true, false}) {
        Temp tmp(live.dir.get());
        if (!tmp.create(live.name, mode, allow_unnamed))
            return FALSE;
        const struct timespec times[2] = {{0, UTIME_OMIT}, src_st.st_mtim};
        if (!copy_content(src.get(), tmp.fd()) ||
            (exists && !keep_access(tmp.fd(), old_live.get(), live_st)) ||
            ::futimens(tmp.fd(), times) != 0 || !flush(tmp.fd()))
            return FALSE;
        if (tmp.publish(live.name, !fail_if_exists)) {
            // The replace is done; a directory that cannot be flushed must
            // not make it look undone.
            (void)::fsync(live.dir.get());
            return TRUE;
        }
        // ENOENT: an unnamed file that may not be linked here (no /proc, no
        // privilege). Build it again under a hidden name.
        if (!tmp.unnamed() || errno != ENOENT)
            return FALSE;
    }
    return FALSE;
}
