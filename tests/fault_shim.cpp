// LD_PRELOAD shim that makes one system call of the program fail.
//
//   CFGRESTORE_FAULT_LOG=FILE       write each wrapped call's name, in order
//   CFGRESTORE_FAULT_AT=K:ERRNO     the K-th wrapped call (from 1) fails with ERRNO
//   CFGRESTORE_NO_TMPFILE=1         every O_TMPFILE open fails (EOPNOTSUPP)
//   CFGRESTORE_NO_COPY_RANGE=1      every copy_file_range fails (EXDEV)
//
// Only calls the program makes through libc's dynamic symbols are seen, not
// the loader's or libc's own.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int log_fd = -1;
long fail_at = 0;
int fail_errno = 0;
long calls = 0;
bool no_tmpfile = false;
bool no_copy_range = false;

__attribute__((constructor)) void setup()
{
    if (const char *at = std::getenv("CFGRESTORE_FAULT_AT")) {
        char *rest = nullptr;
        fail_at = std::strtol(at, &rest, 10);
        fail_errno = *rest == ':' ? static_cast<int>(std::strtol(rest + 1, nullptr, 10)) : EIO;
    }
    if (const char *path = std::getenv("CFGRESTORE_FAULT_LOG")) {
        using Open = int (*)(const char *, int, ...);
        log_fd = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open64"))(
            path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    no_tmpfile = std::getenv("CFGRESTORE_NO_TMPFILE") != nullptr;
    no_copy_range = std::getenv("CFGRESTORE_NO_COPY_RANGE") != nullptr;
}

// Counts a call; true when this one is to fail (errno set).
bool fault(const char *name)
{
    ++calls;
    if (log_fd >= 0) {
        char line[64];
        const int n = std::snprintf(line, sizeof line, "%s\n", name);
        using Write = ssize_t (*)(int, const void *, size_t);
        static auto raw_write = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
        (void)raw_write(log_fd, line, static_cast<size_t>(n));
    }
    if (calls == fail_at) {
        errno = fail_errno;
        return true;
    }
    return false;
}

template <typename Fn> Fn next(const char *name) { return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name)); }

// Only creating opens pass a mode.
bool has_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

const char *open_name(const char *base, int flags)
{
    static char name[32];
    (void)std::snprintf(name, sizeof name, "%s%s", base,
                  (flags & O_TMPFILE) == O_TMPFILE ? ":tmpfile"
                  : (flags & O_CREAT) != 0         ? ":create"
                                                   : "");
    return name;
}

} // namespace

// The parameter lists go in as they are, parentheses and all.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define WRAP(ret, name, params, args)                                                      \
    extern "C" ret name params                                                             \
    {                                                                                      \
        static auto real = next<ret(*) params>(#name);                                     \
        return fault(#name) ? -1 : real args;                                              \
    }
// NOLINTEND(bugprone-macro-parentheses)

WRAP(int, close, (int fd), (fd))
WRAP(int, fchmod, (int fd, mode_t mode), (fd, mode))
WRAP(int, fchown, (int fd, uid_t uid, gid_t gid), (fd, uid, gid))
WRAP(int, fsync, (int fd), (fd))
WRAP(int, futimens, (int fd, const struct timespec *t), (fd, t))
WRAP(int, fstat64, (int fd, struct stat64 *st), (fd, st))
WRAP(int, fstatat64, (int dir, const char *p, struct stat64 *st, int fl), (dir, p, st, fl))
WRAP(int, stat64, (const char *p, struct stat64 *st), (p, st))
WRAP(ssize_t, readlink, (const char *p, char *buf, size_t n), (p, buf, n))
WRAP(ssize_t, pread64, (int fd, void *buf, size_t n, off64_t off), (fd, buf, n, off))
WRAP(ssize_t, pwrite64, (int fd, const void *buf, size_t n, off64_t off), (fd, buf, n, off))
WRAP(ssize_t, fgetxattr, (int fd, const char *k, void *v, size_t n), (fd, k, v, n))
WRAP(int, fsetxattr, (int fd, const char *k, const void *v, size_t n, int fl), (fd, k, v, n, fl))
WRAP(int, linkat, (int fd, const char *a, int td, const char *b, int fl), (fd, a, td, b, fl))
WRAP(int, renameat, (int fd, const char *a, int td, const char *b), (fd, a, td, b))
WRAP(int, unlinkat, (int fd, const char *p, int fl), (fd, p, fl))

extern "C" ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off, size_t len,
                                   unsigned flags)
{
    static auto real = next<ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned)>(
        "copy_file_range");
    if (fault("copy_file_range"))
        return -1;
    if (no_copy_range) {
        errno = EXDEV;
        return -1;
    }
    return real(in, in_off, out, out_off, len, flags);
}

extern "C" int open64(const char *path, int flags, ...)
{
    static auto real = next<int (*)(const char *, int, ...)>("open64");
    mode_t mode = 0;
    if (has_mode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int)); // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(args);
    }
    return fault(open_name("open64", flags)) ? -1 : real(path, flags, mode);
}

extern "C" int openat64(int dir, const char *path, int flags, ...)
{
    static auto real = next<int (*)(int, const char *, int, ...)>("openat64");
    mode_t mode = 0;
    if (has_mode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int)); // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(args);
    }
    if (fault(open_name("openat64", flags)))
        return -1;
    if (no_tmpfile && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real(dir, path, flags, mode);
}

extern "C" int fcntl64(int fd, int cmd, ...)
{
    static auto real = next<int (*)(int, int, ...)>("fcntl64");
    va_list args;
    va_start(args, cmd);
    void *arg = va_arg(args, void *); // every command the program uses takes one word
    va_end(args);
    return fault("fcntl64") ? -1 : real(fd, cmd, arg);
}
