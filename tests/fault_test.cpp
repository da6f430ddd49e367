// Every system call the restore makes fails in turn, with the errors real
// disks and filesystems give, through an LD_PRELOAD shim. After each run the
// live file is the old one or the whole new one, the stored copy is as it
// was, nothing is left behind, and the program was quiet and exited 0.
#include "support.h"

#include <cstring>
#include <fstream>
#include <iostream>

namespace {

using namespace support;

struct Scenario {
    const char *name;
    bool live_exists;
    std::vector<std::string> env; // shim switches for the path under test
};

std::vector<std::string> trace_of(const Scenario &s, const fs::path &dir, const fs::path &log)
{
    std::vector<std::string> env = s.env;
    env.emplace_back("LD_PRELOAD=" FAULT_SHIM);
    env.emplace_back("CFGRESTORE_FAULT_LOG=" + log.string());
    const Outcome o = run_program(dir, env);
    expect_quiet_success(o, std::string(s.name) + " trace run");
    std::vector<std::string> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        calls.push_back(line);
    return calls;
}

// The errors each call can really meet; EINTR where a signal can cut it short.
std::vector<int> errors_for(const std::string &call)
{
    if (call == "copy_file_range" || call == "pwrite64")
        return {EIO, ENOSPC, EINTR};
    if (call == "pread64")
        return {EIO, EINTR};
    if (call == "fsync")
        return {EIO, ENOSPC, EINTR};
    if (call == "close")
        return {EIO, EINTR};
    if (call == "linkat" || call == "renameat" || call.find(":create") != std::string::npos ||
        call.find(":tmpfile") != std::string::npos || call == "fsetxattr")
        return {EIO, ENOSPC};
    if (call == "fchown" || call == "fchmod")
        return {EIO, EPERM};
    return {EIO};
}

// Calls a signal may interrupt and that are simply made again.
bool retried(const std::string &call, int err)
{
    return err == EINTR && (call == "copy_file_range" || call == "pwrite64" ||
                            call == "pread64" || call == "fsync");
}

TEST(FaultInjection, EveryFailedCallLeavesOldOrWholeNewAndNothingBehind)
{
    const std::string stored = bytes((1 << 20) + 333, 11), old = bytes(4000, 12);
    const std::vector<Scenario> scenarios = {
        {"replace", true, {}},
        {"create", false, {}},
        {"replace with a named temporary", true, {"CFGRESTORE_NO_TMPFILE=1"}},
        {"create with a named temporary", false, {"CFGRESTORE_NO_TMPFILE=1"}},
        {"replace copying by hand", true, {"CFGRESTORE_NO_COPY_RANGE=1"}},
    };
    int runs = 0, kept_old = 0, got_new = 0;
    for (const Scenario &s : scenarios) {
        auto prepare = [&](const TempDir &dir) {
            put(dir / "idapi32.cf_", stored);
            if (s.live_exists)
                put(dir / "idapi32.cfg", old);
        };
        TempDir trace_dir;
        prepare(trace_dir);
        const std::vector<std::string> calls = trace_of(s, trace_dir.path(), trace_dir / "trace");
        ASSERT_EQ(get(trace_dir / "idapi32.cfg"), stored) << s.name;
        // The shim must see the calls that matter, or this test proves nothing.
        for (const char *must : {"copy_file_range", "fsync", s.live_exists ? "renameat" : "close", "close"})
            EXPECT_NE(std::find(calls.begin(), calls.end(), must), calls.end()) << s.name << ": " << must;
        const auto rename_at = std::find(calls.begin(), calls.end(), "renameat") - calls.begin();

        for (size_t k = 0; k < calls.size(); ++k) {
            for (int err : errors_for(calls[k])) {
                const std::string what = std::string(s.name) + ": call " + std::to_string(k + 1) +
                                         " " + calls[k] + " fails with " + std::strerror(err);
                TempDir dir;
                prepare(dir);
                std::vector<std::string> env = s.env;
                env.emplace_back("LD_PRELOAD=" FAULT_SHIM);
                env.emplace_back("CFGRESTORE_FAULT_AT=" + std::to_string(k + 1) + ":" + std::to_string(err));
                const Outcome o = run_program(dir.path(), env);
                ++runs;
                expect_quiet_success(o, what);
                EXPECT_EQ(get(dir / "idapi32.cf_"), stored) << what;
                const bool exists = fs::exists(dir / "idapi32.cfg");
                const std::string live = exists ? get(dir / "idapi32.cfg") : "";
                const bool is_new = exists && live == stored;
                const bool is_old = s.live_exists ? exists && live == old : !exists;
                EXPECT_TRUE(is_new || is_old) << what;
                // Past the rename nothing may take the new file back; an
                // interrupted transfer or flush is made again and completes.
                if (static_cast<long>(k) > rename_at || retried(calls[k], err)) {
                    EXPECT_TRUE(is_new) << what;
                }
                (is_new ? got_new : kept_old) += 1;
                const Names expected = exists ? Names{"idapi32.cf_", "idapi32.cfg"} : Names{"idapi32.cf_"};
                EXPECT_EQ(entries(dir.path()), expected) << what;
            }
        }
    }
    std::cout << runs << " injected faults: " << kept_old << " kept the old live file, " << got_new
              << " put the whole new one in place, none left anything else\n";
    EXPECT_GT(runs, 100);
}

} // namespace
