// Helpers the tests share, each written once: test bytes and files, a
// folder's snapshot, a row's name as a test's, CI's rule for a missing tool,
// scratch folders, another user, and the program run (under strace or not)
// with its trace read.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <csignal>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

inline std::string bytes(size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    std::generate(s.begin(), s.end(), [&gen] { return static_cast<char>(gen()); });
    return s;
}

inline void put(const fs::path &p, const std::string &content)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

inline std::string get(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary | std::ios::ate);
    std::string s(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

// Whether two contents are the same, saying how they differ without showing
// either: sizes, hashes and the first differing offset.
inline ::testing::AssertionResult same_bytes(const std::string &got, const std::string &want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    const auto at = std::mismatch(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(std::min(got.size(), want.size())),
                                  want.begin()).first - got.begin();
    const std::hash<std::string> hash;
    return ::testing::AssertionFailure()
           << got.size() << " bytes (hash " << hash(got) % 1000000 << ") where " << want.size()
           << " (hash " << hash(want) % 1000000 << ") were expected, first differing at offset " << at;
}

// Which of the known contents a file holds, "absent", or "other" with its
// size and a hash: old, new or torn, without showing either.
inline std::string holds(const fs::path &p, const std::map<std::string, std::string> &known)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(p, ec)))
        return "absent";
    const std::string c = get(p);
    for (const auto &[name, content] : known)
        if (c == content)
            return name;
    return "other: " + std::to_string(c.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(c) % 100000);
}

// What a folder holds, sorted, so leftovers show.
inline Names entries(const fs::path &where = ".")
{
    Names names;
    std::transform(fs::directory_iterator(where), fs::directory_iterator(), std::back_inserter(names),
                   [](const fs::directory_entry &e) { return e.path().filename().string(); });
    std::sort(names.begin(), names.end());
    return names;
}

// Every name under a folder, by its path there, links not followed, with
// what `describe` says of it; two looks compare: "nothing else changed".
using Snapshot = std::map<std::string, std::string>;
inline Snapshot snapshot(const fs::path &where, const std::function<std::string(const fs::path &)> &describe,
                         const std::string &prefix = "")
{
    Snapshot all;
    for (const std::string &name : entries(where / prefix)) {
        all[prefix + name] = describe(where / prefix / name);
        if (fs::is_directory(fs::symlink_status(where / prefix / name)))
            all.merge(snapshot(where, describe, prefix + name + "/"));
    }
    return all;
}

// Everything about a name that a copy could change.
inline std::string status_of(const fs::path &p)
{
    struct stat st {};
    lstat(p.c_str(), &st);
    std::string out = "mode " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                      std::to_string(st.st_gid) + " links " + std::to_string(st.st_nlink) + " size " +
                      std::to_string(st.st_size) + " blocks " + std::to_string(st.st_blocks) + " time " +
                      std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode) && access(p.c_str(), R_OK) == 0)
        out += " hash " + std::to_string(std::hash<std::string>()(get(p)) % 1000000);
    return S_ISLNK(st.st_mode) ? out + " to " + fs::read_symlink(p).string() : out;
}

// A file's extended attributes, access lists included: each name with a
// hash of its value, sorted, so two files compare as strings.
inline std::string xattrs(const fs::path &p)
{
    std::string list(65536, '\0'), value(65536, '\0');
    list.resize(static_cast<size_t>(std::max<ssize_t>(listxattr(p.c_str(), list.data(), list.size()), 0)));
    std::map<std::string, size_t> all;
    for (size_t at = 0; at < list.size(); at += strlen(&list[at]) + 1) {
        const ssize_t n = getxattr(p.c_str(), &list[at], value.data(), value.size());
        all[&list[at]] = std::hash<std::string>()(value.substr(0, n > 0 ? static_cast<size_t>(n) : 0));
    }
    std::string out;
    for (const auto &[name, hash] : all)
        out += name + "(" + std::to_string(hash % 100000) + ") ";
    return out;
}

// A table row's name as a test's: letters and digits, the rest underscores.
inline std::string test_id(std::string name)
{
    std::replace_if(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) == 0; }, '_');
    return name;
}

inline bool in_ci()
{
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// A test that needs what this machine lacks skips, except in CI where a skip
// would hide that the property went unchecked.
#define REQUIRE(cond, why)                                                                  \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            if (support::in_ci())                                                           \
                FAIL() << "needs " << (why);                                                  \
            GTEST_SKIP() << "needs " << (why);                                                \
        }                                                                                   \
    } while (0)

// A fresh scratch folder, removed again with everything in it.
class Scratch {
public:
    Scratch()
    {
        std::string tmpl = (fs::temp_directory_path() / "cfgrestore.XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~Scratch()
    {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(path_, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    [[nodiscard]] const fs::path &path() const { return path_; }
    fs::path operator/(const std::string &name) const { return path_ / name; }

private:
    fs::path path_;
};

constexpr uid_t kNobody = 65534;

// Runs as the user nobody (group nogroup), where started as root.
inline void drop_privileges()
{
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        _exit(125);
}

// A device of the test's own, never one of the machine's: an endless one
// (as /dev/zero) where the test may make devices (root), else a FIFO. 0 or -1.
inline int device(const fs::path &p) { return geteuid() == 0 ? mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 5)) : mkfifo(p.c_str(), 0666); }

// Sets or clears the append-only flag, as chattr +a / -a does.
inline bool append_only(const fs::path &p, bool on)
{
    const int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    const bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL,
                     ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    close(fd);
    return ok;
}

#ifdef CFGRESTORE_PROGRAM
// A program copied, once, to a place every user can reach: the build may lie
// under a folder that an unprivileged case cannot enter.
inline std::string reachable(const fs::path &program)
{
    static const Scratch dir;
    ::chmod(dir.path().c_str(), 0755);
    const fs::path copy = dir / program.filename().string();
    if (!fs::exists(copy) && fs::copy_file(program, copy))
        ::chmod(copy.c_str(), 0755);
    return copy.string();
}

// The program under test, where every user can reach it.
inline const char *program()
{
    static const std::string path = reachable(CFGRESTORE_PROGRAM);
    return path.c_str();
}

struct Outcome {
    int status = -1; // exit status, or -signal
    bool timed_out = false;
    std::string out, err;
    long peak_kib = 0; // the largest resident set of the run, tracer included
};

// How to run the program. With `strace` options (or a `trace` file) under
// strace, which can make any call fail, return early or kill: the one way
// these tests tamper.
struct Run {
    std::vector<std::string> strace = {}; // e.g. "inject=fsync:error=EIO:when=1"
    std::string trace = {};               // where strace writes the calls
    std::function<void()> before = {};    // in the child, just before exec
    std::chrono::seconds limit = std::chrono::seconds(30); // a hang is a failure
    std::vector<std::string> command = {}; // instead of the program, with arguments
    // With an injected SIGSTOP: called once the run has stopped.
    std::function<void()> while_stopped = {};
};

inline bool have_strace() { return access("/usr/bin/strace", X_OK) == 0; }

// Starts the program (or the run's command) in `cwd`, as `run` says, with
// its output to `out` and `err` (-1: nowhere), and returns its process.
inline pid_t spawn(const fs::path &cwd, const Run &run = {}, int out = -1, int err = -1)
{
    std::vector<std::string> args;
    if (!run.strace.empty() || !run.trace.empty()) {
        args = {"/usr/bin/strace", "-qq", "-o", run.trace.empty() ? "/dev/null" : run.trace};
        for (const std::string &opt : run.strace)
            args.insert(args.end(), {"-e", opt});
        args.emplace_back("--");
    }
    if (run.command.empty())
        args.emplace_back(program());
    else
        args.insert(args.end(), run.command.begin(), run.command.end());
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string &a) { return a.data(); });
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0), dup2(out >= 0 ? out : null, 1), dup2(err >= 0 ? err : null, 2);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        // LeakSanitizer cannot work under a tracer, and says so.
        if (args[0] == "/usr/bin/strace") {
            const char *asan = std::getenv("ASAN_OPTIONS");
            setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        }
        if (run.before)
            run.before();
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs the program in `cwd`, killed if still running after the limit.
inline Outcome run_program(const fs::path &cwd, const Run &run = {})
{
    Outcome o;
    char out_name[] = "/tmp/cfgrestore-out.XXXXXX", err_name[] = "/tmp/cfgrestore-err.XXXXXX";
    const int out = mkstemp(out_name), err = mkstemp(err_name);
    const pid_t pid = spawn(cwd, run, out, err);
    const auto deadline = std::chrono::steady_clock::now() + run.limit;
    int status = 0;
    rusage use{};
    bool stopped = false;
    while (wait4(pid, &status, WNOHANG, &use) == 0) {
        // strace says so in its trace when the run has stopped.
        if (run.while_stopped && !stopped &&
            get(run.trace).find("--- stopped by SIGSTOP ---") != std::string::npos) {
            stopped = true;
            run.while_stopped();
            pid_t child = -1; // the process strace started
            std::ifstream("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children") >> child;
            kill(child, SIGCONT);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            o.timed_out = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &use);
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    o.peak_kib = use.ru_maxrss;
    for (const auto &[name, fd, to] : {std::tuple{out_name, out, &o.out}, {err_name, err, &o.err}})
        *to = get(name), close(fd), unlink(name);
    return o;
}

// The program's promise on every run: exit status 0 and not a word.
inline void expect_quiet_success(const Outcome &o, const std::string &what)
{
    EXPECT_FALSE(o.timed_out) << what;
    EXPECT_EQ(o.status, 0) << what;
    EXPECT_EQ(o.out.size(), 0U) << what << ": bytes on stdout";
    EXPECT_EQ(o.err.size(), 0U) << what << ": bytes on stderr";
}

// One system call of a traced run: its name, which call of that name it was
// (as strace's when= counts, from the process's start), and its line.
struct Call {
    std::string name;
    int nth = 0;
    std::string line;
};

// The calls of a trace from the first that names the stored copy: the copy's.
inline std::vector<Call> copy_calls(const fs::path &trace)
{
    std::vector<Call> calls;
    std::map<std::string, int> seen;
    std::ifstream in(trace);
    const std::regex named("^([a-z0-9_]+)\\(");
    std::smatch call;
    for (std::string line; std::getline(in, line);) {
        if (!std::regex_search(line, call, named))
            continue;
        const int nth = ++seen[call[1]];
        if (call[1] != "exit_group" && (!calls.empty() || line.find("\"idapi32.cf_\"") != std::string::npos))
            calls.push_back({call[1], nth, line});
    }
    return calls;
}

// Where a call matching `pattern` is in the calls, or -1.
inline long find_call(const std::vector<Call> &calls, const std::string &pattern, size_t from = 0)
{
    const std::regex re(pattern);
    for (size_t i = from; i < calls.size(); ++i)
        if (std::regex_search(calls[i].line, re))
            return static_cast<long>(i);
    return -1;
}

// A filesystem without unnamed files (O_TMPFILE): the openat that makes one
// in the calls `traced` gives, refused in `strace`. Which it was, or 0.
inline int refuse_unnamed(std::vector<std::string> &strace, const std::function<std::vector<Call>()> &traced)
{
    const std::vector<Call> calls = traced();
    const long at = find_call(calls, "^openat\\(.*O_TMPFILE");
    EXPECT_GE(at, 0) << "the first run made no unnamed file";
    const int nth = at < 0 ? 0 : calls[static_cast<size_t>(at)].nth;
    if (nth > 0)
        strace.push_back("inject=openat:error=EOPNOTSUPP:when=" + std::to_string(nth));
    return nth;
}
#endif

} // namespace support
