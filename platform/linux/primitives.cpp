// The file operations of the Linux CopyFileA; see primitives.h.
#include "primitives.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <grp.h>
#include <linux/capability.h>
#include <unistd.h>

namespace linux_copy {

namespace {

// The error of the call that just failed.
Error last() { return errno; }

} // namespace

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        reset(other.fd_);
        other.fd_ = -1;
    }
    return *this;
}

void Fd::reset(int fd) noexcept
{
    if (fd_ >= 0) {
        const int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {

// The parts of a name or a link's text onto a walk's stack, last part
// first. A name that ends in a slash or a dot names a folder: it ends in ".".
void push_parts(const std::string &text, std::vector<std::string> &todo)
{
    std::vector<std::string> parts;
    for (size_t at = 0; at <= text.size();) {
        const size_t slash = std::min(text.find('/', at), text.size());
        std::string part = text.substr(at, slash - at);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        at = slash + 1;
    }
    const std::string last = text.substr(text.rfind('/') + 1);
    if (last.empty() || last == ".")
        parts.emplace_back(".");
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

constexpr int kMaxLinks = 40; // as the kernel's own walk
// A mount that follows no link (ST_NOSYMFOLLOW, Linux 5.10).
constexpr unsigned long kNoSymfollow = 0x2000;

// A walk in progress: the folder it is in, with that folder's status, the
// links it has followed and the parts still to walk, next one last.
struct Walk {
    Fd within; // the folder, where it is not the working one
    Node folder;
    int links = 0;
    std::vector<std::string> todo;

    [[nodiscard]] int at() const { return within.ok() ? within.get() : AT_FDCWD; }
    void enter(Fd &&next, const struct stat &st)
    {
        within = std::move(next);
        folder = node(st);
    }
    Error to_root()
    {
        Fd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!root.ok() || ::fstat(root.get(), &st) != 0)
            return last();
        enter(std::move(root), st);
        return 0;
    }
};

// A link met on the way: refused where the kernel's own walk would refuse
// it (past the 40th, or on a mount that follows none) and where it is magic
// (on /proc); else what it says is walked next, from the root if absolute.
Error follow(int link, Walk &w)
{
    struct statfs fs {};
    if (::fstatfs(link, &fs) != 0)
        return last();
    if (fs.f_type == PROC_SUPER_MAGIC || (static_cast<unsigned long>(fs.f_flags) & kNoSymfollow) != 0 ||
        ++w.links > kMaxLinks)
        return ELOOP;
    char to[PATH_MAX];
    const ssize_t n = ::readlinkat(link, "", to, sizeof to);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof to))
        return n < 0 ? last() : n == 0 ? ENOENT : ENAMETOOLONG;
    push_parts(std::string(to, static_cast<size_t>(n)), w.todo);
    return to[0] == '/' ? w.to_root() : 0;
}

} // namespace

Error resolve(const char *name, const Node &start, Resolved &r)
{
    if (*name == '\0')
        return ENOENT;
    Walk w{Fd(), start, 0, {}};
    if (name[0] == '/')
        if (const Error err = w.to_root(); err != 0)
            return err;
    push_parts(name, w.todo);
    bool tail_linked = false;
    while (!w.todo.empty()) {
        const std::string part = std::move(w.todo.back());
        w.todo.pop_back();
        const bool at_end = w.todo.empty();
        Fd next(::openat(w.at(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!next.ok()) {
            if (errno != ENOENT || !at_end)
                return last();
            r.name = part; // not there (yet)
            r.dangling = tail_linked;
            break;
        }
        if (::fstat(next.get(), &st) != 0)
            return last();
        r.way.push_back({w.folder, node(st), part == ".."});
        if (S_ISLNK(st.st_mode)) {
            if (const Error err = follow(next.get(), w); err != 0)
                return err;
            tail_linked = tail_linked || at_end;
        } else if (at_end) {
            r.name = part;
            r.st = st;
            r.end = std::move(next);
        } else if (S_ISDIR(st.st_mode)) {
            w.enter(std::move(next), st);
        } else {
            return ENOTDIR;
        }
    }
    r.within = std::move(w.within);
    r.folder = w.folder;
    return 0;
}

Error open_folder(const Resolved &r, Fd &folder)
{
    folder.reset(::openat(r.at(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.ok() ? 0 : last();
}

Error reopen(const Resolved &r, int flags, Fd &fd)
{
    const std::string self = "/proc/self/fd/" + std::to_string(r.end.get());
    fd.reset(::open(self.c_str(), flags | O_CLOEXEC));
    if (fd.ok() || errno != ENOENT)
        return fd.ok() ? 0 : last();
    // No /proc here: by its name, then known to be the same file; a FIFO
    // swapped in meanwhile is neither waited on nor read.
    fd.reset(::openat(r.at(), r.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0)
        return last();
    return same_file(st, r.st) ? 0 : ENOENT;
}

bool hardlinks_protected()
{
    const Fd fd(::open("/proc/sys/fs/protected_hardlinks", O_RDONLY | O_CLOEXEC));
    char on = '0';
    return fd.ok() && ::read(fd.get(), &on, 1) == 1 && on == '1';
}

FolderRules folder_rules(int folder)
{
    FolderRules rules;
    int flags = 0;
    if (::ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0) { // NOLINT(cppcoreguidelines-pro-type-vararg)
        rules.append_only = (flags & FS_APPEND_FL) != 0;
        rules.immutable = (flags & FS_IMMUTABLE_FL) != 0;
    }
    return rules;
}

namespace {

// A name for a temporary file: hidden, beside the live file, within the
// longest name a folder takes, and unlikely to meet another run's;
// callers retry on EEXIST.
std::string random_hidden_name(const std::string &live_name)
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

} // namespace

std::string (*Temp::hidden_name)(const std::string &) = random_hidden_name;

Temp::~Temp()
{
    if (!name_.empty())
        ::unlinkat(folder_, name_.c_str(), 0);
}

Error Temp::create(const std::string &live_name, mode_t mode, Naming kind)
{
    if (kind == Naming::unnamed) {
        fd_.reset(::openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        return fd_.ok() ? 0 : last();
    }
    for (int i = 0; i < kNameTries; ++i) {
        std::string name = hidden_name(live_name);
        fd_.reset(::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd_.ok()) {
            name_ = std::move(name);
            return 0;
        }
        if (errno != EEXIST)
            return last();
    }
    return EEXIST;
}

Error Temp::publish_new(const std::string &name)
{
    if (unnamed())
        return link_unnamed(name);
    // Moves the name. Without RENAME_NOREPLACE: a second name, then the
    // first removed, so a crash between the two leaves both.
    if (::renameat2(folder_, name_.c_str(), folder_, name.c_str(), RENAME_NOREPLACE) == 0) {
        name_.clear();
        return 0;
    }
    if (!lacks(errno))
        return last();
    if (::linkat(folder_, name_.c_str(), folder_, name.c_str(), 0) != 0)
        return last();
    if (::unlinkat(folder_, name_.c_str(), 0) == 0) {
        name_.clear();
        return 0;
    }
    // A file left with two names would be written in place ever after:
    // undone, so that the next run creates it afresh.
    const Error err = last();
    ::unlinkat(folder_, name.c_str(), 0);
    return err;
}

Error Temp::publish_over(const std::string &name)
{
    // A link cannot replace a file, so an unnamed file is named first.
    for (int i = 0; unnamed(); ++i) {
        std::string hidden = hidden_name(name);
        const Error err = link_unnamed(hidden);
        if (err == 0)
            name_ = std::move(hidden);
        else if (err != EEXIST || i + 1 == kNameTries)
            return err;
    }
    if (::renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0)
        return last();
    name_.clear();
    return 0;
}

Error Temp::link_unnamed(const std::string &name)
{
    if (::linkat(fd(), "", folder_, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno != ENOENT) // ENOENT: not privileged to link by descriptor
        return last();
    const std::string proc = "/proc/self/fd/" + std::to_string(fd());
    if (::linkat(AT_FDCWD, proc.c_str(), folder_, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    return errno == ENOENT ? EOPNOTSUPP : last(); // nor through /proc: none here

}

namespace {

Error write_all(int fd, const char *buf, size_t len, off_t off)
{
    while (len > 0) {
        const ssize_t n = ::pwrite(fd, buf, len, off);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 ? last() : EIO; // writing nothing, for ever
        }
        buf += n;
        len -= static_cast<size_t>(n);
        off += n;
    }
    return 0;
}

} // namespace

// In the kernel a filesystem may also share extents. Nothing is asked of
// either file past `size`, so a copy that exactly fits a file size limit
// stays within it.
Error copy_content(int src, int dst, off_t size)
{
    off_t off = 0;
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
        // EBADF: some filesystems' answer for a file they cannot copy.
        if (!lacks(errno) && !may_not(errno) && errno != EBADF)
            return last();
        break; // refused between these files: go on by hand from here
    }
    if (off == size)
        return 0;
    constexpr size_t kBuffer = size_t{128} << 10;
    const std::unique_ptr<char[]> buf(new (std::nothrow) char[kBuffer]); // off the stack
    if (!buf)
        return ENOMEM;
    while (off < size) {
        const auto want = static_cast<size_t>(std::min<off_t>(size - off, off_t{kBuffer}));
        const ssize_t n = ::pread(src, buf.get(), want, off);
        if (n == 0)
            return EIO; // the source shrank under us: never publish a short file
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return last();
        }
        if (const Error err = write_all(dst, buf.get(), static_cast<size_t>(n), off); err != 0)
            return err;
        off += n;
    }
    return 0;
}

Error flush(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno != EINTR)
            return lacks(errno) ? 0 : last();
    }
    return 0;
}

namespace {

// The names of a file's extended attributes, as the caller sees them.
Error xattr_names(int fd, std::vector<std::string> &names)
{
    ssize_t len = ::flistxattr(fd, nullptr, 0);
    if (len < 0)
        return lacks(errno) ? 0 : last(); // a filesystem without them has none
    std::vector<char> list(static_cast<size_t>(len) + 1);
    len = ::flistxattr(fd, list.data(), list.size());
    if (len < 0)
        return last();
    for (size_t at = 0; at < static_cast<size_t>(len); at += names.back().size() + 1)
        names.emplace_back(&list[at]);
    return 0;
}

Error xattr_value(int fd, const std::string &name, std::vector<char> &value)
{
    const ssize_t len = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (len < 0)
        return last();
    value.resize(static_cast<size_t>(len));
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    value.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return got >= 0 ? 0 : last();
}

} // namespace

// Copies each of src's, and drops any dst was given (by its folder,
// say) that src does not have.
Error sync_xattrs(int dst, int src, bool capability)
{
    std::vector<std::string> src_names, dst_names;
    Error err = xattr_names(src, src_names);
    if (err != 0 || (err = xattr_names(dst, dst_names)) != 0)
        return err;
    if (!capability)
        src_names.erase(std::remove(src_names.begin(), src_names.end(), "security.capability"), src_names.end());
    std::vector<char> want, have;
    for (const std::string &name : src_names) {
        if ((err = xattr_value(src, name, want)) != 0)
            return err;
        if (xattr_value(dst, name, have) == 0 && have == want)
            continue;
        if (::fsetxattr(dst, name.c_str(), want.data(), want.size(), 0) != 0)
            return last();
    }
    for (const std::string &name : dst_names) {
        const bool src_has = std::find(src_names.begin(), src_names.end(), name) != src_names.end();
        if (!src_has && ::fremovexattr(dst, name.c_str()) != 0)
            return last();
    }
    return 0;
}

Error within_size_limit(off_t size)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0;
    return static_cast<std::uintmax_t>(size) <= limit.rlim_cur ? 0 : EFBIG;
}

Error reserve(int fd, off_t size)
{
    if (size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0)
        return 0;
    const Error err = last();
    if (!lacks(err)) {
        (void)give_back(fd); // a filesystem may keep what it found before it ran out
        return err;
    }
    // No reservation here: at least make sure the space is free now.
    struct stat st {};
    struct statvfs fs {};
    if (::fstat(fd, &st) != 0 || ::fstatvfs(fd, &fs) != 0)
        return last();
    const Space space{fs.f_frsize, fs.f_bfree, fs.f_bavail};
    return has_room(static_cast<std::uint64_t>(size), static_cast<std::uint64_t>(st.st_blocks) * 512, space)
               ? 0
               : ENOSPC;
}

// Cut to its own length, a file gives back whatever lies past its end, and
// keeps its time where the caller may set it.
Error give_back(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || ::ftruncate(fd, st.st_size) != 0)
        return last();
    (void)set_mtime(fd, st.st_mtim);
    return 0;
}

uid_t caller() { return ::geteuid(); }

namespace {

// A small system file's text, or none.
std::string text_of(const char *path)
{
    std::string text;
    const Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    char buf[4096];
    for (ssize_t n = 0; fd.ok() && ((n = ::read(fd.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR));)
        text.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// Gives up every right but `user`'s, for good: groups, then group, then
// user (after which no capability is left, and none is kept), and no other
// process of that user's may trace this one.
Error become(uid_t user)
{
    const Rights rights = rights_of(user, text_of("/etc/passwd"), text_of("/etc/group"));
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (!rights.listed)
        return EACCES;
    if (::setgroups(rights.groups.size(), rights.groups.data()) != 0 ||
        ::setresgid(rights.gid, rights.gid, rights.gid) != 0 || ::setresuid(user, user, user) != 0 ||
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 || ::syscall(SYS_capset, &header, none) != 0)
        return last();
    return 0;
}

} // namespace

Error as_user(uid_t user, const std::function<Error()> &work)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return last();
    Fd answer(ends[0]), give(ends[1]);
    const pid_t child = ::fork();
    if (child < 0)
        return last();
    if (child == 0) {
        Error err = become(user);
        if (err == 0)
            err = work();
        (void)!::write(give.get(), &err, sizeof err);
        ::_exit(0);
    }
    give.reset();
    // The user may stop the child, which is theirs: then it is ended, so
    // that nobody holds the caller's run for ever.
    int how = 0;
    for (pid_t got = 0; (got = ::waitpid(child, &how, WUNTRACED)) != child || WIFSTOPPED(how);) {
        if (got < 0 && errno != EINTR)
            break; // no child to wait for (SIGCHLD ignored): it has ended
        if (got == child)
            ::kill(child, SIGKILL);
    }
    Error err = EIO; // a child that ended without an answer
    return ::read(answer.get(), &err, sizeof err) == sizeof err ? err : EIO;
}

Error status(int fd, struct stat &st) { return ::fstatat(fd, "", &st, AT_EMPTY_PATH) == 0 ? 0 : last(); }

Error give_owner(int fd, uid_t uid, gid_t gid) { return ::fchown(fd, uid, gid) == 0 ? 0 : last(); }

Error set_mode(int fd, mode_t mode) { return ::fchmod(fd, mode) == 0 ? 0 : last(); }

Error set_mtime(int fd, const struct timespec &mtime)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
    return ::futimens(fd, times) == 0 ? 0 : last();
}

Error set_length(int fd, off_t size) { return ::ftruncate(fd, size) == 0 ? 0 : last(); }

} // namespace linux_copy
