// Several instances started at the same moment in one folder, again and
// again: the live file always ends as a whole copy and nothing is left.
#include "support.h"

namespace {

using namespace support;

TEST(Concurrent, SimultaneousRunsLeaveOneWholeCopyAndNoTemporaries)
{
    Scratch dir;
    const std::string stored = bytes(1 << 20, 31), old = bytes(512 << 10, 32);
    put(dir / "idapi32.cf_", stored);
    const int rounds = 25, instances = 4;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0)
            put(dir / "idapi32.cfg", old);
        else
            fs::remove(dir / "idapi32.cfg");
        // All wait on one pipe and start when it closes.
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> pids;
        pids.reserve(instances);
        support::Run wait_for_gate;
        wait_for_gate.before = [&gate] {
            close(gate[1]);
            char c;
            (void)read(gate[0], &c, 1);
        };
        for (int i = 0; i < instances; ++i)
            pids.push_back(spawn(dir.path(), wait_for_gate));
        close(gate[0]);
        close(gate[1]);
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        ASSERT_TRUE(get(dir / "idapi32.cfg") == stored) << "round " << round;
        ASSERT_EQ(entries(dir.path()), (Names{"idapi32.cf_", "idapi32.cfg"})) << "round " << round;
    }
}

} // namespace
