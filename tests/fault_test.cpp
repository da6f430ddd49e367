// The program under strace, which makes each system call of a run fail in
// turn, return early, or kill it, at every call in trace order:
// - a failed call before the new file is published leaves the old one (a few
//   calls are meant to be worked around; they must give the whole new one),
//   and one after it leaves the new one;
// - a kill at any call leaves the whole old or the whole new file, and a
//   hidden temporary file only between naming it and the rename.
// Each run exits 0 without a word, the stored copy never changes, and
// nothing else is left in the folder.
#include "support.h"

#include <set>

namespace {

using namespace support;

struct Scenario {
    const char *name;
    bool live_exists = true;
    bool linked = false;  // the live file has a second name: written in place
    bool named = false;   // no unnamed temporary files (O_TMPFILE refused)
    bool by_hand = false; // copy_file_range refused: the read/write loop
    bool by_link = false; // no RENAME_NOREPLACE: a second name, then the first removed
};

const std::vector<Scenario> kScenarios = {
    {"replace"},
    {"create", false},
    {"replace with a named temporary", true, false, true},
    {"create with a named temporary", false, false, true},
    {"create by link and unlink", false, false, true, false, true},
    {"replace copying by hand", true, false, false, true},
    {"write in place", true, true},
};

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class Scenarios : public ::testing::TestWithParam<Scenario> {};
INSTANTIATE_TEST_SUITE_P(Faults, Scenarios, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return test_id(info.param.name); });

const std::string kStored = bytes((256 << 10) + 333, 11), kOld = bytes(4000, 12);

std::string content_of(const fs::path &p) { return holds(p, {{"new", kStored}, {"old", kOld}}); }

// A scenario set up in a folder, with what its trace says about it.
struct Prepared {
    std::vector<std::string> base; // injections the scenario itself needs
    int tmpfile_open = 0;          // which openat made the unnamed file
    std::vector<Call> calls;
    long publish = -1; // the call that puts the new file under the live name
};

void setup(const Scenario &s, const fs::path &dir)
{
    put(dir / "idapi32.cf_", kStored);
    if (s.live_exists)
        put(dir / "idapi32.cfg", kOld);
    if (s.linked)
        fs::create_hard_link(dir / "idapi32.cfg", dir / "other.cfg");
}

// What a run left besides the stored copy, the live file and its second name.
Names leftovers(const Scenario &s, const fs::path &dir)
{
    Names all = entries(dir);
    std::erase_if(all, [&](const std::string &n) { return n == "idapi32.cf_" || n == "idapi32.cfg" || (s.linked && n == "other.cfg"); });
    return all;
}

Prepared prepare(const Scenario &s)
{
    Prepared p;
    if (s.by_hand)
        p.base.emplace_back("inject=copy_file_range:error=EXDEV");
    if (s.by_link)
        p.base.emplace_back("inject=renameat2:error=EINVAL");
    const auto traced = [&] {
        Scratch dir;
        setup(s, dir.path());
        const Outcome o = run_program(dir.path(), {p.base, (dir / "trace").string()});
        expect_quiet_success(o, std::string(s.name) + ": trace run");
        EXPECT_EQ(content_of(dir / "idapi32.cfg"), "new") << s.name << ": trace run";
        return copy_calls(dir / "trace");
    };
    if (s.named)
        p.tmpfile_open = refuse_unnamed(p.base, traced);
    p.calls = traced();
    p.publish = s.linked        ? find_call(p.calls, "^(copy_file_range|pwrite64)\\(")
                : s.live_exists ? find_call(p.calls, R"(^renameat\(.*"idapi32\.cfg")")
                : s.by_link     ? find_call(p.calls, R"(^unlinkat\(.*"\.idapi32\.cfg\.)")
                                : find_call(p.calls, R"(^(linkat|renameat2)\(.*"idapi32\.cfg")");
    EXPECT_GE(p.publish, 0) << s.name << ": no publishing call in the trace";
    return p;
}

// Refusals of real machines, held for every call, that the copy works around:
// a filesystem without a feature, a seccomp filter (EPERM), an old kernel.
const std::multimap<std::string, std::string> kRefused = {
    {"copy_file_range", "error=EOPNOTSUPP"}, {"copy_file_range", "error=EPERM"}, {"copy_file_range", "error=ENOSYS"},
    {"copy_file_range", "error=EBADF"},
    {"flistxattr", "error=EOPNOTSUPP"}, {"fallocate", "error=EOPNOTSUPP"}, {"renameat2", "error=EINVAL"},
    {"renameat", "error=EPERM"}, {"linkat", "error=ENOENT"}, {"fchown", "error=EPERM"}, {"fchmod", "error=EPERM"},
    {"fchmod", "error=EOPNOTSUPP"}, {"fsetxattr", "error=EPERM"}, {"fsync", "error=EINVAL"}};
bool refused(const Call &c, const std::string &how)
{
    if (c.name == "linkat" && c.line.find("AT_EMPTY_PATH") == std::string::npos)
        return false; // a named file's link needs no right of its own
    const auto [from, to] = kRefused.equal_range(c.name);
    return std::any_of(from, to, [&how](const auto &r) { return r.second == how; });
}

// The injections for tampering with one call, on top of the scenario's own;
// strace keeps one a call, so a second openat is a step from the first.
std::vector<std::string> injections(const Prepared &p, const Call &c, const std::string &how)
{
    std::vector<std::string> all;
    std::copy_if(p.base.begin(), p.base.end(), std::back_inserter(all),
                 [&c](const std::string &b) { return b.rfind("inject=" + c.name + ":", 0) != 0; });
    std::string when = std::to_string(c.nth);
    if (c.name == "openat" && p.tmpfile_open > 0 && c.nth != p.tmpfile_open) {
        const int a = std::min(c.nth, p.tmpfile_open), b = std::max(c.nth, p.tmpfile_open);
        when = std::to_string(a) + "+" + std::to_string(b - a);
    } else if (how == "retval=0" || refused(c, how)) {
        when += "+"; // a filesystem that keeps at it, not just once
    }
    all.push_back("inject=" + c.name + ":" + how + ":when=" + when);
    return all;
}

// The sanitizer's allocator cannot do without memory, asked for unevenly.
constexpr bool kSanitized = CFGRESTORE_SANITIZED;
bool memory_call(const Call &c) { return c.name == "brk" || c.name == "mmap" || c.name == "munmap"; }

// How each call can really fail, or end early.
std::vector<std::string> faults_for(const Call &c)
{
    static const std::set<std::string> cannot_fail = {"getpid", "geteuid", "getuid", "getgid", "getegid"};
    if (cannot_fail.count(c.name) != 0)
        return {};
    if (c.name == "copy_file_range" || c.name == "pwrite64")
        return {"error=EIO", "error=ENOSPC", "error=EINTR", "retval=0"};
    if (c.name == "fsync")
        return {"error=EIO", "error=ENOSPC", "error=EINTR"};
    if (c.name == "pread64")
        return {"error=EIO", "error=EINTR", "retval=0"};
    if (c.name == "linkat" || c.name == "renameat" || c.name == "renameat2" || c.name == "fallocate" ||
        (c.name == "openat" && c.line.find("O_CREAT") != std::string::npos))
        return {"error=EIO", "error=ENOSPC"};
    if (memory_call(c))
        return kSanitized ? std::vector<std::string>{} : std::vector<std::string>{"error=ENOMEM"};
    return {"error=EIO"};
}

// Failures the copy works around, so the new file still arrives: a retried
// interruption, a best-effort call, an unnamed file or kernel copy refused,
// a refusal above.
bool worked_around(const Call &c, const std::string &how)
{
    return how == "error=EINTR" || c.name == "ioctl" || c.name == "prlimit64" || c.name == "close" ||
           memory_call(c) || // memory: malloc falls back to the other
           (c.name == "openat" && c.line.find("O_TMPFILE") != std::string::npos) ||
           (c.name == "copy_file_range" && how == "retval=0") || refused(c, how);
}

TEST_P(Scenarios, EveryFailedCallLeavesTheOldFileBeforePublishingAndTheNewAfter)
{
    REQUIRE(have_strace(), "strace (package strace)");
    int runs = 0;
    const Scenario &s = GetParam();
    const Prepared p = prepare(s);
    for (size_t k = 0; k < p.calls.size(); ++k) {
        const Call &c = p.calls[k];
        if ((s.by_hand && c.name == "copy_file_range") || (s.named && c.nth == p.tmpfile_open))
            continue; // already refused, for the whole scenario
        std::vector<std::string> hows = faults_for(c);
        for (auto [r, end] = kRefused.equal_range(c.name); r != end && c.nth == 1; ++r)
            hows.push_back(r->second); // held from the first
        for (const std::string &how : hows) {
            const std::string what = std::string(s.name) + ": call " + std::to_string(k + 1) + " " + c.name + " #" +
                                     std::to_string(c.nth) + " " + how;
            Scratch dir;
            setup(s, dir.path());
            const Outcome o = run_program(dir.path(), {injections(p, c, how)});
            ++runs;
            expect_quiet_success(o, what);
            EXPECT_EQ(content_of(dir / "idapi32.cf_"), "new") << what << ": stored copy";
            // New after publishing or where the failure is worked around, else old; written in
            // place, the write that publishes may have begun, and once it has either may stay.
            const auto at = static_cast<long>(k);
            const bool worked = worked_around(c, how), either = s.linked && (at > p.publish || (at == p.publish && !worked));
            const std::string want = at > p.publish || worked ? "new" : s.live_exists ? "old" : "absent";
            EXPECT_TRUE(either || content_of(dir / "idapi32.cfg") == want) << what << ": not " << want;
            EXPECT_EQ(leftovers(s, dir.path()), Names{}) << what;
            EXPECT_TRUE(!s.linked || same_bytes(get(dir / "other.cfg"), get(dir / "idapi32.cfg"))) << what;
        }
    }
    EXPECT_GT(runs, 10) << "injected faults";
}

TEST_P(Scenarios, KilledAtEveryCallTheLiveFileIsWholeAndLeftoversOnlyBetweenNamingAndRename)
{
    REQUIRE(have_strace(), "strace (package strace)");
    const Scenario &s = GetParam();
    const Prepared p = prepare(s);
    // Between naming the temporary file and renaming it, a kill leaves it.
    const long named = find_call(p.calls, R"(^(linkat|openat)\(.*"\.idapi32\.cfg\.)");
    for (size_t k = 0; k < p.calls.size(); ++k) {
        const Call &c = p.calls[k];
        if (kSanitized && memory_call(c))
            continue;
        const std::string where = std::string(s.name) + ": kill at " + std::to_string(k + 1) + " " + c.name;
        Scratch dir;
        setup(s, dir.path());
        const Outcome o = run_program(dir.path(), {injections(p, c, "signal=KILL")});
        EXPECT_EQ(o.status, -SIGKILL) << where;
        EXPECT_EQ(content_of(dir / "idapi32.cf_"), "new") << where;
        const std::string live = content_of(dir / "idapi32.cfg");
        EXPECT_TRUE((s.linked && static_cast<long>(k) > p.publish) || live == "old" || live == "new" ||
                    (!s.live_exists && live == "absent")) << where << ": " << live;
        const Names extra = leftovers(s, dir.path());
        const bool named_yet = named >= 0 && static_cast<long>(k) > named && static_cast<long>(k) <= p.publish;
        EXPECT_TRUE(extra.empty() || (named_yet && extra.size() == 1 && extra[0].rfind(".idapi32.cfg.", 0) == 0))
            << where << ": " << extra.size() << " left";
        // Whatever a kill left, the next run restores the live file.
        expect_quiet_success(run_program(dir.path()), where + ", the run after");
        EXPECT_EQ(content_of(dir / "idapi32.cfg"), "new") << where << ", the run after";
    }
}

TEST(Faults, AFileSwappedAfterItsCheckIsNeitherWaitedOnNorCopiedNorReplaced)
{
    REQUIRE(have_strace(), "strace (package strace), to stop the run part way");
    // Stopped once the stored copy is found and opened as a path, before it
    // is known to be a regular file; it is then swapped for a FIFO nobody
    // writes or a link to an endless device. Or the live file is, once
    // found, swapped for a read-only one. The files found are the ones used.
    const Prepared p = prepare(kScenarios[0]);
    for (const std::string swap : {"fifo", "link to a device", "read-only live file"}) {
        Scratch dir;
        setup(kScenarios[0], dir.path());
        support::Run how;
        const bool live = swap == "read-only live file";
        const long look = find_call(p.calls, R"(^newfstatat\(\d+, "")", live ? find_call(p.calls, R"("idapi32\.cfg")") : 0);
        ASSERT_GE(look, 0);
        how.strace = {"inject=newfstatat:signal=STOP:when=" + std::to_string(p.calls[static_cast<size_t>(look)].nth)};
        how.trace = (dir / "trace").string();
        how.limit = std::chrono::seconds(10);
        how.while_stopped = [&] {
            if (live) {
                put(dir / "theirs", "theirs");
                EXPECT_EQ(chmod((dir / "theirs").c_str(), 0444), 0);
                fs::create_hard_link(dir / "theirs", dir / "swapped");
                return fs::rename(dir / "swapped", dir / "idapi32.cfg");
            }
            fs::remove(dir / "idapi32.cf_");
            if (swap == "fifo")
                ASSERT_EQ(mkfifo((dir / "idapi32.cf_").c_str(), 0644), 0);
            else
                ASSERT_EQ(device(dir / "zero") + symlink("zero", (dir / "idapi32.cf_").c_str()), 0);
        };
        const Outcome o = run_program(dir.path(), how);
        expect_quiet_success(o, swap);
        EXPECT_TRUE(same_bytes(get(dir / "idapi32.cfg"), kStored)) << swap;
        fs::remove(dir / "trace");
        Names want = {"idapi32.cf_", "idapi32.cfg"};
        if (swap != "fifo")
            want.emplace_back(live ? "theirs" : "zero");
        EXPECT_EQ(entries(dir.path()), want) << swap;
        EXPECT_TRUE(!live || same_bytes(get(dir / "theirs"), "theirs")) << "the read-only file written";
    }
}

} // namespace
