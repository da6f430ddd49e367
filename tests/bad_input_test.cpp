// The program run on odd stored copies, odd live names and odd working
// directories. Every row writes out the end state of each name it touches;
// every run exits 0 without a word, and nothing else appears.
#include "support.h"

#include <cstring>
#include <iostream>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/xattr.h>

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
    // A file the test's user may not read is read all the same.
    const bool unreadable = access(p.c_str(), R_OK) != 0 && chmod(p.c_str(), st.st_mode | S_IRUSR) == 0;
    const std::string content = get(p);
    if (unreadable)
        chmod(p.c_str(), st.st_mode & 07777);
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

void as_nobody(const fs::path &) { drop_privileges(); }

// A read lease, as a file server holds one; its break notice is ignored.
int leased = -1;
void lease(const fs::path &p)
{
    (void)signal(SIGIO, SIG_IGN);
    leased = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(fcntl(leased, F_SETLEASE, F_RDLCK), 0) << "leases on " << p;
}

void owner(const fs::path &p, uid_t uid, gid_t gid) { ASSERT_EQ(lchown(p.c_str(), uid, gid), 0); }

void limit(int resource, rlim_t value)
{
    const rlimit l{value, value};
    if (setrlimit(resource, &l) != 0)
        _exit(123);
}

// What must stay the same of the live file when it is kept in place (all of
// it, inode too) or replaced (all but the inode and the link count).
std::string identity(const fs::path &p, bool with_inode)
{
    struct stat st {};
    if (stat(p.c_str(), &st) != 0)
        return "absent";
    std::string id = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " mode " +
                     std::to_string(st.st_mode & 07777) + " xattrs " + xattrs(p);
    if (with_inode)
        id += " inode " + std::to_string(st.st_ino) + " links " + std::to_string(st.st_nlink);
    return id;
}

struct Row {
    std::string name;
    std::function<void(const fs::path &)> setup;
    std::vector<std::pair<std::string, std::string>> expect; // name -> end state
    std::string cwd = ".";                                    // where it runs, inside the row
    std::function<void(const fs::path &)> before = {};       // in the child, before exec
    // How the live file in cwd must have been put in place, if it was:
    // "in place" (the same file), "replaced" (a new file like the old one).
    std::string way{};
    bool needs_root = false;
    std::function<void(const fs::path &)> cleanup = {};
};

TEST(BadInput, EveryOddInputEndsQuietlyWithTheStatesWrittenOut)
{
    const bool root = geteuid() == 0;
    std::vector<Row> rows = {
        {"no stored copy", [](auto &d) { file(d / "idapi32.cfg", kOld); },
         {{"idapi32.cf_", "absent"}, {"idapi32.cfg", "file OLD"}}},
        {"stored copy empty",
         [](auto &d) {
             file(d / "idapi32.cf_", "");
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "file empty"}, {"idapi32.cfg", "file empty"}}, ".", {}, "replaced"},
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
        {"live name a link to a FIFO, which must not hang",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             ASSERT_EQ(mkfifo((d / "pipe").c_str(), 0644), 0);
             fs::create_symlink("pipe", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "link to pipe"}, {"pipe", "fifo"}}},
        {"live file under another process's read lease, which must not wait",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
             lease(d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file OLD"}}, ".", {}, "", false,
         [](auto &) { close(leased); }},
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
        {"both names links to regular files, as to a central backup",
         [](auto &d) {
             file(d / "stored.cf", kNew);
             fs::create_symlink("stored.cf", d / "idapi32.cf_");
             file(d / "target.cfg", kOld);
             fs::create_symlink("target.cfg", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "link to stored.cf"}, {"stored.cf", "file NEW"}, {"idapi32.cfg", "link to target.cfg"},
          {"target.cfg", "file NEW"}}},
        {"live name a link to the stored copy",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             fs::create_symlink("idapi32.cf_", d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "link to idapi32.cf_"}}},
        // Written through, as the platform does: every name sees the new content.
        {"live file a hard link shared with another name",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
             fs::create_hard_link(d / "idapi32.cfg", d / "other.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}, {"other.cfg", "file NEW"}}, ".",
         {}, "in place"},
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
         {{"locked/idapi32.cf_", "file NEW"}, {"locked/idapi32.cfg", "file NEW"}, {"locked", "dir"}},
         "locked", as_nobody, "in place"},
        {"live file the caller owns, in a directory it cannot write",
         [](auto &d) {
             fs::create_directory(d / "locked");
             file(d / "locked/idapi32.cf_", kNew);
             file(d / "locked/idapi32.cfg", kOld);
             owner(d / "locked/idapi32.cfg", kNobody, kNobody);
             ASSERT_EQ(chmod(d.c_str(), 0755), 0);
         },
         {{"locked/idapi32.cf_", "file NEW"}, {"locked/idapi32.cfg", "file NEW"}, {"locked", "dir"}},
         "locked", as_nobody, "in place", true},
        {"the caller's file with a group the caller is not in",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld, 0664);
             owner(d / "idapi32.cfg", kNobody, 0);
             ASSERT_EQ(chmod(d.c_str(), 0777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", as_nobody, "in place", true},
        {"another user's file that everyone may write",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld, 0666);
             ASSERT_EQ(chmod(d.c_str(), 0777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", as_nobody, "in place", true},
        {"another user's file in a sticky world-writable directory",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld, 0666);
             ASSERT_EQ(chmod(d.c_str(), 01777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", as_nobody, "in place", true},
        {"another user's file that the caller's group may write",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld, 0660);
             owner(d / "idapi32.cfg", 0, kNobody);
             ASSERT_EQ(chmod(d.c_str(), 0777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", as_nobody, "in place", true},
        {"another user's file with an access list that lets the caller write",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld, 0640);
             const std::string acl = acl_granting_write(kNobody);
             ASSERT_EQ(setxattr((d / "idapi32.cfg").c_str(), "system.posix_acl_access", acl.data(),
                                acl.size(), 0), 0) << "access lists on " << d;
             ASSERT_EQ(chmod(d.c_str(), 0777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", as_nobody, "in place", true},
        {"append-only directory with a live file",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
             ASSERT_TRUE(append_only(d, true)) << "append-only directories on " << d;
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", {}, "in place", true,
         [](auto &d) { append_only(d, false); }},
        {"append-only directory without a live file",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             ASSERT_TRUE(append_only(d, true)) << "append-only directories on " << d;
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", {}, "", true,
         [](auto &d) { append_only(d, false); }},
        {"live file with extended attributes of its own",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
             for (const char *name : {"user.origin", "user.checked"})
                 ASSERT_EQ(setxattr((d / "idapi32.cfg").c_str(), name, name, 6, 0), 0)
                     << "user attributes on " << d;
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".", {}, "replaced"},
        {"file size limit below the stored copy's size",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file OLD"}}, ".",
         [](auto &) { limit(RLIMIT_FSIZE, kNew.size() - 1); }},
        {"file size limit exactly the stored copy's size",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".",
         [](auto &) { limit(RLIMIT_FSIZE, kNew.size()); }, "replaced"},
        {"file size limit exactly the stored copy's size, written in place",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
             fs::create_hard_link(d / "idapi32.cfg", d / "other.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}, {"other.cfg", "file NEW"}}, ".",
         [](auto &) { limit(RLIMIT_FSIZE, kNew.size()); }, "in place"},
        {"a stack of 64 KiB",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / "idapi32.cfg", kOld);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file NEW"}}, ".",
         [](auto &) { limit(RLIMIT_STACK, 64 << 10); }, "replaced"},
        {"live name a link to a file with the longest name there can be",
         [](auto &d) {
             file(d / "idapi32.cf_", kNew);
             file(d / std::string(NAME_MAX, 'n'), kOld);
             fs::create_symlink(std::string(NAME_MAX, 'n'), d / "idapi32.cfg");
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "link to " + std::string(NAME_MAX, 'n')},
          {std::string(NAME_MAX, 'n'), "file NEW"}}, ".", {}, "replaced"},
        {"stored copy the caller may not read",
         [root](auto &d) {
             file(d / "idapi32.cf_", kNew, root ? 0600 : 0200);
             file(d / "idapi32.cfg", kOld, 0666);
             ASSERT_EQ(chmod(d.c_str(), 0777), 0);
         },
         {{"idapi32.cf_", "file NEW"}, {"idapi32.cfg", "file OLD"}}, ".", as_nobody},
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
    // A link is followed only if made by root, the caller or the owner of the
    // file it leads to: nothing else of another's is read out or replaced.
    struct Link { const char *who, *as; uid_t maker, owner; bool theirs, hop, followed; };
    for (const Link &l : std::vector<Link>{{"root", "idapi32.cfg", kNobody, 0, false, false, false},
                                           {"root", "idapi32.cfg", kNobody, 0, true, true, false},
                                           {"root", "idapi32.cf_", kNobody, 0, false, true, false},
                                           {"root", "idapi32.cf_", kNobody, 0, true, false, false},
                                           {"root", "idapi32.cfg", kNobody, kNobody, true, false, true},
                                           {"the user", "idapi32.cfg", 4242, kNobody, false, false, false},
                                           {"the user", "idapi32.cf_", kNobody, 0, false, false, true}}) {
        const bool live = l.as == std::string("idapi32.cfg"), as_root = l.who == std::string("root");
        const std::string other = live ? "idapi32.cf_" : "idapi32.cfg", to = l.hop ? "hop" : "target";
        rows.push_back({"as " + std::string(l.who) + ", uid " + std::to_string(l.maker) + "'s link as " + l.as + " to uid " +
                            std::to_string(l.owner) + "'s file" + (l.hop ? " by root's" : "") + (l.theirs ? ", its folder" : ", 0777"),
                        [=](auto &d) {
                            file(d / "target", live ? kOld : kNew, as_root ? 0600 : 0644);
                            file(d / other, live ? kNew : kOld, 0666);
                            fs::create_symlink(to, d / l.as);
                            fs::create_symlink("target", d / "hop");
                            owner(d / "target", l.owner, l.owner);
                            owner(d / l.as, l.maker, l.maker);
                            ASSERT_EQ(l.theirs ? chown(d.c_str(), l.maker, l.maker) : chmod(d.c_str(), 0777), 0);
                        },
                        {{l.as, "link to " + to}, {"hop", "link to target"}, {"target", live && !l.followed ? "file OLD" : "file NEW"},
                         {other, live || l.followed ? "file NEW" : "file OLD"}}, ".",
                        as_root ? std::function<void(const fs::path &)>{} : as_nobody, l.followed && as_root ? "replaced" : "", true});
    }

    int skipped = 0;
    for (const Row &row : rows) {
        if (row.needs_root && !root) {
            if (in_ci())
                ADD_FAILURE() << row.name << ": needs root, to act as another user";
            ++skipped;
            continue;
        }
        TempDir top;
        const fs::path &d = top.path();
        row.setup(d);
        if (::testing::Test::HasFatalFailure())
            return;
        std::error_code ec;
        const fs::path live = fs::weakly_canonical(d / row.cwd / "idapi32.cfg", ec);
        const std::string kept = identity(live, true), like = identity(live, false);
        support::Run how;
        how.before = [&] {
            if (row.before)
                row.before(d);
        };
        how.limit = std::chrono::seconds(10);
        const Outcome o = run_program(d / row.cwd, how);
        expect_quiet_success(o, row.name);
        if (row.way == "in place") {
            EXPECT_EQ(identity(live, true), kept) << row.name << ": not the same file";
        }
        if (row.way == "replaced") {
            EXPECT_NE(identity(live, true), kept) << row.name << ": not a new file";
            EXPECT_EQ(identity(live, false), like) << row.name << ": not like the old file";
        }
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
        if (row.cleanup)
            row.cleanup(d);
        if (!row.way.empty())
            std::cout << row.name << ": " << row.way << "\n";
    }
    std::cout << rows.size() - skipped << " rows, " << skipped << " skipped as not root\n";
}

} // namespace
