// The program run on odd stored copies, odd live names and odd working
// directories. Every row writes out the end state of each name it touches;
// every run exits 0 without a word, and nothing else appears.
#include "support.h"

#include <cstring>
#include <iostream>

#include <sys/socket.h>
#include <sys/un.h>

namespace {

using namespace support;

const std::string kNew = "[stored]\r\ncolour=blue\r\n", kOld = "[live]\r\nedited by hand\r\n";

// A name's state, as rows write it out.
std::string state(const fs::path &p)
{
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0)
        return "absent";
    if (S_ISDIR(st.st_mode))
        return "dir";
    if (S_ISFIFO(st.st_mode))
        return "fifo";
    if (S_ISSOCK(st.st_mode))
        return "socket";
    if (S_ISLNK(st.st_mode))
        return "link to " + fs::read_symlink(p).string();
    const std::string content = get(p);
    std::string s = content == kNew   ? "file NEW"
                    : content == kOld ? "file OLD"
                    : content.empty() ? "file empty"
                                      : "file of " + std::to_string(content.size()) + " other bytes";
    if ((st.st_mode & 0222) == 0)
        s += " read-only";
    return s;
}

void file(const fs::path &p, const std::string &content, mode_t mode = 0644)
{
    put(p, content);
    ASSERT_EQ(chmod(p.c_str(), mode), 0);
}

void socket_at(const fs::path &p)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, p.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(fd); // the name stays
}

// Runs as an unprivileged user; meaningful only when started as root.
void drop_privileges()
{
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        _exit(125);
}

struct Row {
    const char *name;
    std::function<void(const fs::path &)> setup;
    std::vector<std::pair<std::string, std::string>> expect; // name -> end state
    std::string cwd = ".";                                    // where it runs, inside the row
    std::function<void(const fs::path &)> before = {};       // in the child, before exec
};

TEST(BadInput, EveryOddInputEndsQuietlyWithTheStatesWrittenOut)
{
    const bool root = geteuid() == 0;
    const std::vector<Row> rows = {
        {"no stored copy", [](auto &d) { file(d / "idapi32.cfg", kOld); },
         {{"idapi32.cf_", "absent"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy empty",
         [](auto &d) {
             file(d / "idapi32.cf_", "");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "file empty"}, {"idapi32.cfg", "file empty"}}},
        {"stored copy read-only, no live file", [](auto &d) { file(d / "idapi32.cf_", kNew, 0444); },
         {{"idapi32.cf_", "file NEW read-only"}, {"idapi32.cfg", "file NEW read-only"}}},
        {"stored copy a directory",
         [](auto &d) {
             fs::create_directory(d / "idapi32.cf_");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "dir"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy a FIFO, which must not hang",
         [](auto &d) {
             ASSERT_EQ(mkfifo((d / "idapi32.cf_").c_str(), 0644), 0);
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "fifo"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy a socket",
         [](auto &d) {
             socket_at(d / "idapi32.cf_");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "socket"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy a link to /dev/zero",
         [](auto &d) {
             fs::create_symlink("/dev/zero", d / "idapi32.cf_");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "link to /dev/zero"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy a dangling link",
         [](auto &d) {
             fs::create_symlink("nowhere", d / "idapi32.cf_");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "link to nowhere"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy a link loop",
         [](auto &d) {
             fs::create_symlink("idapi32.cf_", d / "idapi32.cf_");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "link to idapi32.cf_"}, {"idapi32.cfg", "file OLD"}}},
        {"live name a directory",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             fs::create_directory(d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "dir"}}},
        {"live name a FIFO",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             ASSERT_EQ(mkfifo((d / "idapi32.cfg").c_str(), 0644), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "fifo"}}},
        {"live file read-only",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld, 0444);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file OLD read-only"}}},
        {"live name a link to a read-only file",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "target.cfg", kOld, 0444);
             fs::create_symlink("target.cfg", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "link to target.cfg"},
          {"target.cfg", "file OLD read-only"}}},
        {"live name a link to a writable file",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "target.cfg", kOld);
             fs::create_symlink("target.cfg", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "link to target.cfg"},
          {"target.cfg", "file NEW"}}},
        {"live name a link to the stored copy",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             fs::create_symlink("idapi32.cf_", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "link to idapi32.cf_"}}},
        // The live name is replaced, not written through: the other name
        // keeps what it had.
        {"live file a hard link shared with another name",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
             fs::create_hard_link(d / "idapi32.cfg", d / "other.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}, {"other.cfg", "file OLD"}}},
        {"live file a hard link to the stored copy",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             fs::create_hard_link(d / "idapi32.cf_", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}},
        {"working directory not writable",
         [root](auto &d) {
             fs::create_directory(d / "locked");
             file(d / "locked/idapi32.cf_", kNew);
             file(d / "locked/idapi32.cfg", kOld, 0666);
             ASSERT_EQ(chmod((d / "locked").c_str(), root ? 0755 : 0555), 0);
             ASSERT_EQ(chmod(d.c_str(), 0755), 0);
         },
         {{"locked/idapi32.cf_", "file NEW"}, {"locked/idapi32.cfg", "file OLD"}, {"locked", "dir"}},
         "locked", [](auto &) { drop_privileges(); }},
        {"stored copy the caller may not read",
         [root](auto &d) {
             file(d / "idapi32.cf_", kNew, root ? 0600 : 0200);
             file(d / "idapi32.cfg", kOld, 0666);
             ASSERT_EQ(chmod(d.c_str(), 0777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file OLD"}}, ".",
         [](auto &) { drop_privileges(); }},
        {"working directory deleted while the program runs",
         [](auto &d) {
             fs::create_directory(d / "gone");
             file(d / "gone/idapi32.cf_", kNew);
             file(d / "gone/idapi32.cfg", kOld);
         },
         {{"gone", "absent"}}, "gone",
         [](const fs::path &d) {
             // Already inside it: empty it and remove it under our feet.
             unlink((d / "gone/idapi32.cf_").c_str());
             unlink((d / "gone/idapi32.cfg").c_str());
             if (rmdir((d / "gone").c_str()) != 0)
                 _exit(124);
         }},
        {"names that differ only in case",
         [](auto &d) {
             file(d / "IDAPI32.CF_", kNew);
             file(d / "Idapi32.Cfg", kOld);
         },
         {{"IDAPI32.CF_", "file NEW"}, {"Idapi32.Cfg", "file OLD"}, {"idapi32.cf_", "absent"},
          {"idapi32.cfg", "absent"}}},
    };

    for (const Row &row : rows) {
        TempDir top;
        const fs::path &d = top.path();
        row.setup(d);
        const Outcome o = run_program(d / row.cwd, {}, std::chrono::seconds(10),
                                      [&] { if (row.before) row.before(d); });
        expect_quiet_success(o, row.name);
        Names present;
        for (const auto &[name, want] : row.expect) {
            EXPECT_EQ(state(d / name), want) << row.name << ": " << name;
            if (want != "absent" && name.find('/') == std::string::npos)
                present.push_back(name);
        }
        std::sort(present.begin(), present.end());
        EXPECT_EQ(entries(d), present) << row.name << ": nothing else may appear";
        if (fs::is_directory(d / row.cwd) && row.cwd != ".") {
            Names inside;
            for (const auto &[name, want] : row.expect)
                if (name.rfind(row.cwd + "/", 0) == 0 && want != "absent")
                    inside.push_back(name.substr(row.cwd.size() + 1));
            std::sort(inside.begin(), inside.end());
            EXPECT_EQ(entries(d / row.cwd), inside) << row.name << ": nothing else may appear";
        }
    }
    std::cout << rows.size() << " rows\n";
}

} // namespace
