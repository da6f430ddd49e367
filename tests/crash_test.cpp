// The program killed with SIGKILL at moments spread over a whole run of a
// large restore: the live file is always the whole old or the whole new
// content, the stored copy never changes, and anything left behind is a
// hidden temporary file that a later run does not mistake for the live one.
#include "support.h"

#include <cstring>
#include <iostream>

namespace {

using namespace support;
using Clock = std::chrono::steady_clock;

pid_t start(const fs::path &dir)
{
    const char *prog = program();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execl(prog, prog, static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// Whether a stopped process holds a temporary file it is still building: an
// unnamed one shows as "#inode (deleted)", a named one by its hidden name.
bool building_temporary(pid_t pid)
{
    std::error_code ec;
    for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (target.find("/#") != std::string::npos || target.find("/.idapi32.cfg.") != std::string::npos)
            return true;
    }
    return false;
}

bool same_content(const fs::path &p, const std::string &want)
{
    std::error_code ec;
    return fs::file_size(p, ec) == want.size() && !ec && get(p) == want;
}

TEST(Crash, KilledAtAnyMomentTheLiveFileIsWholeOldOrWholeNew)
{
    TempDir dir;
    const std::string stored = bytes(size_t{256} << 20, 21), old = bytes((1 << 20) + 17, 22);
    put(dir / "idapi32.cf_", stored);
    const fs::path live = dir / "idapi32.cfg";

    // Runs that finish, timed only to spread the kills over a whole run.
    std::vector<Clock::duration> whole;
    for (int i = 0; i < 3; ++i) {
        put(live, old);
        const auto t0 = Clock::now();
        const Outcome o = run_program(dir.path());
        whole.push_back(Clock::now() - t0);
        expect_quiet_success(o, "finishing run " + std::to_string(i));
        ASSERT_TRUE(same_content(live, stored)) << "finishing run " << i;
    }
    std::sort(whole.begin(), whole.end());
    const auto span = whole[1];

    const int kills = 60;
    int before = 0, during = 0, after = 0, finished_runs = 0, torn = 0, stored_changed = 0, leftovers = 0;
    for (int i = 0; i < kills; ++i) {
        put(live, old);
        const pid_t pid = start(dir.path());
        // From just after the start to a little past a quiet run's end, as
        // runs back to back are slower.
        std::this_thread::sleep_for(span * (0.01 + 1.2 * i / (kills - 1)));
        // Stop it first, to see what it was doing at the moment it dies.
        kill(pid, SIGSTOP);
        int status = 0;
        waitpid(pid, &status, WUNTRACED);
        const bool finished = WIFEXITED(status);
        const bool building = !finished && building_temporary(pid);
        if (!finished) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        const bool is_new = same_content(live, stored);
        const bool is_old = !is_new && same_content(live, old);
        if (!is_new && !is_old)
            ++torn;
        else if (is_new)
            ++(finished ? finished_runs : after);
        else
            ++(building ? during : before);
        if (!same_content(dir / "idapi32.cf_", stored))
            ++stored_changed;
        for (const std::string &name : entries(dir.path())) {
            if (name == "idapi32.cf_" || name == "idapi32.cfg")
                continue;
            ++leftovers;
            EXPECT_EQ(name.rfind(".idapi32.cfg.", 0), 0u) << "not a hidden temporary: " << name;
        }
    }
    std::cout << kills << " kills: " << before << " before the copy began, " << during
              << " while it was in flight, " << after << " after the rename, " << finished_runs
              << " after the run had finished; " << torn
              << " torn live files, " << leftovers << " hidden leftovers\n";
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(stored_changed, 0);
    EXPECT_GT(during, 0) << "no kill caught the copy in flight";

    // Whatever was left, the next run restores the live file properly.
    put(live, old);
    const Outcome o = run_program(dir.path());
    expect_quiet_success(o, "run after the kills");
    EXPECT_TRUE(same_content(live, stored));
}

} // namespace
