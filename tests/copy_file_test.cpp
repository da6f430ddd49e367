// The Linux CopyFileA stand-in's own contract: its errors for odd inputs,
// with nothing changed; its walk and its decisions over plain values; failures
// reported, memory, names taken. As a program of its own (copy_file_tool)
// where a case needs another user, a resource limit or strace.
#include <windows.h>

#include "../platform/linux/primitives.h"
#include "support.h"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace support;

class CopyFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_cwd_ = fs::current_path();
        fs::current_path(folder_.path());
    }
    void TearDown() override { fs::current_path(old_cwd_); }

    Scratch folder_;
    fs::path old_cwd_;
};

// The stand-in once, as a program: its exit status is 0 or errno.
int copy_as_program(const fs::path &dir, const std::string &src, const std::string &live, bool fail_if_exists,
                    std::function<void()> before = {}, std::vector<std::string> strace = {})
{
    support::Run how{std::move(strace), {}, std::move(before), std::chrono::seconds(10)};
    how.command = {reachable(COPY_FILE_TOOL), src, live, fail_if_exists ? "1" : "0"};
    return run_program(dir, how).status;
}

// Each odd input fails with its errno and leaves every name as it was, among
// a stored copy "src", a live file "live" and one of every odd kind of name.
struct Refusal {
    std::string name;
    const char *src = "src", *live = "live";
    int err = 0;
    std::function<void()> setup = {};
    bool fail_if_exists = false, as_nobody = false, needs_root = false;
    rlim_t file_size_limit = 0;
    std::vector<std::string> strace = {}; // a failing machine, under strace
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class Errors : public ::testing::TestWithParam<Refusal> {};

TEST_P(Errors, FailsWithItsErrnoAndChangesNothing)
{
    const Refusal &r = GetParam();
    REQUIRE(!(r.as_nobody || r.needs_root) || geteuid() == 0, "root, to act as another user");
    REQUIRE(r.strace.empty() || have_strace(), "strace (package strace)");
    Scratch dir;
    put(dir / "src", bytes(5000, 6));
    put(dir / "live", "old");
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "src").c_str(), past, 0), 0);
    const fs::path back = fs::current_path();
    fs::current_path(dir.path());
    ASSERT_EQ(mkfifo("fifo", 0644) + symlink("src", "by_link") + link("src", "by_hardlink") +
                  device("zero") + symlink("zero", "to_device") + symlink("nowhere", "dangling") + symlink("loop_b", "loop_a") +
                  symlink("loop_a", "loop_b"), 0);
    fs::create_directory("dir");
    put("dir/inside", "kept");
    if (r.setup)
        r.setup();
    fs::current_path(back);
    if (HasFatalFailure())
        return;
    const Snapshot before = snapshot(dir.path(), status_of);
    const int status = copy_as_program(dir.path(), r.src, r.live, r.fail_if_exists, [&r] {
        if (r.as_nobody)
            drop_privileges();
        const rlimit limit{r.file_size_limit, r.file_size_limit};
        if (r.file_size_limit != 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(123);
    }, r.strace);
    EXPECT_EQ(status, r.err) << "exit status: errno, or how it ended";
    EXPECT_EQ(snapshot(dir.path(), status_of), before);
}

const std::vector<Refusal> kRefusals = {
    {.name = "the stored copy under the live name", .live = "src", .err = EINVAL},
    {.name = "the stored copy under the live name, spelled otherwise", .live = "./src", .err = EINVAL},
    {.name = "a link to the stored copy as the live name", .live = "by_link", .err = EINVAL},
    {.name = "a hard link to the stored copy as the live name", .live = "by_hardlink", .err = EINVAL},
    {.name = "stored copy a FIFO, which must not hang", .src = "fifo", .err = EINVAL},
    {.name = "stored copy a folder", .src = "dir", .err = EISDIR},
    {.name = "stored copy a link to a device", .src = "to_device", .err = EINVAL},
    {.name = "no stored copy", .src = "missing", .err = ENOENT},
    {.name = "stored copy a dangling link", .src = "dangling", .err = ENOENT},
    {.name = "stored copy a link loop", .src = "loop_a", .err = ELOOP},
    {.name = "live name a folder", .live = "dir", .err = EISDIR},
    {.name = "live name a link to a device", .live = "to_device", .err = EINVAL},
    {.name = "live name a third user's link to a folder, for a user: the kind judged first", .live = "planted", .err = EISDIR,
     .setup = [] { ASSERT_EQ(chmod(".", 0755) + symlink("dir", "planted") + lchown("planted", 4242, 4242), 0); }, .as_nobody = true},
    {.name = "live name ending in a slash", .live = "dir/", .err = EISDIR},
    {.name = "live name a dot", .live = ".", .err = EISDIR},
    {.name = "live name a dangling link", .live = "dangling", .err = ENOENT},
    {.name = "live name a link loop", .live = "loop_a", .err = ELOOP},
    {.name = "live file read-only, even for root", .err = EACCES, .setup = [] { ASSERT_EQ(chmod("live", 0444), 0); }},
    {.name = "live file the caller may not write", .err = EACCES, .setup = [] { ASSERT_EQ(chmod(".", 0777), 0); },
     .as_nobody = true},
    {.name = "no live file, in a folder the caller may not write", .live = "dir/fresh", .err = EACCES,
     .setup = [] { ASSERT_EQ(chmod(".", 0755), 0); }, .as_nobody = true},
    {.name = "a file with a second name, written in place on a full disk", .err = ENOSPC,
     .setup = [] { ASSERT_EQ(link("live", "live2"), 0); }, .strace = {"inject=fallocate:error=ENOSPC"}},
    {.name = "no live file, for a user, through a third user's link to the user's folder", .live = "planted/fresh",
     .err = EACCES, .setup = [] { ASSERT_EQ(chmod(".", 0755) + symlink("dir", "planted") + lchown("planted", 4242, 4242) + chown("dir", kNobody, kNobody), 0); },
     .as_nobody = true},
    {.name = "no live file, for root, in a user's folder the user may not write", .live = "dir/fresh", .err = EACCES,
     .setup = [] { ASSERT_EQ(chmod(".", 0755) + chown("dir", kNobody, kNobody) + chmod("dir", 0555), 0); }, .needs_root = true},
    {.name = "a live file, failing if it exists", .err = EEXIST, .fail_if_exists = true},
    {.name = "a dangling link, failing if it exists", .live = "dangling", .err = EEXIST, .fail_if_exists = true},
    // The limit would end the process with SIGXFSZ part way: not a status.
    {.name = "stored copy over the file size limit", .err = EFBIG, .setup = [] { put("src", bytes(1 << 20, 3)); },
     .file_size_limit = 64 << 10},
};

INSTANTIATE_TEST_SUITE_P(Contract, Errors, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return test_id(info.param.name); });

// The walk against the kernel's own: a name resolved in a small tree ends
// where open(O_PATH) of it does, or fails as it does; a name to be made, in
// the `folder` the kernel would make it in. `err`: where the walk differs
// on purpose. `ups`: the steps up it must mark. "@" is the tree's own path.
struct WalkRow { std::string name, path, folder = {}; int err = -1, ups = 0; };
void PrintTo(const WalkRow &w, std::ostream *os) { *os << w.name; }
class Walk : public ::testing::TestWithParam<WalkRow> {};
TEST_P(Walk, EndsWhereTheKernelsOwnDoes)
{
    const WalkRow &w = GetParam();
    Scratch top;
    const std::string at = top.path().string(), path = std::regex_replace(w.path, std::regex("@"), at);
    const fs::path back = fs::current_path();
    fs::current_path(top.path());
    for (const char *d : {"dir", "dir/inner", "sub", "mnt"})
        fs::create_directory(d);
    put("f", "f"), put("dir/f", "f"), put("sub/real", "r");
    for (const auto &[name, to] : std::vector<std::pair<std::string, std::string>>{
             {"sub/hop", "real"}, {"rel", "sub/hop"}, {"up", "dir/inner"}, {"abs", at + "/f"}, {"dangling", "nowhere"},
             {"l0", "l1"}, {"l40", "f"}})
        fs::create_symlink(to, name);
    for (int i = 1; i < 40; ++i)
        fs::create_symlink("l" + std::to_string(i + 1), "l" + std::to_string(i));
    if (w.path.rfind("mnt", 0) == 0) {
        REQUIRE(geteuid() == 0, "root, to mount");
        ASSERT_EQ(unshare(CLONE_NEWNS) + mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) +
                      mount("dir", "mnt", nullptr, MS_BIND, nullptr), 0);
    }
    struct stat here {}, end {}, want {};
    linux_copy::Resolved r;
    const int got = stat(".", &here) == 0 ? linux_copy::resolve(path.c_str(), linux_copy::node(here), r) : -1;
    const linux_copy::Fd kernel(open(path.c_str(), O_PATH | O_CLOEXEC));
    const int kernel_err = kernel.ok() ? 0 : errno;
    if (w.err >= 0) {
        EXPECT_EQ(got, w.err) << "on purpose, where the kernel's gives " << kernel_err;
    } else if (!w.folder.empty()) {
        EXPECT_EQ(kernel_err, ENOENT);
        EXPECT_TRUE(got == 0 && !r.end.ok() && fstatat(r.at(), "", &end, AT_EMPTY_PATH) == 0 && stat(w.folder.c_str(), &want) == 0 &&
                    linux_copy::same_file(end, want)) << "the folder it would be made in";
    } else {
        EXPECT_EQ(got, kernel_err);
        EXPECT_TRUE(got != 0 || (r.end.ok() && fstat(r.end.get(), &end) == 0 && fstat(kernel.get(), &want) == 0 &&
                                 linux_copy::same_file(end, want))) << "the same end";
    }
    EXPECT_EQ(std::count_if(r.way.begin(), r.way.end(), [](const auto &s) { return s.up; }), w.ups) << "steps up";
    fs::current_path(back);
}
const std::vector<WalkRow> kWalks = {
    {"a file", "f"},
    {"a file in a folder", "dir/f"},
    {"the working folder", "."},
    {"dot steps", "./dir/./f"},
    {"a step up", "dir/../f", {}, -1, 1},
    {"the folder above", "..", {}, -1, 1},
    {"an absolute name", "@/dir/f"},
    {"a trailing slash on a file", "f/"},
    {"a trailing slash on a folder", "dir/"},
    {"a trailing slash on a missing name", "missing/"},
    {"a missing folder in the middle", "dir/missing/x"},
    {"a name to be made", "dir/new", "dir"},
    {"a relative link, walked from its own folder", "rel"},
    {"up from a link to a folder", "up/..", {}, -1, 1},
    {"an absolute link", "abs"},
    {"40 links", "l1"},
    {"41 links", "l0"},
    {"a dangling link: a missing end, refused later", "dangling", "."},
    {"a magic link, never followed", "/proc/self/cwd/f", {}, ELOOP},
    {"up across a mount", "mnt/..", {}, -1, 1},
};
INSTANTIATE_TEST_SUITE_P(Walk, Walk, ::testing::ValuesIn(kWalks), [](const auto &info) { return test_id(info.param.name); });

// The link rule, for a caller who cannot change user: each entry on a way
// with its folder, and whether all who could have shaped the way may do at
// its end what the caller would (write, unless it says read).
using linux_copy::Node;
constexpr uid_t kUser = 1000, kCaller = 3000;
Node folder(uid_t uid, mode_t mode = 0755) { return {uid, S_IFDIR | mode}; }
Node lnk(uid_t uid) { return {uid, S_IFLNK | 0777}; }
Node reg(uid_t uid, mode_t mode, gid_t gid = 0, nlink_t links = 1) { return {uid, S_IFREG | mode, gid, links}; }
struct Route { std::string name; std::vector<linux_copy::Step> steps; bool follows, read = false; };
void PrintTo(const Route &w, std::ostream *os) { *os << w.name; }
class LinkRule : public ::testing::TestWithParam<Route> {};
TEST_P(LinkRule, FollowsWhatAllWhoCouldShapeTheWayCouldDo)
{
    const Route &w = GetParam();
    EXPECT_EQ(linux_copy::may_follow(w.steps, kCaller, w.read ? linux_copy::Access::read : linux_copy::Access::write), w.follows);
}
const std::vector<Route> kRoutes = {
    {"no link, in a folder anyone may write", {{folder(0, 0777), reg(0, 0600)}}, true},
    {"a user's link in root's folder", {{folder(0), lnk(kUser)}, {folder(0), reg(0, 0600)}}, false},
    {"root's link moved into a user's folder", {{folder(kUser), lnk(0)}, {folder(0), reg(0, 0600)}}, false},
    {"root's link in a user's folder, to read what anyone may", {{folder(kUser), lnk(0)}, {folder(0), reg(0, 0644)}}, true, true},
    {"a user's link to the user's file", {{folder(kUser), lnk(kUser)}, {folder(kUser), reg(kUser, 0600)}}, true},
    {"a user's link to the user's file without the bit", {{folder(kUser), lnk(kUser)}, {folder(kUser), reg(kUser, 0400)}}, false},
    {"a user's link through a folder others may enter but not list", {{folder(kUser), lnk(kUser)}, {folder(0, 0711), reg(kUser, 0600)}}, true},
    {"a user's link into a folder the user may not enter", {{folder(kUser), lnk(kUser)}, {folder(0, 01730), reg(kUser, 0666)}}, false},
    {"a link in a folder its group may write", {{folder(kUser, 0775), lnk(kUser)}, {folder(kUser), reg(kUser, 0664)}}, false},
    {"root's link through a user's folder in one anyone may write, to read", {{folder(0, 0777), lnk(0)}, {folder(0, 0777), folder(kUser)}, {folder(kUser), lnk(kUser)}, {folder(0), reg(0, 0644)}}, true, true},
    {"a user's folder in a sticky one: its owners", {{folder(0, 01777), folder(kUser)}, {folder(kUser), lnk(kUser)}, {folder(kUser), reg(kUser, 0600)}}, true},
    {"a link in a sticky folder: anyone", {{folder(0, 01777), lnk(kUser)}, {folder(0, 01777), reg(kUser, 0600)}}, false},
    {"up out of a sticky folder: anyone", {{folder(kUser), lnk(kUser)}, {folder(kUser, 01777), folder(kUser), true}, {folder(kUser), reg(kUser, 0600)}}, false},
    {"a user's link to a file of the group named after the user", {{folder(kUser), lnk(kUser)}, {folder(0), reg(2000, 0660, kUser)}}, false},
};
INSTANTIATE_TEST_SUITE_P(Policy, LinkRule, ::testing::ValuesIn(kRoutes), [](const auto &info) { return test_id(info.param.name); });

// Who besides root could have shaped a run of root's, from all both names
// met (a new file's folder with no entry) and the stored copy: nobody (0),
// one user, or 2 for more or anyone.
struct Shaped { std::string name; std::vector<linux_copy::Step> met; uid_t stored; int count; uid_t user = 0; mode_t stored_mode = 0644; };
void PrintTo(const Shaped &s, std::ostream *os) { *os << s.name; }
class Shapers : public ::testing::TestWithParam<Shaped> {};
TEST_P(Shapers, AreCountedFromWhatTheWayMet)
{
    const Shaped &s = GetParam();
    const linux_copy::Shapers who = linux_copy::shapers(s.met, reg(s.stored, s.stored_mode), 0);
    EXPECT_EQ(who.count, s.count);
    EXPECT_EQ(who.count == 1 ? who.user : 0, s.user);
}
const std::vector<Shaped> kShaped = {
    {"a service account's file in root's own folder", {{folder(0), reg(0, 0600)}, {folder(0), reg(kUser, 0644)}}, 0, 0},
    {"a user's link in root's own folder did not place itself", {{folder(0), lnk(kUser)}, {folder(0), reg(0, 0644)}}, 0, 0},
    {"the stored copy's owner, always", {{folder(0), reg(kUser, 0644)}}, kUser, 1, kUser},
    {"a stored copy others may write: anyone", {{folder(0), reg(0, 0666)}}, 0, 2, 0, 0666},
    {"a user's folder", {{folder(kUser), reg(kUser, 0644)}, {folder(kUser), reg(kUser, 0644)}}, kUser, 1, kUser},
    {"the folder a new file would be made in", {{folder(0), reg(0, 0644)}, {folder(kUser), Node{}}}, 0, 1, kUser},
    {"an entry's owner in a sticky folder", {{folder(0, 01777), reg(0, 0600)}, {folder(0, 01777), reg(kUser, 0644)}}, 0, 1, kUser},
    {"two owners in a sticky folder", {{folder(0, 01777), lnk(2000)}, {folder(0, 01777), reg(kUser, 0644)}}, 0, 2},
    {"a folder anyone may rearrange", {{folder(0, 0777), reg(0, 0644)}}, 0, 2},
    {"a folder on the way another user may write", {{folder(0), folder(0)}, {folder(0, 0755), lnk(0)}, {folder(kUser), folder(0)}}, 0, 1, kUser},
    {"root's file with another name, in a sticky folder: anyone", {{folder(0, 01777), reg(0, 0600, 0, 2)}}, 0, 2},
    {"another's file with another name is theirs", {{folder(0, 01777), reg(kUser, 0644, 0, 2)}}, kUser, 1, kUser},
};
INSTANTIATE_TEST_SUITE_P(Policy, Shapers, ::testing::ValuesIn(kShaped), [](const auto &info) { return test_id(info.param.name); });

} // namespace

// Enumerations printed by name where a row fails.
namespace linux_copy {
std::ostream &operator<<(std::ostream &os, Placement p)
{
    return os << (p == Placement::replace ? "Placement::replace" : "Placement::write_in_place");
}
std::ostream &operator<<(std::ostream &os, Verdict v)
{
    return os << (v == Verdict::done ? "Verdict::done" : v == Verdict::failed ? "Verdict::failed" : "Verdict::in_place_instead");
}
} // namespace linux_copy

namespace {

// The other decisions over plain values, one table a function (Policy_NAME):
// each row calls it in the test body and compares with what it must give.
namespace pc = linux_copy;
using pc::Placement, pc::Verdict;
struct Rule { std::string name; std::function<void()> check; };
template <class F, class T> Rule rule(std::string name, F got, T want)
{
    return {std::move(name), [got, want] { EXPECT_EQ(got(), static_cast<decltype(got())>(want)); }};
}
#define ROW(name, expr, want) rule(name, [] { return expr; }, want)
#define POLICY(fn, ...) \
    INSTANTIATE_TEST_SUITE_P(Policy_##fn, Rules, ::testing::Values(__VA_ARGS__), [](const auto &info) { return test_id(info.param.name); })
void PrintTo(const Rule &r, std::ostream *os) { *os << r.name; }
class Rules : public ::testing::TestWithParam<Rule> {};
TEST_P(Rules, GiveWhatTheyShould) { GetParam().check(); }
// Made-up system files: a malformed line, a longer name that holds the user's.
const std::string kPasswd = "bad line\nuser:x:1000:100:A User:/home/user:/bin/sh\n",
                  kGroup = "users:x:100:\nsudo:x:27:user\naudio:x:44:other,user\nnot:x:45:username\n";
POLICY(choose_placement,
    ROW("the caller's own file", pc::choose_placement(1, kUser, kUser, false), Placement::replace),
    ROW("another's file, for root", pc::choose_placement(1, 2000, 0, false), Placement::replace),
    ROW("another's file, for a user", pc::choose_placement(1, 2000, kUser, false), Placement::write_in_place),
    ROW("a file with a second name", pc::choose_placement(2, kUser, kUser, false), Placement::write_in_place),
    ROW("a folder that keeps its names", pc::choose_placement(1, kUser, 0, true), Placement::write_in_place));
POLICY(after_failed_step,
    ROW("not permitted", pc::after_failed_step(EPERM), Verdict::in_place_instead),
    ROW("not supported", pc::after_failed_step(EOPNOTSUPP), Verdict::in_place_instead),
    ROW("an id the filesystem cannot hold", pc::after_failed_step(EINVAL), Verdict::in_place_instead),
    ROW("a disk error", pc::after_failed_step(EIO), Verdict::failed),
    ROW("a full disk", pc::after_failed_step(ENOSPC), Verdict::failed));
POLICY(lacks,
    ROW("an old kernel", pc::lacks(ENOSYS), true),
    ROW("another filesystem", pc::lacks(EXDEV), true));
POLICY(new_file_mode,
    ROW("in the caller's own folder, as the folder makes it", pc::new_file_mode(false, 0600), 0666),
    ROW("in a shared folder, no more open than the stored copy", pc::new_file_mode(true, 0640), 0640),
    ROW("in a shared folder, never executable", pc::new_file_mode(true, 0755), 0644));
POLICY(unusable_stored,
    ROW("a folder", pc::unusable_stored(S_IFDIR | 0755), EISDIR),
    ROW("a FIFO is never opened", pc::unusable_stored(S_IFIFO | 0644), EINVAL));
POLICY(unusable_live,
    ROW("the stored copy under another name", pc::unusable_live(S_IFREG | 0644, true), EINVAL),
    ROW("a device is never opened", pc::unusable_live(S_IFCHR | 0666, false), EINVAL),
    ROW("read-only: no write bits, even for root", pc::unusable_live(S_IFREG | 0444, false), EACCES),
    ROW("group write alone is writable", pc::unusable_live(S_IFREG | 0464, false), 0));
POLICY(final_mode,
    ROW("a stored copy without write bits leaves none", pc::final_mode(0664, 0444, true), 0444),
    ROW("group write alone is not read-only", pc::final_mode(0464, 0464, true), 0464),
    ROW("a writable stored copy keeps the live mode", pc::final_mode(0640, 0600, true), 0640),
    ROW("set-id: both bits dropped", pc::final_mode(06755, 0644, false), 0755));
POLICY(keeps_set_id,
    ROW("under root's content", pc::keeps_set_id(reg(0, 0644), kUser), true),
    ROW("under the owner's content", pc::keeps_set_id(reg(kUser, 0600), kUser), true),
    ROW("not under another's content", pc::keeps_set_id(reg(2000, 0644), kUser), false),
    ROW("not under content others may write", pc::keeps_set_id(reg(0, 0664), kUser), false));
POLICY(has_room,
    ROW("root's reserved blocks do not count", pc::has_room(8192, 0, {4096, 100, 1}), false),
    ROW("what the file holds counts", pc::has_room(8192, 4096, {4096, 1, 1}), true));
POLICY(others_may_write,
    ROW("a user's folder, for root", pc::others_may_write(folder(kUser), 0), true),
    ROW("root's folder its group may write", pc::others_may_write(folder(0, 0775), kUser), true),
    ROW("root's own folder", pc::others_may_write(folder(0), kUser), false));
POLICY(rights_of,
    ROW("the primary group, then each that names the user", pc::rights_of(1000, kPasswd, kGroup).groups, (std::vector<gid_t>{100, 27, 44})),
    ROW("the primary group's id", pc::rights_of(1000, kPasswd, kGroup).gid, 100),
    ROW("a user not listed is given none", pc::rights_of(1001, kPasswd, kGroup).listed, false));

// Failures reported where a fallback fails or a change is made already; tidied.
TEST_F(CopyFileTest, FailuresAreReported)
{
    REQUIRE(have_strace(), "strace (package strace)");
    put("idapi32.cf_", "new");
    support::Run how{{"inject=renameat2:error=EINVAL", "inject=linkat:error=EIO"}, "trace"};
    how.command = {reachable(COPY_FILE_TOOL), "idapi32.cf_", "fresh", "0"};
    refuse_unnamed(how.strace, [&] {
        run_program(folder_.path(), how);
        return copy_calls("trace");
    });
    EXPECT_EQ(run_program(folder_.path(), how).status, EIO) << "a name linked, where it cannot be renamed in";
    EXPECT_EQ(entries(), (Names{"idapi32.cf_", "trace"}));
    put("src", bytes(1 << 20, 5));
    put("live", "old");
    EXPECT_EQ(copy_as_program(folder_.path(), "src", "live", false, {}, {"inject=fsync:error=EIO:when=2"}), EIO)
        << "the folder not flushed after the publish";
    EXPECT_TRUE(same_bytes(get("live"), get("src"))) << "in place all the same";
    put("live", "old");
    struct stat was {}, now {};
    ASSERT_EQ(link("live", "live2") + stat("live", &was), 0);
    EXPECT_EQ(copy_as_program(folder_.path(), "src", "live", false, {}, {"inject=copy_file_range:error=EIO"}), EIO);
    EXPECT_EQ(stat("live", &now) == 0 ? now.st_blocks : -1, was.st_blocks) << "a write in place that fails gives its room back";
}

TEST_F(CopyFileTest, ATakenHiddenNameIsTriedAgain)
{
    static int names = 0;
    const auto random = linux_copy::Temp::hidden_name;
    linux_copy::Temp::hidden_name = [](const std::string &) -> std::string { return ++names < 3 ? ".taken" : ".free"; };
    put(".taken", "theirs");
    for (const auto kind : {linux_copy::Naming::named, linux_copy::Naming::unnamed}) {
        names = 0;
        put("live", "old");
        linux_copy::Temp tmp(AT_FDCWD);
        EXPECT_EQ(tmp.create("live", 0600, kind) + tmp.publish_over("live"), 0);
        EXPECT_EQ(names, 3);
        EXPECT_EQ(entries(), (Names{".taken", "live"}));
    }
    linux_copy::Temp::hidden_name = random;
    EXPECT_TRUE(same_bytes(get(".taken"), "theirs"));
}

// Called directly: null names fail, and failing if it exists creates once.
TEST_F(CopyFileTest, NullNamesFailAndFailingIfItExistsCreatesOnce)
{
    put("src", "new");
    errno = 0;
    EXPECT_FALSE(CopyFileA(nullptr, "src", FALSE) || CopyFileA("src", nullptr, FALSE));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(CopyFileA("src", "fresh", TRUE));
    EXPECT_FALSE(CopyFileA("src", "fresh", TRUE));
    EXPECT_TRUE(same_bytes(get("fresh"), "new"));
    EXPECT_EQ(entries(), (Names{"fresh", "src"}));
}

// By hand (the kernel copy refused), from a small and a big stored copy;
// under strace its memory counts too, the same for both sizes.
TEST_F(CopyFileTest, PeakMemoryDoesNotGrowWithFileSize)
{
    REQUIRE(have_strace(), "strace (package strace), to refuse the kernel copy");
    // Both made first: a run's peak counts the test's memory it started from.
    put("small", bytes(1 << 20, 8));
    put("big", std::string(24 << 20, 'x'));
    long peak[2] = {};
    for (const int big : {0, 1}) {
        Scratch run;
        fs::copy_file(big ? "big" : "small", run / "idapi32.cf_");
        const Outcome o = run_program(run.path(), {{"inject=copy_file_range:error=EXDEV"}});
        expect_quiet_success(o, big ? "big" : "small");
        EXPECT_EQ(fs::file_size(run / "idapi32.cfg"), fs::file_size(run / "idapi32.cf_"));
        peak[big] = o.peak_kib;
    }
    // KiB; a copy that held the file in memory would grow by 23 MiB.
    EXPECT_LT(peak[1] - peak[0], 4096);
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
        support::Run how{strace, (folder_ / "trace").string()};
        how.command = {COPY_FILE_TOOL, "idapi32.cf_", "late", fail_if_exists ? "1" : "0"};
        how.while_stopped = [] { put("late", "theirs"); };
        const Outcome o = run_program(folder_.path(), how);
        EXPECT_EQ(o.status, fail_if_exists ? EEXIST : 0) << "run " << run;
        EXPECT_TRUE(same_bytes(get("late"), fail_if_exists ? "theirs" : "new")) << "run " << run;
        if (run == 1)
            refuse_unnamed(strace, [] { return copy_calls("trace"); });
        fs::remove("trace");
        EXPECT_EQ(entries(), (Names{"idapi32.cf_", "late"})) << "run " << run;
    }
}

} // namespace
