// Tests of the Linux CopyFileA stand-in's own contract: the errors it gives
// for odd inputs, leaving everything as it was; the way it puts each kind of
// live file in place and what the file keeps; readers, content and memory.
// It runs as a program of its own (copy_file_tool) where a case needs
// another user, a resource limit or strace; the paths a filesystem or the
// kernel force on a whole run are in fault_test.
#include <windows.h>

#include "../platform/linux/rules.h"
#include "support.h"

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using namespace support;

struct stat stat_of(const fs::path &p)
{
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st;
}

bool is_root() { return geteuid() == 0; }

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

// The stand-in once, as a program: its exit status is 0 or errno.
int copy_as_program(const fs::path &dir, const std::string &src, const std::string &live, bool fail_if_exists,
                    std::function<void()> before = {}, std::vector<std::string> strace = {},
                    const std::string &trace = {})
{
    support::Run how{{}, std::move(strace), trace, std::move(before), std::chrono::seconds(10)};
    how.command = {reachable(COPY_FILE_TOOL), src, live, fail_if_exists ? "1" : "0"};
    return run_program(dir, how).status;
}

// Each odd input fails with its errno and leaves every name as it was. Each
// runs among a stored copy "src", a live file "live" and one of every odd
// kind of name.
struct Refusal {
    std::string name;
    const char *src = "src", *live = "live";
    int err = 0;
    std::function<void()> setup = {};
    bool fail_if_exists = false, as_nobody = false;
    rlim_t file_size_limit = 0;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class Errors : public ::testing::TestWithParam<Refusal> {};

TEST_P(Errors, FailsWithItsErrnoAndChangesNothing)
{
    const Refusal &r = GetParam();
    REQUIRE(!r.as_nobody || is_root(), "root, to act as another user");
    TempDir dir;
    put(dir / "src", bytes(5000, 6));
    put(dir / "live", "old");
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "src").c_str(), past, 0), 0);
    const fs::path back = fs::current_path();
    fs::current_path(dir.path());
    ASSERT_EQ(mkfifo("fifo", 0644) + symlink("src", "by_link") + link("src", "by_hardlink") +
                  symlink("/dev/zero", "zero") + symlink("nowhere", "dangling") + symlink("loop_b", "loop_a") +
                  symlink("loop_a", "loop_b"), 0);
    fs::create_directory("dir");
    put("dir/inside", "kept");
    if (r.setup)
        r.setup();
    fs::current_path(back);
    if (HasFatalFailure())
        return;
    const std::string before = tree(dir.path());
    const int status = copy_as_program(dir.path(), r.src, r.live, r.fail_if_exists, [&r] {
        if (r.as_nobody)
            drop_privileges();
        const rlimit limit{r.file_size_limit, r.file_size_limit};
        if (r.file_size_limit != 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(123);
    });
    EXPECT_EQ(status, r.err) << "exit status: errno, or how it ended";
    EXPECT_EQ(tree(dir.path()), before);
}

const std::vector<Refusal> kRefusals = {
    {.name = "the stored copy under the live name", .live = "src", .err = EINVAL},
    {.name = "the stored copy under the live name, spelled otherwise", .live = "./src", .err = EINVAL},
    {.name = "a link to the stored copy as the live name", .live = "by_link", .err = EINVAL},
    {.name = "a hard link to the stored copy as the live name", .live = "by_hardlink", .err = EINVAL},
    {.name = "stored copy a FIFO, which must not hang", .src = "fifo", .err = EINVAL},
    {.name = "stored copy a directory", .src = "dir", .err = EISDIR},
    {.name = "stored copy a link to a device", .src = "zero", .err = EINVAL},
    {.name = "no stored copy", .src = "missing", .err = ENOENT},
    {.name = "live name a directory", .live = "dir", .err = EISDIR},
    {.name = "live name a FIFO", .live = "fifo", .err = EINVAL},
    {.name = "live name a link to a device", .live = "zero", .err = EINVAL},
    {.name = "live name ending in a slash", .live = "dir/", .err = EISDIR},
    {.name = "live name a dot", .live = ".", .err = EISDIR},
    {.name = "live name a dangling link", .live = "dangling", .err = ENOENT},
    {.name = "live name a link loop", .live = "loop_a", .err = ELOOP},
    {.name = "live file read-only, even for root", .err = EACCES, .setup = [] { ASSERT_EQ(chmod("live", 0444), 0); }},
    {.name = "live file the caller may not write", .err = EACCES, .setup = [] { ASSERT_EQ(chmod(".", 0777), 0); },
     .as_nobody = true},
    {.name = "no live file, in a folder the caller may not write", .live = "dir/fresh", .err = EACCES,
     .setup = [] { ASSERT_EQ(chmod(".", 0755), 0); }, .as_nobody = true},
    {.name = "a live file, failing if it exists", .err = EEXIST, .fail_if_exists = true},
    {.name = "a dangling link, failing if it exists", .live = "dangling", .err = EEXIST, .fail_if_exists = true},
    // The limit would end the process with SIGXFSZ part way: not a status.
    {.name = "stored copy over the file size limit", .err = EFBIG, .setup = [] { put("src", bytes(1 << 20, 3)); },
     .file_size_limit = 64 << 10},
};

INSTANTIATE_TEST_SUITE_P(Contract, Errors, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return test_id(info.param.name); });

TEST_F(CopyFileTest, NullNamesFail)
{
    put("live", "old");
    errno = 0;
    EXPECT_FALSE(CopyFileA(nullptr, "live", FALSE) || CopyFileA("live", nullptr, FALSE));
    EXPECT_EQ(errno, EINVAL);
}

// Each kind of live file, and who copies: which way it is put in place (a
// new inode, or the same one written in place) and what it is afterwards.
// The stored copy is 3000 bytes with a time of its own.
constexpr uid_t kCaller = static_cast<uid_t>(-1); // the caller's own
constexpr mode_t kLikeNew = 01000000;           // as a new file the test makes there
struct Situation {
    std::string name;
    bool as_nobody = false, needs_root = false;
    mode_t mode = 0644; // the live file's; 0 if there is none
    uid_t uid = kCaller;
    gid_t gid = kCaller;
    bool acl = false, linked = false; // an access list of its own; a second name
    bool capability = false;          // a file capability
    size_t old_size = 100000;
    mode_t src_mode = 0644;
    uid_t src_uid = kCaller;
    bool default_acl = false, no_unnamed = false, no_link_by_fd = false; // the directory's, the system's
    // Afterwards:
    bool new_inode = true;
    mode_t mode_after = 0644;
    bool src_time = true; // the stored copy's time, or the time of the write
};

void PrintTo(const Situation &s, std::ostream *os) { *os << s.name; }

class Decision : public ::testing::TestWithParam<Situation> {};

TEST_P(Decision, TakesItsWayAndKeepsWhatItShould)
{
    const Situation &s = GetParam();
    REQUIRE(is_root() || !(s.as_nobody || s.needs_root), "root, to act as another user");
    REQUIRE(have_strace(), "strace (package strace)");
    const uid_t caller = s.as_nobody ? kNobody : geteuid();
    const auto who = [caller](uid_t id) { return id == kCaller ? caller : id; };
    const std::string src = bytes(3000, 9), old = bytes(s.old_size, 8);
    const std::string own_acl = acl_granting_write(1234), default_acl = acl_granting_write(5678);
    const struct timespec when[2] = {{981172800, 0}, {981172800, 123456789}};
    std::vector<std::string> strace;
    if (s.no_link_by_fd)
        strace.emplace_back("inject=linkat:error=ENOENT:when=1");
    for (int pass = s.no_unnamed ? 0 : 1; pass < 2; ++pass) {
        TempDir dir;
        const fs::path live = dir / "idapi32.cfg", stored = dir / "idapi32.cf_", trace = dir / "trace";
        ASSERT_TRUE(!s.as_nobody || chown(dir.path().c_str(), kNobody, kNobody) == 0);
        REQUIRE(!s.default_acl || setxattr(dir.path().c_str(), "system.posix_acl_default", default_acl.data(),
                                           default_acl.size(), 0) == 0,
                "access lists under " + dir.path().string());
        put(stored, src);
        ASSERT_EQ(chmod(stored.c_str(), s.src_mode) + utimensat(AT_FDCWD, stored.c_str(), when, 0), 0);
        ASSERT_TRUE(!is_root() || chown(stored.c_str(), who(s.src_uid), who(s.src_uid)) == 0);
        if (s.mode != 0) {
            put(live, old);
            ASSERT_TRUE(!is_root() || chown(live.c_str(), who(s.uid), who(s.gid)) == 0);
            REQUIRE(!s.acl || setxattr(live.c_str(), "system.posix_acl_access", own_acl.data(), own_acl.size(), 0) == 0,
                    "access lists");
            // A file made here has the default list; this one has none.
            ASSERT_TRUE(!s.default_acl || s.acl || removexattr(live.c_str(), "system.posix_acl_access") == 0);
            ASSERT_EQ(chmod(live.c_str(), s.mode), 0);
            // Version 2, effective, permitted: CAP_NET_BIND_SERVICE.
            std::string cap(20, '\0');
            cap[0] = '\x01', cap[3] = '\x02', cap[5] = '\x04';
            ASSERT_TRUE(!s.capability || setxattr(live.c_str(), "security.capability", cap.data(), cap.size(), 0) == 0);
            if (s.linked)
                fs::create_hard_link(live, dir / "other.cfg");
        }
        put(dir / "like_new", "");
        const struct stat before = s.mode != 0 ? stat_of(live) : stat_of(dir / "like_new");
        const std::string xattrs_before = xattrs(s.mode != 0 ? live : dir / "like_new");
        const int status = copy_as_program(dir.path(), "idapi32.cf_", "idapi32.cfg", false, [&s] {
            umask(022);
            if (s.as_nobody)
                drop_privileges();
        }, strace, trace);
        const std::vector<Call> calls = copy_calls(trace);
        if (pass == 0) { // which openat to refuse
            ASSERT_GT(unnamed_open(calls), 0);
            strace.push_back(refuse_unnamed(unnamed_open(calls)));
            continue;
        }
        ASSERT_EQ(status, 0);
        const struct stat after = stat_of(live);
        EXPECT_TRUE(same_bytes(get(live), src));
        EXPECT_EQ(after.st_ino != before.st_ino, s.new_inode) << "a new inode";
        EXPECT_EQ(after.st_uid, s.mode != 0 ? before.st_uid : caller);
        EXPECT_EQ(after.st_gid, s.mode != 0 || !s.as_nobody ? before.st_gid : kNobody);
        EXPECT_EQ(after.st_mode & 07777, s.mode_after == kLikeNew ? before.st_mode & 07777 : s.mode_after);
        EXPECT_EQ(xattrs(live), xattrs_before) << "extended attributes, access lists included";
        EXPECT_EQ(after.st_mtim.tv_sec == when[1].tv_sec && after.st_mtim.tv_nsec == when[1].tv_nsec, s.src_time);
        if (s.linked) {
            EXPECT_TRUE(same_bytes(get(dir / "other.cfg"), src));
        }
        // Flushed after the last change to it, read-only included; no hidden name.
        long last = 0;
        for (long at = 0; (at = find_call(calls, R"(^(ftruncate|fchmod|linkat.* = 0$|renameat))", at)) >= 0; ++at)
            last = at;
        EXPECT_GE(find_call(calls, "^fsync", static_cast<size_t>(last)), 0) << "not flushed after its last change";
        EXPECT_EQ(find_call(calls, R"(^openat\(.*"\.\w)") >= 0, s.no_unnamed) << "a hidden name";
        fs::remove(trace);
        Names names = {"idapi32.cf_", "idapi32.cfg", "like_new"};
        if (s.linked)
            names.emplace_back("other.cfg");
        EXPECT_EQ(entries(dir.path()), names);
    }
}

const std::vector<Situation> kSituations = {
    // Replaced, by a new file with everything of the old, set-id bits too.
    {.name = "another user's file with set-uid, for root", .needs_root = true, .mode = 04755, .uid = 4321,
     .gid = 8765, .acl = true, .mode_after = 04755},
    {.name = "another user's file with set-gid, for root", .needs_root = true, .mode = 02670, .uid = 4321,
     .gid = 8765, .acl = true, .mode_after = 02670},
    {.name = "another user's file with an access list, for root", .needs_root = true, .mode = 0660, .uid = 4321,
     .gid = 8765, .acl = true, .mode_after = 0660},
    {.name = "root's own file in another group", .needs_root = true, .mode = 0664, .uid = 0, .gid = 8765,
     .mode_after = 0664},
    {.name = "group write alone, for root", .needs_root = true, .mode = 0464, .src_mode = 0464, .mode_after = 0464},
    {.name = "group write alone, from a read-only stored copy", .needs_root = true, .mode = 0464, .src_mode = 0444,
     .mode_after = 0444},
    {.name = "set-uid under a read-only stored copy", .mode = 04755, .src_mode = 0444, .mode_after = 04555},
    {.name = "a user's own set-uid file, from the user's stored copy", .as_nobody = true, .mode = 04755,
     .mode_after = 04755},
    {.name = "another user's file with a file capability, for root", .needs_root = true, .mode = 0755, .uid = 4321,
     .gid = 8765, .capability = true, .mode_after = 0755},
    {.name = "an access list of its own under a default one", .mode = 0660, .acl = true, .default_acl = true,
     .mode_after = 0660},
    {.name = "no access list under a default one", .default_acl = true},
    {.name = "a user's own file from another user's stored copy", .as_nobody = true, .src_uid = 0},
    {.name = "a user's own file from a read-only stored copy", .as_nobody = true, .src_mode = 0444, .src_uid = 0,
     .no_link_by_fd = true, .mode_after = 0444},
    // Written in place: the file keeps its inode and all it has.
    {.name = "a file with a second name, shrinking, from a read-only stored copy", .mode = 0640, .linked = true,
     .src_mode = 0444, .new_inode = false, .mode_after = 0440},
    {.name = "a file with a second name, growing", .linked = true, .old_size = 10, .new_inode = false},
    {.name = "root's file that everyone may write, for a user", .as_nobody = true, .mode = 0666, .uid = 0,
     .gid = 0, .src_mode = 0444, .src_uid = 0, .no_link_by_fd = true, .new_inode = false, .mode_after = 0666,
     .src_time = false},
    {.name = "a user's own file with a second name", .as_nobody = true, .linked = true, .src_mode = 0444,
     .src_uid = 0, .no_link_by_fd = true, .new_inode = false, .mode_after = 0444},
    // Created as any new file there, read-only if the stored copy is.
    {.name = "created from a read-only stored copy", .mode = 0, .src_mode = 0400, .mode_after = 0444},
    {.name = "created from a stored copy only its owner may read", .mode = 0, .src_mode = 0600},
    {.name = "created from an executable stored copy", .mode = 0, .src_mode = 0755},
    {.name = "created from a stored copy its group alone may write", .mode = 0, .src_mode = 0464},
    {.name = "created where there are no unnamed files", .mode = 0, .no_unnamed = true},
    {.name = "created under a default access list", .mode = 0, .default_acl = true, .mode_after = kLikeNew},
    {.name = "created by a user, linked through /proc", .as_nobody = true, .mode = 0, .src_mode = 0444,
     .src_uid = 0, .no_link_by_fd = true, .mode_after = 0444},
};

INSTANTIATE_TEST_SUITE_P(Contract, Decision, ::testing::ValuesIn(kSituations),
                         [](const auto &info) { return test_id(info.param.name); });

// The link rule over plain values: each entry on a way in the folder that
// holds it, and whether all who could have shaped the way may do at its end
// what the caller would (write, unless it says read).
using linux_copy::Node;
constexpr uid_t kUser = 1000;
Node folder(uid_t uid, mode_t mode = 0755) { return {uid, S_IFDIR | mode}; }
Node lnk(uid_t uid) { return {uid, S_IFLNK | 0777}; }
Node reg(uid_t uid, mode_t mode, gid_t gid = 0) { return {uid, S_IFREG | mode, gid}; }
struct Way { std::string name; std::vector<linux_copy::Step> steps; bool follows, read = false; };
void PrintTo(const Way &w, std::ostream *os) { *os << w.name; }
class LinkRule : public ::testing::TestWithParam<Way> {};
TEST_P(LinkRule, FollowsWhatAllWhoCouldShapeTheWayCouldDo)
{
    const Way &w = GetParam();
    EXPECT_EQ(linux_copy::may_follow(w.steps, 0, w.read ? linux_copy::Access::read : linux_copy::Access::write), w.follows);
}
const std::vector<Way> kWays = {
    {"no link, in a folder anyone may write", {{folder(0, 0777), reg(0, 0600)}}, true},
    {"a user's link in root's folder", {{folder(0), lnk(kUser)}, {folder(0), reg(0, 0600)}}, false},
    {"root's link moved into a user's folder", {{folder(kUser), lnk(0)}, {folder(0), reg(0, 0600)}}, false},
    {"root's link in a user's folder, to read what anyone may", {{folder(kUser), lnk(0)}, {folder(0), reg(0, 0644)}}, true, true},
    {"a user's link to the user's file", {{folder(kUser), lnk(kUser)}, {folder(kUser), reg(kUser, 0600)}}, true},
    {"a user's link to the user's file without the bit", {{folder(kUser), lnk(kUser)}, {folder(kUser), reg(kUser, 0400)}}, false},
    {"a user's link into a folder the user may not enter", {{folder(kUser), lnk(kUser)}, {folder(0, 01730), reg(kUser, 0666)}}, false},
    {"a link in a folder its group may write", {{folder(kUser, 0775), lnk(kUser)}, {folder(kUser), reg(kUser, 0664)}}, false},
    {"root's link through a user's folder in one anyone may write, to read", {{folder(0, 0777), lnk(0)}, {folder(0, 0777), folder(kUser)}, {folder(kUser), lnk(kUser)}, {folder(0), reg(0, 0644)}}, true, true},
    {"a user's folder in a sticky one: its owners", {{folder(0, 01777), folder(kUser)}, {folder(kUser), lnk(kUser)}, {folder(kUser), reg(kUser, 0600)}}, true},
    {"a link in a sticky folder: anyone", {{folder(0, 01777), lnk(kUser)}, {folder(0, 01777), reg(kUser, 0600)}}, false},
    {"up out of a sticky folder: anyone", {{folder(kUser), lnk(kUser)}, {folder(kUser, 01777), folder(kUser), true}, {folder(kUser), reg(kUser, 0600)}}, false},
    {"a user's link to a file of the group named after the user", {{folder(kUser), lnk(kUser)}, {folder(0), reg(2000, 0660, kUser)}}, false},
};
INSTANTIATE_TEST_SUITE_P(Policy, LinkRule, ::testing::ValuesIn(kWays), [](const auto &info) { return test_id(info.param.name); });

// The other decisions over plain values, each row what a rule gives and
// what it must: the way, what a failed step means, errors, the new file's
// mode, read-only, set-id and room.
namespace pc = linux_copy;
struct Rule { std::string name; long got, want; };
void PrintTo(const Rule &r, std::ostream *os) { *os << r.name; }
class Rules : public ::testing::TestWithParam<Rule> {};
TEST_P(Rules, GiveWhatTheyShould)
{
    const Rule &r = GetParam();
    EXPECT_EQ(r.got, r.want);
}
constexpr long kReplace = static_cast<long>(pc::Way::replace), kInPlace = static_cast<long>(pc::Way::write_in_place);
long way(std::uint64_t links, uid_t owner, uid_t caller, bool keeps) { return static_cast<long>(pc::choose_way(links, owner, caller, keeps)); }
long step(int err) { return static_cast<long>(pc::after_failed_step(err)); }
constexpr long kInstead = static_cast<long>(pc::Outcome::in_place_instead), kFails = static_cast<long>(pc::Outcome::failed);
const std::vector<Rule> kRules = {
    {"way: the caller's own file", way(1, kUser, kUser, false), kReplace},
    {"way: another's file, for root", way(1, 2000, 0, false), kReplace},
    {"way: another's file, for a user", way(1, 2000, kUser, false), kInPlace},
    {"way: a file with a second name", way(2, kUser, kUser, false), kInPlace},
    {"way: a folder that keeps its names", way(1, kUser, 0, true), kInPlace},
    {"a failed step: not permitted", step(EPERM), kInstead},
    {"a failed step: access denied", step(EACCES), kInstead},
    {"a failed step: not supported", step(EOPNOTSUPP), kInstead},
    {"a failed step: an id the filesystem cannot hold", step(EINVAL), kInstead},
    {"a failed step: a disk error", step(EIO), kFails},
    {"a failed step: over quota", step(EDQUOT), kFails},
    {"a failed step: a full disk", step(ENOSPC), kFails},
    {"lacks: an old kernel", pc::lacks(ENOSYS), true},
    {"lacks: another filesystem", pc::lacks(EXDEV), true},
    {"lacks: not a disk error", pc::lacks(EIO), false},
    {"may not: a seccomp filter", pc::may_not(EPERM), true},
    {"may not: not a missing file", pc::may_not(ENOENT), false},
    {"new file: in the caller's own folder, as the folder makes it", pc::new_file_mode(false, 0600), 0666},
    {"new file: in a shared folder, no more open than the stored copy", pc::new_file_mode(true, 0640), 0640},
    {"new file: in a shared folder, never executable", pc::new_file_mode(true, 0755), 0644},
    {"stored copy: a directory", pc::unusable_stored(S_IFDIR | 0755), EISDIR},
    {"stored copy: a FIFO is never opened", pc::unusable_stored(S_IFIFO | 0644), EINVAL},
    {"live file: the stored copy under another name", pc::unusable_live(S_IFREG | 0644, true), EINVAL},
    {"live file: a device is never opened", pc::unusable_live(S_IFCHR | 0666, false), EINVAL},
    {"read-only: a live file without write bits, even for root", pc::unusable_live(S_IFREG | 0444, false), EACCES},
    {"read-only: group write alone is writable", pc::unusable_live(S_IFREG | 0464, false), 0},
    {"read-only: a stored copy without write bits", pc::settled_mode(0664, 0444, true), 0444},
    {"read-only: group write alone is not", pc::settled_mode(0464, 0464, true), 0464},
    {"read-only: a writable stored copy keeps the live mode", pc::settled_mode(0640, 0600, true), 0640},
    {"set-id: kept under root's content", pc::keeps_set_id(0, kUser), true},
    {"set-id: kept under the owner's content", pc::keeps_set_id(kUser, kUser), true},
    {"set-id: dropped under another's content", pc::keeps_set_id(2000, kUser), false},
    {"set-id: both bits dropped", pc::settled_mode(06755, 0644, false), 0755},
    {"room: root's reserved blocks do not count", pc::has_room(8192, 0, {4096, 100, 1}), false},
    {"room: what the file holds counts", pc::has_room(8192, 4096, {4096, 1, 1}), true},
    {"others may write: a user's folder, for root", pc::others_may_write(folder(kUser), 0), true},
    {"others may write: root's folder its group may write", pc::others_may_write(folder(0, 0775), kUser), true},
    {"others may write: root's own folder", pc::others_may_write(folder(0), kUser), false},
};
INSTANTIATE_TEST_SUITE_P(Policy, Rules, ::testing::ValuesIn(kRules), [](const auto &info) { return test_id(info.param.name); });

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

TEST_F(CopyFileTest, ALinkedLiveNameLeadsToTheFileReplacedThroughAChain)
{
    put("src", "new content");
    ASSERT_EQ(mkdir("sub", 0755), 0);
    put("sub/real", "old");
    ASSERT_EQ(symlink("sub/real", "hop"), 0);
    ASSERT_EQ(symlink("hop", "live"), 0);
    EXPECT_TRUE(CopyFileA("src", "live", FALSE));
    EXPECT_TRUE(same_bytes(get("sub/real"), "new content"));
    EXPECT_EQ(fs::read_symlink("live"), "hop");
    EXPECT_EQ(fs::read_symlink("hop"), "sub/real");
    EXPECT_EQ(entries(), (Names{"hop", "live", "src", "sub"}));
    EXPECT_EQ(entries("sub"), (Names{"real"}));
}

TEST_F(CopyFileTest, FailingIfItExistsStillCreatesOnce)
{
    put("src", "new");
    EXPECT_TRUE(CopyFileA("src", "fresh", TRUE));
    EXPECT_FALSE(CopyFileA("src", "fresh", TRUE));
    EXPECT_TRUE(same_bytes(get("fresh"), "new"));
    EXPECT_EQ(entries(), (Names{"fresh", "src"}));
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
        ASSERT_GT(unnamed_open(calls), 0);
        if (run == 1)
            strace.push_back(refuse_unnamed(unnamed_open(calls)));
        fs::remove("trace");
        EXPECT_EQ(entries(), (Names{"idapi32.cf_", "late"})) << "run " << run;
    }
}

} // namespace
