// Tests of the POSIX CopyFileA stand-in, called directly.
//
// A few libc calls are wrapped below so a test can force the paths a
// filesystem would: copy_file_range refused, short counts and EINTR, no
// O_TMPFILE, an unnamed file that may not be linked. The wrappers win at link
// time over libc for the stand-in linked into this program; they pass
// straight through unless a test sets `seam`.
#include <windows.h>

#include "support.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Seam {
    std::atomic<bool> refuse_copy_range{false};
    std::atomic<bool> short_and_interrupted{false};
    std::atomic<bool> no_tmpfile{false};
    std::atomic<bool> no_unnamed_link{false};
    std::atomic<bool> unprivileged_link{false}; // no linking by descriptor
    std::atomic<int> proc_links{0};
};
Seam seam;

template <typename Fn> Fn real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Every other call is interrupted, the rest move at most a few bytes.
bool interrupt_now()
{
    static std::atomic<unsigned> calls{0};
    if (seam.short_and_interrupted && (++calls % 2) == 0) {
        errno = EINTR;
        return true;
    }
    return false;
}
size_t cap(size_t len, size_t most) { return seam.short_and_interrupted ? std::min(len, most) : len; }

} // namespace

extern "C" ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off, size_t len,
                                   unsigned flags)
{
    static auto fn = real<ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned)>(
        "copy_file_range");
    if (seam.refuse_copy_range) {
        errno = EXDEV;
        return -1;
    }
    if (interrupt_now())
        return -1;
    return fn(in, in_off, out, out_off, cap(len, 4093), flags);
}

// The stand-in is built for large files, so it calls the *64 names.
extern "C" ssize_t pread64(int fd, void *buf, size_t len, off64_t off)
{
    static auto fn = real<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
    return interrupt_now() ? -1 : fn(fd, buf, cap(len, 4093), off);
}

extern "C" ssize_t pwrite64(int fd, const void *buf, size_t len, off64_t off)
{
    static auto fn = real<ssize_t (*)(int, const void *, size_t, off64_t)>("pwrite64");
    return interrupt_now() ? -1 : fn(fd, buf, cap(len, 1021), off); // shorter than a read
}

extern "C" int openat64(int dir, const char *path, int flags, ...)
{
    static auto fn = real<int (*)(int, const char *, int, ...)>("openat64");
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        // Started just above; the analyzer loses track in libc's own names.
        mode = static_cast<mode_t>(va_arg(args, int)); // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(args);
    }
    if (seam.no_tmpfile && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return fn(dir, path, flags, mode);
}

extern "C" int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) noexcept
{
    static auto fn = real<int (*)(int, const char *, int, const char *, int)>("linkat");
    const bool by_fd = *from == '\0', by_proc = std::strncmp(from, "/proc/", 6) == 0;
    if ((seam.no_unnamed_link && (by_fd || by_proc)) || (seam.unprivileged_link && by_fd)) {
        errno = ENOENT; // what the kernel says to a caller without CAP_DAC_READ_SEARCH
        return -1;
    }
    seam.proc_links += by_proc ? 1 : 0;
    return fn(from_dir, from, to_dir, to, flags);
}

namespace {

using namespace support;

struct stat stat_of(const fs::path &p)
{
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st;
}

bool is_root() { return geteuid() == 0; }

// Runs `body` in a child process, bounded by an alarm so a hang fails the
// test, and returns its exit status (or -signal).
template <typename Body> int in_child(Body body, unsigned seconds = 30)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class CopyFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_cwd_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override
    {
        seam.refuse_copy_range = seam.short_and_interrupted = false;
        seam.no_tmpfile = seam.no_unnamed_link = seam.unprivileged_link = false;
        fs::current_path(old_cwd_);
    }

    TempDir dir_;
    fs::path old_cwd_;
};

TEST_F(CopyFileTest, ReadersOnlyEverSeeTheWholeOldOrWholeNewFile)
{
    const std::string a = bytes(2 << 20, 1), b = bytes((1 << 20) + 7, 2);
    put("a", a);
    put("b", b);
    put("live", a);
    std::atomic<bool> done{false};
    std::atomic<int> failed_copies{0};
    std::thread writer([&] {
        for (int i = 0; i < 60; ++i)
            if (!CopyFileA(i % 2 ? "a" : "b", "live", FALSE))
                ++failed_copies;
        done = true;
    });
    int reads = 0, torn = 0;
    while (!done) {
        const std::string seen = get("live");
        ++reads;
        if (seen != a && seen != b)
            ++torn;
    }
    writer.join();
    EXPECT_EQ(failed_copies, 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(get("live"), a);
    EXPECT_EQ(entries(), (Names{"a", "b", "live"}));
}

TEST_F(CopyFileTest, FailedCopyLeavesTheOldFileAndNoTemporary)
{
    put("src", bytes(1 << 20, 3));
    const std::string old = bytes(1000, 4);
    put("live", old);
    // A file size limit makes the copy fail part way, as a full disk would;
    // once with an unnamed temporary file, once with a named one.
    for (bool named : {false, true}) {
        seam.no_tmpfile = named;
        const int status = in_child([] {
            const rlimit limit{64 << 10, 64 << 10};
            (void)signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
            return !CopyFileA("src", "live", FALSE) && errno == EFBIG ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << "named=" << named;
        EXPECT_EQ(get("live"), old);
        EXPECT_EQ(entries(), (Names{"live", "src"}));
    }
}

TEST_F(CopyFileTest, FallsBackToANamedTemporaryWhereUnnamedOnesFail)
{
    const std::string src = bytes(300000, 5);
    put("src", src);
    put("live", "old");
    // Without the privilege to link by descriptor, the link goes through /proc.
    seam.proc_links = 0;
    seam.unprivileged_link = true;
    EXPECT_TRUE(CopyFileA("src", "live", FALSE));
    EXPECT_EQ(get("live"), src);
    EXPECT_EQ(seam.proc_links, 1);
    seam.unprivileged_link = false;
    put("live", "old");
    seam.no_unnamed_link = true; // unnamed file made, but it cannot be linked
    EXPECT_TRUE(CopyFileA("src", "live", FALSE));
    EXPECT_EQ(get("live"), src);
    seam.no_unnamed_link = false;
    seam.no_tmpfile = true;
    EXPECT_TRUE(CopyFileA("src", "fresh", FALSE));
    EXPECT_EQ(get("fresh"), src);
    EXPECT_EQ(entries(), (Names{"fresh", "live", "src"}));
}

TEST_F(CopyFileTest, StoredCopyIsNeverWrittenEvenUnderTheLiveName)
{
    const std::string src = bytes(5000, 6);
    put("src", src);
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, "src", past, 0), 0);
    ASSERT_EQ(symlink("src", "by_link"), 0);
    ASSERT_EQ(link("src", "by_hardlink"), 0);
    for (const char *live : {"by_link", "by_hardlink", "src", "./src"}) {
        errno = 0;
        EXPECT_FALSE(CopyFileA("src", live, FALSE)) << live;
        EXPECT_EQ(errno, EINVAL) << live;
    }
    EXPECT_EQ(get("src"), src);
    EXPECT_EQ(stat_of("src").st_mtim.tv_sec, 1000000000);
    EXPECT_TRUE(S_ISLNK(stat_of("by_link").st_mode));
    EXPECT_EQ(stat_of("src").st_nlink, 2u);
    EXPECT_EQ(entries(), (Names{"by_hardlink", "by_link", "src"}));
}

TEST_F(CopyFileTest, OddFilesFailAtOnceAndAreLeftAlone)
{
    put("live", "old");
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(mkdir("dir", 0755), 0);
    put("dir/inside", "kept");
    ASSERT_EQ(symlink("/dev/zero", "zero"), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "sock");
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    // Sources: a FIFO must not wait for a writer (the alarm fails the test).
    for (const char *src : {"fifo", "dir", "zero", "sock", "missing"}) {
        const int status = in_child([src] { return CopyFileA(src, "live", FALSE) ? 1 : 0; }, 10);
        EXPECT_EQ(status, 0) << src;
        EXPECT_EQ(get("live"), "old") << src;
    }
    errno = 0;
    EXPECT_FALSE(CopyFileA("dir", "live", FALSE));
    EXPECT_EQ(errno, EISDIR);
    // Live names that are no regular file stay as they are.
    for (const char *live : {"dir", "fifo", "sock", "zero", "dir/", "."})
        EXPECT_FALSE(CopyFileA("live", live, FALSE)) << live;
    EXPECT_EQ(get("dir/inside"), "kept");
    EXPECT_TRUE(S_ISFIFO(stat_of("fifo").st_mode));
    EXPECT_TRUE(S_ISSOCK(stat_of("sock").st_mode));
    EXPECT_EQ(fs::read_symlink("zero"), "/dev/zero");
    EXPECT_EQ(entries(), (Names{"dir", "fifo", "live", "sock", "zero"}));
    EXPECT_EQ(entries("dir"), (Names{"inside"}));
    close(sock);
}

TEST_F(CopyFileTest, ReadOnlyLiveFileIsKeptEvenForRoot)
{
    put("src", "new");
    put("live", "old");
    ASSERT_EQ(chmod("live", 0444), 0);
    errno = 0;
    EXPECT_FALSE(CopyFileA("src", "live", FALSE));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(get("live"), "old");
    EXPECT_EQ(stat_of("live").st_mode & 07777, 0444u);
    EXPECT_EQ(entries(), (Names{"live", "src"}));
}

TEST_F(CopyFileTest, LiveFileTheCallerMayNotWriteIsKept)
{
    REQUIRE(is_root(), "root, to act as another user");
    put("src", "new");
    put("live", "old"); // root's, 0644: others may read but not write
    ASSERT_EQ(chmod(".", 0777), 0);
    ASSERT_EQ(chmod("src", 0644), 0);
    const int status = in_child([] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 2;
        return !CopyFileA("src", "live", FALSE) && errno == EACCES ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(get("live"), "old");
    EXPECT_EQ(entries(), (Names{"live", "src"}));
}

TEST_F(CopyFileTest, SymlinkedLiveNameLeadsToTheFileReplaced)
{
    put("src", "new content");
    ASSERT_EQ(mkdir("sub", 0755), 0);
    put("sub/real", "old");
    ASSERT_EQ(symlink("sub/real", "hop"), 0);
    ASSERT_EQ(symlink("hop", "live"), 0); // a chain of two links
    EXPECT_TRUE(CopyFileA("src", "live", FALSE));
    EXPECT_EQ(get("sub/real"), "new content");
    EXPECT_EQ(fs::read_symlink("live"), "hop");
    EXPECT_EQ(fs::read_symlink("hop"), "sub/real");
    EXPECT_EQ(entries(), (Names{"hop", "live", "src", "sub"}));
    EXPECT_EQ(entries("sub"), (Names{"real"}));

    ASSERT_EQ(symlink("sub/nothing", "dangling"), 0);
    ASSERT_EQ(symlink("loop_b", "loop_a"), 0);
    ASSERT_EQ(symlink("loop_a", "loop_b"), 0);
    errno = 0;
    EXPECT_FALSE(CopyFileA("src", "dangling", FALSE));
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_FALSE(CopyFileA("src", "loop_a", FALSE));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(fs::read_symlink("dangling"), "sub/nothing");
    EXPECT_EQ(entries("sub"), (Names{"real"}));
    EXPECT_EQ(entries(), (Names{"dangling", "hop", "live", "loop_a", "loop_b", "src", "sub"}));
}

TEST_F(CopyFileTest, ReplaceKeepsOwnerGroupModeAndAccessList)
{
    REQUIRE(is_root(), "root, to give the live file another owner");
    put("src", "new");
    ASSERT_EQ(chmod("src", 0600), 0);
    put("live", "old");
    ASSERT_EQ(chown("live", 4321, 8765), 0);
    ASSERT_EQ(chmod("live", 02640), 0); // set-gid survives the change of owner too
    // An access list granting user 1234 write: what lets a service keep
    // writing the file.
    const std::string acl_bytes = acl_granting_write(1234);
    const bool acls = setxattr("live", "system.posix_acl_access", acl_bytes.data(),
                               acl_bytes.size(), 0) == 0;
    ASSERT_EQ(chmod("live", 02660), 0); // group bits are the mask: rw-
    EXPECT_TRUE(CopyFileA("src", "live", FALSE));
    const struct stat st = stat_of("live");
    EXPECT_EQ(get("live"), "new");
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
    EXPECT_EQ(st.st_mode & 07777, 02660u);
    REQUIRE(acls, "a filesystem with access lists under " + dir_.path().string());
    std::string got(acl_bytes.size() + 64, '\0');
    const ssize_t n = getxattr("live", "system.posix_acl_access", got.data(), got.size());
    ASSERT_GT(n, 0);
    got.resize(static_cast<size_t>(n));
    EXPECT_EQ(got, acl_bytes);
}

TEST_F(CopyFileTest, NewFileTakesSourceModeUnderUmaskAndTimesFollowSource)
{
    put("src", "content");
    ASSERT_EQ(chmod("src", 0664), 0);
    const struct timespec when[2] = {{981172800, 0}, {981172800, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, "src", when, 0), 0);
    const mode_t old_mask = umask(027);
    const BOOL ok = CopyFileA("src", "live", FALSE);
    umask(old_mask);
    EXPECT_TRUE(ok);
    const struct stat st = stat_of("live");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 981172800);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    // Replacing keeps the live file's mode but still takes the source's time.
    put("other", "x");
    ASSERT_EQ(chmod("other", 0604), 0);
    EXPECT_TRUE(CopyFileA("src", "other", FALSE));
    EXPECT_EQ(stat_of("other").st_mode & 07777, 0604u);
    EXPECT_EQ(stat_of("other").st_mtim.tv_sec, 981172800);
}

TEST_F(CopyFileTest, ContentArrivesWholeByEveryCopyPath)
{
    const std::string src = bytes((5 << 20) + 12345, 7);
    put("src", src);
    put("empty", "");
    for (int path = 0; path < 4; ++path) {
        seam.refuse_copy_range = path == 1 || path == 3;
        seam.short_and_interrupted = path >= 2;
        put("live", "old");
        EXPECT_TRUE(CopyFileA("src", "live", FALSE)) << "path " << path;
        EXPECT_TRUE(get("live") == src) << "path " << path;
        EXPECT_TRUE(CopyFileA("empty", "live", FALSE)) << "path " << path;
        EXPECT_EQ(fs::file_size("live"), 0u) << "path " << path;
    }
}

TEST_F(CopyFileTest, FilesOver4GiBKeepEveryByteInPlace)
{
    // Sparse, with marks around the 2 GiB and 4 GiB lines and at the end.
    const off_t marks[] = {0, (off_t{1} << 31) - 1, off_t{1} << 32, (off_t{1} << 32) + 65537};
    {
        const int fd = open("src", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        for (off_t at : marks)
            ASSERT_EQ(::pwrite(fd, "MARK", 4, at), 4);
        close(fd);
    }
    const off_t size = marks[3] + 4;
    put("live", "old");
    ASSERT_TRUE(CopyFileA("src", "live", FALSE));
    ASSERT_EQ(static_cast<off_t>(fs::file_size("live")), size);
    const int fd = open("live", O_RDONLY);
    ASSERT_GE(fd, 0);
    for (off_t at : marks) {
        char seen[6] = {};
        ASSERT_EQ(::pread(fd, seen, 6, at == 0 ? 0 : at - 1), at == marks[3] ? 5 : 6);
        EXPECT_EQ(std::string(seen + (at == 0 ? 0 : 1), 4), "MARK") << at;
    }
    close(fd);
}

TEST_F(CopyFileTest, PeakMemoryDoesNotGrowWithFileSize)
{
    put("small", bytes(1 << 20, 8));
    put("big", std::string(64 << 20, 'x'));
    long peak[2][2] = {};
    for (int fallback = 0; fallback < 2; ++fallback) {
        seam.refuse_copy_range = fallback == 1;
        for (int big = 0; big < 2; ++big) {
            int pipefd[2];
            ASSERT_EQ(pipe(pipefd), 0);
            const int status = in_child([&] {
                const BOOL ok = CopyFileA(big ? "big" : "small", "live", FALSE);
                rusage use{};
                getrusage(RUSAGE_SELF, &use);
                return ok && write(pipefd[1], &use.ru_maxrss, sizeof use.ru_maxrss) ==
                                 static_cast<ssize_t>(sizeof use.ru_maxrss)
                           ? 0
                           : 1;
            });
            ASSERT_EQ(status, 0);
            ASSERT_EQ(read(pipefd[0], &peak[fallback][big], sizeof(long)),
                      static_cast<ssize_t>(sizeof(long)));
            close(pipefd[0]);
            close(pipefd[1]);
        }
        // KiB; a copy that held the file in memory would grow by 64 MiB.
        EXPECT_LT(peak[fallback][1] - peak[fallback][0], 4096) << "fallback=" << fallback;
    }
}

TEST_F(CopyFileTest, FailIfExistsKeepsAnyExistingName)
{
    put("src", "new");
    put("live", "old");
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    for (const char *name : {"live", "dangling"}) {
        errno = 0;
        EXPECT_FALSE(CopyFileA("src", name, TRUE)) << name;
        EXPECT_EQ(errno, EEXIST) << name;
    }
    EXPECT_EQ(get("live"), "old");
    EXPECT_EQ(fs::read_symlink("dangling"), "nowhere");
    EXPECT_TRUE(CopyFileA("src", "fresh", TRUE));
    seam.no_tmpfile = true;
    EXPECT_TRUE(CopyFileA("src", "fresh_named", TRUE));
    EXPECT_FALSE(CopyFileA("src", "fresh_named", TRUE));
    EXPECT_EQ(get("fresh"), "new");
    EXPECT_EQ(get("fresh_named"), "new");
    EXPECT_EQ(entries(), (Names{"dangling", "fresh", "fresh_named", "live", "src"}));
}

} // namespace
