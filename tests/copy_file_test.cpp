// Tests of the POSIX CopyFileA stand-in, called directly. Paths a
// filesystem or the kernel would force (a refused kernel copy, no unnamed
// files, failing calls) are taken through the program under strace, in
// fault_test.
#include <windows.h>

#include "support.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
    void TearDown() override { fs::current_path(old_cwd_); }

    TempDir dir_;
    fs::path old_cwd_;
};

TEST_F(CopyFileTest, ReadersOnlyEverSeeTheWholeOldOrWholeNewFile)
{
    const std::string a = bytes(768 << 10, 1), b = bytes((512 << 10) + 7, 2);
    put("a", a);
    put("b", b);
    put("live", a);
    std::atomic<bool> done{false};
    std::atomic<int> failed_copies{0};
    std::thread writer([&] {
        for (int i = 0; i < 40; ++i)
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
    EXPECT_TRUE(same_bytes(get("live"), a));
    EXPECT_EQ(entries(), (Names{"a", "b", "live"}));
}

TEST_F(CopyFileTest, CopyLargerThanTheFileSizeLimitFailsBeforeWritingAnything)
{
    put("src", bytes(1 << 20, 3));
    const std::string old = bytes(1000, 4);
    put("live", old);
    // The limit would end the process with SIGXFSZ part way; it is not
    // ignored here, so a write past it would kill the child.
    const int status = in_child([] {
        const rlimit limit{64 << 10, 64 << 10};
        setrlimit(RLIMIT_FSIZE, &limit);
        return !CopyFileA("src", "live", FALSE) && errno == EFBIG ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(same_bytes(get("live"), old));
    EXPECT_EQ(entries(), (Names{"live", "src"}));
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
    EXPECT_TRUE(same_bytes(get("src"), src));
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
        EXPECT_TRUE(same_bytes(get("live"), "old")) << src;
    }
    errno = 0;
    EXPECT_FALSE(CopyFileA("dir", "live", FALSE));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(CopyFileA(nullptr, "live", FALSE) || CopyFileA("live", nullptr, FALSE));
    // Live names that are no regular file stay as they are.
    for (const char *live : {"dir", "fifo", "sock", "zero", "dir/", "."})
        EXPECT_FALSE(CopyFileA("live", live, FALSE)) << live;
    EXPECT_TRUE(same_bytes(get("dir/inside"), "kept"));
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
    EXPECT_TRUE(same_bytes(get("live"), "old"));
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
    EXPECT_TRUE(same_bytes(get("live"), "old"));
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
    EXPECT_TRUE(same_bytes(get("sub/real"), "new content"));
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

TEST_F(CopyFileTest, ReplaceIsANewFileWithTheOwnerGroupModeAndAccessListOfTheOld)
{
    REQUIRE(is_root(), "root, to give the live file another owner");
    put("src", "new");
    ASSERT_EQ(chmod("src", 0600), 0);
    // A change of owner clears set-id bits on executable files: the mode
    // must be set after it.
    for (const mode_t mode : {04755, 02670, 0660}) {
        put("live", "old");
        ASSERT_EQ(chown("live", 4321, 8765), 0);
        // An access list granting user 1234 write: what lets a service keep
        // writing the file. The group bits are its mask.
        const std::string acl_bytes = acl_granting_write(1234);
        const bool acls = setxattr("live", "system.posix_acl_access", acl_bytes.data(),
                                   acl_bytes.size(), 0) == 0;
        ASSERT_EQ(chmod("live", mode), 0);
        const std::string before = xattrs("live");
        const ino_t inode = stat_of("live").st_ino;
        EXPECT_TRUE(CopyFileA("src", "live", FALSE));
        const struct stat st = stat_of("live");
        EXPECT_TRUE(same_bytes(get("live"), "new"));
        EXPECT_NE(st.st_ino, inode) << "replaced atomically, by a new file";
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 8765u);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(xattrs("live"), before);
        REQUIRE(acls, "a filesystem with access lists under " + dir_.path().string());
        EXPECT_NE(before.find("posix_acl_access"), std::string::npos);
    }
}

TEST_F(CopyFileTest, WrittenInPlaceWhereAReplaceWouldBreakLinksTheFileKeepsEverything)
{
    const std::string small = bytes(3000, 9), large = bytes((300 << 10) + 5, 10);
    put("src_small", small);
    put("src_large", large);
    const struct timespec when[2] = {{981172800, 0}, {981172800, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, "src_small", when, 0), 0);
    put("live", bytes(100000, 8));
    ASSERT_EQ(chmod("live", 0640) == 0 && chmod("src_small", 0444) == 0, true);
    ASSERT_EQ(link("live", "second"), 0);
    const struct stat before = stat_of("live");
    // Growing, then shrinking from a read-only source: cut to length, read-only.
    for (const char *src : {"src_large", "src_small"}) {
        EXPECT_TRUE(CopyFileA(src, "live", FALSE)) << src;
        EXPECT_TRUE(same_bytes(get("second"), get(src))) << src;
    }
    const struct stat after = stat_of("live");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode & 07777, 0440u);
    EXPECT_EQ(after.st_size, static_cast<off_t>(small.size()));
    EXPECT_EQ(after.st_mtim.tv_sec, 981172800);
    EXPECT_EQ(after.st_mtim.tv_nsec, 5);
    EXPECT_EQ(entries(), (Names{"live", "second", "src_large", "src_small"}));
    // As an ordinary user, from a read-only source: root's file that everyone may
    // write keeps its mode and the time of the write; the user's own and a new
    // one turn read-only, linked through /proc where not by descriptor. All flushed.
    REQUIRE(is_root() && have_strace(), "root and strace, to write as another user");
    ASSERT_EQ(chmod(".", 0777), 0);
    ASSERT_EQ(chmod("live", 0666), 0);
    fs::copy_file("src_large", "idapi32.cf_");
    put("mine", "old");
    put("ours", "old");
    ASSERT_EQ(chmod("idapi32.cf_", 0444) == 0 && link("ours", "ours2") == 0, true);
    ASSERT_EQ(chown("mine", kNobody, kNobody) == 0 && chown("ours", kNobody, kNobody) == 0, true);
    for (const auto &[target, mode] : {std::pair{"live", 0666u}, {"mine", 0444u}, {"ours", 0444u}, {"fresh", 0444u}}) {
        support::Run how{{}, {"inject=linkat:error=ENOENT:when=1"}, (dir_ / "trace").string(), drop_privileges};
        how.command = {reachable(COPY_FILE_TOOL), "idapi32.cf_", target, "0"};
        EXPECT_EQ(run_program(dir_.path(), how).status, 0) << target;
        EXPECT_TRUE(same_bytes(get(target), large)) << target;
        EXPECT_EQ(stat_of(target).st_mode & 07777, mode) << target;
        const std::vector<Call> calls = copy_calls("trace");
        const long last_change = find_call(calls, "^(ftruncate|linkat.* = 0$)");
        EXPECT_GE(find_call(calls, "^fsync", static_cast<size_t>(last_change)), 0) << target << ": not flushed";
        EXPECT_LT(find_call(calls, R"(^openat\(.*"\.\w)"), 0) << target << ": a hidden name";
    }
    EXPECT_NE(stat_of("live").st_mtim.tv_sec, 981172800);
}

TEST_F(CopyFileTest, NewFileIsMadeAsAnyNewFileThereAndTimesFollowSource)
{
    put("src", "content");
    const struct timespec when[2] = {{981172800, 0}, {981172800, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, "src", when, 0), 0);
    // Of the source's mode only read-only goes along.
    const mode_t old_mask = umask(022);
    for (const auto &[mode, want] : {std::pair{0400u, 0444u}, {0600u, 0644u}, {0755u, 0644u}, {0464u, 0644u}}) {
        ASSERT_EQ(chmod("src", mode), 0);
        fs::remove("live");
        EXPECT_TRUE(CopyFileA("src", "live", FALSE)) << mode;
        EXPECT_EQ(stat_of("live").st_mode & 07777, want) << mode;
    }
    umask(old_mask);
    const struct stat st = stat_of("live");
    EXPECT_EQ(st.st_mtim.tv_sec, 981172800);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    // Replacing keeps the live file's mode (group write alone is not read-only,
    // for root who may write it) and takes the source's time and read-only.
    const mode_t live_mode = is_root() ? 0464 : 0664;
    for (const mode_t src_mode : {0464u, 0444u}) {
        put("other", "x");
        ASSERT_EQ(chmod("other", live_mode) == 0 && chmod("src", src_mode) == 0, true);
        EXPECT_TRUE(CopyFileA("src", "other", FALSE));
        EXPECT_EQ(stat_of("other").st_mode & 07777, src_mode == 0444 ? live_mode & 07555 : live_mode);
        EXPECT_EQ(stat_of("other").st_mtim.tv_sec, 981172800);
    }
    ASSERT_EQ(chmod("src", 0644), 0);
    // A default access list goes to a new file, not to a replaced one.
    fs::create_directory("shared");
    const std::string acl = acl_granting_write(1234);
    REQUIRE(setxattr("shared", "system.posix_acl_default", acl.data(), acl.size(), 0) == 0, "access lists");
    put("shared/any", "");
    put("shared/plain", "old");
    ASSERT_EQ(removexattr("shared/plain", "system.posix_acl_access"), 0);
    EXPECT_TRUE(CopyFileA("src", "shared/live", FALSE) && CopyFileA("src", "shared/plain", FALSE));
    EXPECT_EQ(stat_of("shared/live").st_mode, stat_of("shared/any").st_mode);
    EXPECT_EQ(xattrs("shared/live") + " | " + xattrs("shared/plain"), xattrs("shared/any") + " | ");
}

TEST_F(CopyFileTest, ContentArrivesWholeAndAnEmptySourceGivesAnEmptyFile)
{
    const std::string src = bytes((5 << 20) + 12345, 7);
    put("src", src);
    put("empty", "");
    put("live", "old");
    EXPECT_TRUE(CopyFileA("src", "live", FALSE));
    EXPECT_TRUE(same_bytes(get("live"), src));
    EXPECT_TRUE(CopyFileA("empty", "live", FALSE));
    EXPECT_EQ(fs::file_size("live"), 0u);
}

TEST_F(CopyFileTest, PeakMemoryDoesNotGrowWithFileSize)
{
    REQUIRE(have_strace(), "strace (package strace), to refuse the kernel copy");
    put("small", bytes(1 << 20, 8));
    put("big", std::string(24 << 20, 'x'));
    // In the kernel, and by hand (the kernel copy refused), each from a
    // small and a big stored copy. Under strace its memory counts too, the
    // same for both sizes.
    for (const bool by_hand : {false, true}) {
        long peak[2] = {};
        for (const bool big : {false, true}) {
            TempDir run;
            fs::copy_file(big ? "big" : "small", run / "idapi32.cf_");
            support::Run how;
            if (by_hand)
                how.strace = {"inject=copy_file_range:error=EXDEV"};
            const Outcome o = run_program(run.path(), how);
            expect_quiet_success(o, big ? "big" : "small");
            EXPECT_EQ(fs::file_size(run / "idapi32.cfg"), fs::file_size(run / "idapi32.cf_"));
            peak[big ? 1 : 0] = o.peak_kib;
        }
        // KiB; a copy that held the file in memory would grow by 23 MiB.
        EXPECT_LT(peak[1] - peak[0], 4096) << "by hand: " << by_hand;
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
    EXPECT_TRUE(same_bytes(get("live"), "old"));
    EXPECT_EQ(fs::read_symlink("dangling"), "nowhere");
    EXPECT_TRUE(CopyFileA("src", "fresh", TRUE));
    EXPECT_FALSE(CopyFileA("src", "fresh", TRUE));
    EXPECT_TRUE(same_bytes(get("fresh"), "new"));
    EXPECT_EQ(entries(), (Names{"dangling", "fresh", "live", "src"}));
}

TEST_F(CopyFileTest, ANameThatAppearsDuringTheCopyIsKeptWhenFailingIfItExists)
{
    REQUIRE(have_strace(), "strace (package strace), to stop the copy part way");
    put("idapi32.cf_", "new");
    // Stopped once the new file is built and flushed; another writer takes
    // the name meanwhile. Without fail_if_exists, its file is replaced. With
    // an unnamed new file, then a named one (O_TMPFILE refused where the
    // first runs made one).
    std::vector<std::string> strace = {"inject=fsync:signal=STOP:when=1"};
    for (const int run : {0, 1, 2, 3}) {
        const bool fail_if_exists = run % 2 == 0;
        fs::remove("late");
        support::Run how;
        how.command = {COPY_FILE_TOOL, "idapi32.cf_", "late", fail_if_exists ? "1" : "0"};
        how.strace = strace;
        how.trace = (dir_ / "trace").string();
        how.while_stopped = [] { put("late", "theirs"); };
        const Outcome o = run_program(dir_.path(), how);
        EXPECT_EQ(o.status, fail_if_exists ? EEXIST : 0) << "run " << run;
        EXPECT_TRUE(same_bytes(get("late"), fail_if_exists ? "theirs" : "new")) << "run " << run;
        const std::vector<Call> calls = copy_calls("trace");
        const long tmpfile = find_call(calls, "O_TMPFILE");
        ASSERT_GE(tmpfile, 0);
        if (run == 1)
            strace.push_back("inject=openat:error=EOPNOTSUPP:when=" + std::to_string(calls[static_cast<size_t>(tmpfile)].nth));
        fs::remove("trace");
        EXPECT_EQ(entries(), (Names{"idapi32.cf_", "late"})) << "run " << run;
    }
}

} // namespace
