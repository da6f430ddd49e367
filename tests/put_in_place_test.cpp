// The program on each kind of live file, caller and folder, and odd inputs,
// one test a row: from the stored copy and an old live file (unless it says
// otherwise), a row sets up its oddity and names the end state of each name
// it changes, and how the live file was put in place and what it keeps.
// Every run exits 0 without a word, and nothing else changes. An odd input
// whose whole answer is an errno is a Contract/Errors row.
#include "support.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
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
        return "folder";
    if (S_ISLNK(st.st_mode))
        return "link to " + fs::read_symlink(p).string();
    if (!S_ISREG(st.st_mode))
        return "of another kind";
    // A file the test's user may not read is read all the same.
    const bool unreadable = access(p.c_str(), R_OK) != 0 && chmod(p.c_str(), st.st_mode | S_IRUSR) == 0;
    std::string s = "file " + holds(p, {{"NEW", kNew}, {"OLD", kOld}, {"empty", ""}});
    if (unreadable)
        chmod(p.c_str(), st.st_mode & 07777);
    if ((st.st_mode & 0222) == 0)
        s += " read-only";
    return s + ((st.st_mode & 044) == 0 ? " private" : "") + ((st.st_mode & 06000) != 0 ? " set-id" : "");
}

void file(const fs::path &p, const std::string &content, mode_t mode = 0644)
{
    put(p, content);
    ASSERT_EQ(chmod(p.c_str(), mode), 0);
}

using Action = std::function<void(const fs::path &)>;
const std::string kLive = "idapi32.cfg", kStored = "idapi32.cf_";
constexpr uid_t kUnlisted = 2999999; // in no /etc/passwd

int leased = -1; // a read lease's file, as a file server holds one

void owner(const fs::path &p, uid_t uid, gid_t gid) { ASSERT_EQ(lchown(p.c_str(), uid, gid), 0); }
// The top folder and both files the user's, as in the user's own folder.
void users(const fs::path &d)
{
    for (const fs::path &p : {d, d / kStored, d / kLive})
        (void)lchown(p.c_str(), kNobody, kNobody); // where they are
}
void users_with_roots_copy(const fs::path &d) { users(d), owner(d / kStored, 0, 0); }
// An access list of its own (or a default one, for a folder) that lets
// the owner and user 1234 read and write, the group read, others nothing.
void acl(const fs::path &p, const char *which = "system.posix_acl_access")
{
    // Version, then entries of tag (16 bits), permissions (16 bits) and id.
    const std::vector<uint32_t> words = {2, 0x00060001, 0xffffffff, 0x00060002, 1234, 0x00040004,
                                         0xffffffff, 0x00060010, 0xffffffff, 0x00000020, 0xffffffff};
    ASSERT_EQ(setxattr(p.c_str(), which, words.data(), words.size() * sizeof(uint32_t), 0), 0) << "access lists on " << p;
}
void default_acl(const fs::path &d) { acl(d, "system.posix_acl_default"); }
// Another user's file, with an access list.
void theirs(const fs::path &d) { owner(d / kLive, 4321, 8765), acl(d / kLive); }
// A file capability (version 2, effective, permitted: CAP_NET_BIND_SERVICE).
void capability(const fs::path &p)
{
    std::string cap(20, '\0');
    cap[0] = '\x01', cap[3] = '\x02', cap[5] = '\x04';
    ASSERT_EQ(setxattr(p.c_str(), "security.capability", cap.data(), cap.size(), 0), 0);
}
void second_name(const fs::path &d) { fs::create_hard_link(d / kLive, d / "other.cfg"); }
void append_only_on(const fs::path &d) { ASSERT_TRUE(append_only(d, true)) << "append-only folders on " << d; }
void append_only_off(const fs::path &d) { append_only(d, false); }
// In the child: mounts of its own, and the folder `d` a mount of its own
// too, with `flags` (none: a plain bind).
void own_mounts(const fs::path &d, unsigned long flags = 0)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        (flags != 0 && (mount(d.c_str(), d.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                        mount(nullptr, d.c_str(), nullptr, MS_BIND | MS_REMOUNT | flags, nullptr) != 0 ||
                        chdir(d.c_str()) != 0)))
        _exit(122);
}
// A link `name` to `to`, of `maker`'s.
void link_as(const fs::path &d, const std::string &name, const std::string &to, uid_t maker) { fs::create_symlink(to, d / name), owner(d / name, maker, maker); }
// The user's link to `to` as the stored copy, and the user's live file.
void users_link(const fs::path &d, const std::string &to) { link_as(d, kStored, to, kNobody), owner(d / kLive, kNobody, kNobody); }

void limit(int resource, rlim_t value) { const rlimit l{value, value}; setrlimit(resource, &l) == 0 || (_exit(123), 0); }

// What must stay the same of a live file put in place, beside its mode: its
// owner, group and extended attributes.
std::string identity(const fs::path &p)
{
    struct stat st {};
    if (stat(p.c_str(), &st) != 0)
        return "absent";
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " xattrs " + xattrs(p);
}

constexpr struct timespec kStoredTime = {981172800, 123456789};

struct Row {
    std::string name;
    Action setup = {};                                         // after the defaults, given the top folder
    // Name -> end state, of those that change; unless it says, the live file NEW.
    std::vector<std::pair<std::string, std::string>> expect = {{kLive, "file NEW"}};
    mode_t stored = 0644, live = 0644; // the defaults' modes, 0 for none: the stored copy NEW, the live file OLD
    mode_t top = 0;                    // the top folder's mode after the set-up, if not 0700
    std::string cwd = ".";             // where it runs, inside the top folder
    Action before = {};                                        // in the child, before exec
    bool as_user = false;                                    // run as the user nobody
    // How the live file in cwd was put in place, if it was: "in place" (the
    // same file), "replaced" (a new one like the old) or "created" (like a
    // new file of the caller's); and its mode, if not the old (or new) one's.
    std::string way = {};
    mode_t mode = 0;
    bool needs_root = false; // to act as another user, or set flags
    Action cleanup = {};
    // Under strace, refusing these calls, or the unnamed file (named); the
    // trace read too (traced): flushes, the time, hidden names.
    std::vector<std::string> strace = {};
    bool traced = false, named = false, write_time = false;
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

std::vector<Row> rows()
{
    const bool root = geteuid() == 0;
    const std::string no_link_by_fd = "inject=linkat:error=ENOENT:when=1"; // through /proc instead
    std::vector<Row> rows = {
        // Replaced by a new file with everything of the old, set-id bits too.
        {.name = "another user's file with set-uid and set-gid, for root", .setup = theirs, .expect = {{kLive, "file NEW set-id"}},
         .live = 06750, .way = "replaced", .needs_root = true, .traced = true},
        {.name = "another user's file with an access list, for root, from root's private stored copy", .setup = theirs,
         .stored = 0600, .live = 0660, .way = "replaced",
         .needs_root = true, .traced = true},
        {.name = "another user's file with a file capability, for root",
         .setup = [](auto &d) { owner(d / kLive, 4321, 8765), capability(d / kLive); }, .live = 0755, .way = "replaced",
         .needs_root = true, .traced = true},
        {.name = "set-uid under a read-only stored copy", .expect = {{kLive, "file NEW read-only set-id"}},
         .stored = 0444, .live = 04755, .way = "replaced", .mode = 04555, .traced = true},
        {.name = "a user's own set-uid file, from the user's stored copy, in a folder anyone may write", .setup = users,
         .expect = {{kLive, "file NEW set-id"}}, .live = 04755, .top = 0777, .as_user = true, .way = "replaced", .traced = true},
        {.name = "an access list of its own under a default one", .setup = [](auto &d) { default_acl(d), acl(d / kLive); },
         .live = 0660, .way = "replaced", .traced = true},
        {.name = "no access list under a default one", .setup = default_acl, .way = "replaced", .traced = true},
        {.name = "a user's own file from a read-only stored copy", .setup = users_with_roots_copy,
         .expect = {{kLive, "file NEW read-only"}}, .stored = 0444, .as_user = true, .way = "replaced", .mode = 0444,
         .strace = {no_link_by_fd}, .traced = true},
        // Written in place: the file keeps its inode and all it has.
        {.name = "a file with a second name, shrinking, from a read-only stored copy", .setup = second_name,
         .expect = {{kLive, "file NEW read-only"}, {"other.cfg", "file NEW read-only"}}, .stored = 0444, .live = 0640,
         .way = "in place", .mode = 0440, .traced = true},
        {.name = "a file with a second name, growing", .setup = [](auto &d) { put(d / kLive, "x"), second_name(d); },
         .expect = {{kLive, "file NEW"}, {"other.cfg", "file NEW"}}, .way = "in place", .traced = true},
        {.name = "root's file that everyone may write, for a user",
         .setup = [](auto &d) { users_with_roots_copy(d), owner(d / kLive, 0, 0); }, .stored = 0444, .live = 0666,
         .as_user = true, .way = "in place", .strace = {no_link_by_fd}, .traced = true, .write_time = true},
        {.name = "a user's own file with a second name", .setup = [](auto &d) { users_with_roots_copy(d), second_name(d); },
         .expect = {{kLive, "file NEW read-only"}, {"other.cfg", "file NEW read-only"}}, .stored = 0444, .as_user = true,
         .way = "in place", .mode = 0444, .strace = {no_link_by_fd}, .traced = true},
        // Created as any new file there, read-only if the stored copy is.
        {.name = "created from a read-only stored copy", .expect = {{kLive, "file NEW read-only"}}, .stored = 0400,
         .live = 0, .way = "created", .mode = 0444, .traced = true},
        {.name = "created where there are no unnamed files", .live = 0, .way = "created", .traced = true, .named = true},
        {.name = "created under a default access list", .setup = default_acl, .live = 0, .way = "created", .traced = true},
        {.name = "created by a user, linked through /proc", .setup = users_with_roots_copy,
         .expect = {{kLive, "file NEW read-only"}}, .stored = 0444, .live = 0, .as_user = true, .way = "created",
         .mode = 0444, .strace = {no_link_by_fd}, .traced = true},
        // A user's links: followed only where all who could have put an
        // entry on the way could do the same.
        {.name = "a third user's link to the user's file, for the user",
         .setup = [](auto &d) { file(d / "target", kOld), owner(d / "target", kNobody, kNobody), link_as(d, kLive, "target", 4242); },
         .expect = {}, .live = 0, .top = 0777, .as_user = true, .needs_root = true},
        {.name = "the user's link to root's file anyone may read, in a folder anyone may write, for the user",
         .setup = [](auto &d) { file(d / "target", kNew), owner(d / kLive, kNobody, kNobody), link_as(d, kStored, "target", kNobody); },
         .stored = 0, .top = 0777, .as_user = true, .needs_root = true},
        {.name = "root's link in the user's folder to the user's own file, for the user",
         .setup = [](auto &d) { users(d), file(d / "target", kOld), owner(d / "target", kNobody, kNobody), fs::create_symlink("target", d / kLive); },
         .expect = {{"target", "file NEW"}}, .live = 0, .top = 0755, .as_user = true, .way = "replaced", .needs_root = true},
        {.name = "live file under another process's read lease, which must not wait",
         .setup = [](auto &d) { (void)signal(SIGIO, SIG_IGN), leased = open((d / kLive).c_str(), O_RDONLY | O_CLOEXEC); // break notice ignored
                                ASSERT_EQ(fcntl(leased, F_SETLEASE, F_RDLCK), 0) << "leases on " << d; },
         .expect = {}, .cleanup = [](auto &) { close(leased); }},
        {.name = "live name a chain of links, one through a folder",
         .setup = [](auto &d) { fs::create_directory(d / "sub"), file(d / "sub/real", kOld), fs::create_symlink("sub/real", d / "hop"), fs::create_symlink("hop", d / kLive); },
         .expect = {{"sub/real", "file NEW"}}, .live = 0, .way = "replaced"},
        {.name = "both names root's links, to a central backup and by its absolute name to a live file",
         .setup = [](auto &d) { file(d / "stored.cf", kNew), file(d / "target.cfg", kOld), fs::create_symlink("stored.cf", d / kStored),
                                fs::create_symlink(d / "target.cfg", d / kLive); },
         .expect = {{"target.cfg", "file NEW"}}, .stored = 0, .live = 0},
        {.name = "no live file, in a sticky folder anyone may write, from a stored copy only its owner may read",
         .expect = {{kLive, "file NEW private"}}, .stored = 0600, .live = 0, .top = 01777},
        // Root, where one other user could have shaped the run, does what
        // that user could, with that user's rights; where more could, nothing.
        {.name = "the user's own files in the user's folder, for root", .setup = users, .top = 0755, .way = "replaced",
         .needs_root = true},
        {.name = "a user's live file in a sticky folder, from root's stored copy",
         .setup = [](auto &d) { owner(d / kLive, kNobody, kNobody); }, .top = 01777, .way = "replaced", .needs_root = true},
        {.name = "a user's link in the user's folder to a file of root's the user may not read, for root",
         .setup = [](auto &d) { users(d), file(d / "target", kNew, 0640), link_as(d, kStored, "target", kNobody); }, .expect = {}, .stored = 0,
         .top = 0755, .needs_root = true},
        {.name = "a user's link to the user's own file, for root",
         .setup = [](auto &d) { users(d), file(d / "target", kOld), owner(d / "target", kNobody, kNobody), link_as(d, kLive, "target", kNobody); },
         .expect = {{"target", "file NEW"}}, .live = 0, .top = 0755, .way = "replaced", .needs_root = true},
        {.name = "root's link in a user's folder to a template the user's group may read",
         .setup = [](auto &d) { users(d), file(d / "template", kNew, 0640), owner(d / "template", 0, kNobody), fs::create_symlink("template", d / kStored); },
         .stored = 0, .top = 0755, .way = "replaced", .needs_root = true},
        {.name = "root's set-uid file, from another user's stored copy in root's folder",
         .setup = [](auto &d) { owner(d / kStored, kNobody, kNobody); },
         .expect = {}, .live = 04755, .top = 0755, .needs_root = true},
        {.name = "a user's link to a file of root's in a folder whose access list denies the user, in a sticky folder",
         .setup = [](auto &d) { fs::create_directory(d / "home"), file(d / "home/f", kNew), acl(d / "home"), users_link(d, "home/f"); },
         .expect = {}, .stored = 0, .top = 01777, .needs_root = true},
        {.name = "a user's link to a file of root's the user's group may not read, in a sticky folder",
         .setup = [](auto &d) { file(d / "f", kNew, 0604), owner(d / "f", 0, kNobody), users_link(d, "f"); }, .expect = {}, .stored = 0, .top = 01777, .needs_root = true},
        {.name = "a user's live file in a sticky folder, from root's private stored copy",
         .setup = [](auto &d) { owner(d / kLive, kNobody, kNobody); }, .expect = {}, .stored = 0600, .top = 01777, .needs_root = true},
        {.name = "another user's live file in a sticky folder, from a user's stored copy",
         .setup = [](auto &d) { owner(d / kLive, 4321, 4321), owner(d / kStored, kNobody, kNobody); }, .expect = {}, .top = 01777, .needs_root = true},
        {.name = "no live file, in a user's set-gid folder with a default access list, from root's stored copy",
         .setup = [](auto &d) { owner(d, kNobody, kNobody), default_acl(d); }, .expect = {}, .stored = 0640, .live = 0, .top = 02755,
         .before = [](auto &) { const gid_t root = 0; setgroups(1, &root) == 0 || (_exit(121), 0); }, .needs_root = true},
        {.name = "root's private file with a second name made before, as the stored copy in a sticky folder",
         .setup = [](auto &d) { file(d / "adopted", kNew, 0600), fs::create_hard_link(d / "adopted", d / kStored); },
         .expect = {}, .stored = 0, .top = 01777, .needs_root = true},
        {.name = "root's set-uid file in a sticky folder, from a user's link to a program",
         .setup = [](auto &d) { fs::create_directory(d / "bin"), file(d / "bin/prog", kNew, 0755), users_link(d, "bin/prog"), owner(d / kLive, 0, 0); },
         .expect = {}, .stored = 0, .live = 04755, .top = 01777, .needs_root = true},
        {.name = "stored copy under a write lease, which must not wait", .expect = {},
         .before = [](auto &) { (void)signal(SIGIO, SIG_IGN), fcntl(open(kStored.c_str(), O_RDONLY), F_SETLEASE, F_WRLCK) == 0 || (_exit(121), 0); }},
        {.name = "root's stored copy that others may write, over root's set-uid file", .expect = {}, .stored = 0666, .live = 04755,
         .needs_root = true},
        {.name = "a folder of a user the system's files do not list, for root",
         .setup = [](auto &d) { owner(d, kUnlisted, kUnlisted), owner(d / kLive, kUnlisted, kUnlisted); }, .expect = {}, .top = 0755, .needs_root = true},
        {.name = "live name root's own link, on a mount that follows none",
         .setup = [](auto &d) { file(d / "target", kOld), fs::create_symlink("target", d / kLive); }, .expect = {}, .live = 0,
         .before = [](auto &d) { own_mounts(d, MS_NOSYMFOLLOW); }, .needs_root = true},
        {.name = "working folder not writable",
         .setup = [root](auto &d) { ASSERT_EQ(chmod((d / "locked").c_str(), root ? 0755 : 0555), 0); },
         .expect = {{"locked/" + kLive, "file NEW"}}, .live = 0666, .top = 0755, .cwd = "locked", .as_user = true,
         .way = "in place"},
        {.name = "live file the caller owns, in a folder it cannot write",
         .setup = [](auto &d) { owner(d / "locked" / kLive, kNobody, kNobody); },
         .expect = {{"locked/" + kLive, "file NEW"}}, .top = 0755, .cwd = "locked", .as_user = true,
         .way = "in place", .needs_root = true},
        {.name = "the caller's own set-gid file of a group the caller is not in, in a set-gid folder of that group",
         .setup = [](auto &d) { owner(d, kNobody, 0), owner(d / kLive, kNobody, 0), owner(d / kStored, kNobody, kNobody); },
         .live = 02755, .top = 02755, .as_user = true, .way = "in place", .mode = 0755, .needs_root = true}, // as the kernel drops it
        {.name = "the caller's file with a group the caller is not in",
         .setup = [](auto &d) { owner(d / kLive, kNobody, 0); }, .live = 0664,
         .top = 0777, .as_user = true, .way = "in place", .needs_root = true},
        {.name = "append-only folder with a live file", .setup = append_only_on, .way = "in place", .needs_root = true,
         .cleanup = append_only_off},
        {.name = "append-only folder without a live file", .setup = append_only_on, .live = 0, .needs_root = true,
         .cleanup = append_only_off},
        // A name made there could never be removed again: no live file then.
        {.name = "append-only folder without unnamed files", .setup = append_only_on, .expect = {}, .live = 0,
         .needs_root = true, .cleanup = append_only_off, .named = true},
        {.name = "append-only folder where unnamed files may not be linked", .setup = append_only_on, .expect = {},
         .live = 0, .needs_root = true, .cleanup = append_only_off, .strace = {"inject=linkat:error=ENOENT:when=1+"}},
        {.name = "live file with extended attributes of its own",
         .setup = [](auto &d) { for (const char *name : {"user.origin", "user.checked"})
                                    ASSERT_EQ(setxattr((d / kLive).c_str(), name, name, 6, 0), 0) << "user attributes on " << d; },
         .way = "replaced"},
        {.name = "file size limit exactly the stored copy's size", .expect = {{kLive, "file NEW"}},
         .before = [](auto &) { limit(RLIMIT_FSIZE, kNew.size()); }, .way = "replaced"},
        {.name = "file size limit exactly the stored copy's size, written in place",
         .setup = [](auto &d) { fs::create_hard_link(d / kLive, d / "other.cfg"); },
         .expect = {{kLive, "file NEW"}, {"other.cfg", "file NEW"}},
         .before = [](auto &) { limit(RLIMIT_FSIZE, kNew.size()); }, .way = "in place"},
        {.name = "a stack of 64 KiB, copying by hand", .expect = {{kLive, "file NEW"}},
         .before = [](auto &) { limit(RLIMIT_STACK, 64 << 10); }, .way = "replaced", .strace = {"inject=copy_file_range:error=EXDEV"}},
        {.name = "live name a link to a file with the longest name there can be",
         .setup = [](auto &d) { file(d / std::string(NAME_MAX, 'n'), kOld), fs::create_symlink(std::string(NAME_MAX, 'n'), d / kLive); },
         .expect = {{std::string(NAME_MAX, 'n'), "file NEW"}}, .live = 0, .way = "replaced"},
        {.name = "stored copy the caller may not read", .expect = {}, .stored = root ? 0600U : 0200U, .live = 0666,
         .top = 0777, .as_user = true},
        {.name = "working folder deleted while the program runs", .expect = {{"gone", "absent"}}, .cwd = "gone",
         .before = [](const fs::path &d) { // already inside it: emptied and removed under its feet
             if (unlink((d / "gone" / kStored).c_str()) + unlink((d / "gone" / kLive).c_str()) + rmdir((d / "gone").c_str()) != 0)
                 _exit(124);
         }},
    };
    // For a user, other names for others' files, in a folder anyone may
    // write, only where the kernel keeps users from linking files they may
    // not write: its setting (fs.protected_hardlinks) as the run alone sees it.
    for (const char *on : {"0", "1"})
        for (const std::string &as : {kLive, kStored})
            // cppcheck-suppress useStlAlgorithm
            rows.push_back({.name = "for a user, root's file linked as " + as + " in a folder anyone may write, protection " + on,
                            .setup = [=](const auto &d) { put(d / "on", on), file(d / "root's", as == kLive ? kOld : kNew, 0666), fs::create_hard_link(d / "root's", d / as); },
                            .expect = {{kLive, *on == '0' ? "file OLD" : "file NEW"}, {"root's", as == kStored || *on == '1' ? "file NEW" : "file OLD"}},
                            .stored = as == kStored ? 0U : 0644U, .live = as == kLive ? 0U : 0666U, .top = 0777,
                            .before = [](const auto &d) { own_mounts(d), mount((d / "on").c_str(), "/proc/sys/fs/protected_hardlinks",
                                                                               nullptr, MS_BIND, nullptr) == 0 || (_exit(122), 0); },
                            .as_user = true, .needs_root = true});
    return rows;
}

class PutInPlace : public ::testing::TestWithParam<Row> {};

// A row's top folder: the defaults, its set-up, then its modes (a change
// of owner clears set-id bits) and the stored copy's time.
void make(const Row &row, const fs::path &d)
{
    const fs::path cwd = d / row.cwd;
    fs::create_directories(cwd);
    for (const auto &[name, content, mode] : {std::tuple{kStored, kNew, row.stored}, {kLive, kOld, row.live}})
        if (mode != 0)
            file(cwd / name, content, mode);
    if (row.setup)
        row.setup(d);
    const struct timespec times[2] = {kStoredTime, kStoredTime};
    (void)utimensat(AT_FDCWD, (cwd / kStored).c_str(), times, 0);
    ASSERT_TRUE(row.live == 0 || fs::is_symlink(cwd / kLive) || chmod((cwd / kLive).c_str(), row.live) == 0);
    ASSERT_TRUE(row.top == 0 || chmod(d.c_str(), row.top) == 0);
}

TEST_P(PutInPlace, EndsQuietlyWithOnlyTheNamedChanges)
{
    const Row &row = GetParam();
    REQUIRE(!(row.needs_root || row.as_user) || geteuid() == 0, "root, to act as another user");
    REQUIRE(!(row.traced || row.named || !row.strace.empty()) || have_strace(), "strace (package strace)");
    umask(022); // as the run's, for a file made here to compare with
    Scratch traces;
    ASSERT_EQ(chmod(traces.path().c_str(), 01777), 0);
    const std::string trace = row.traced || row.named ? (traces / "trace").string() : "";
    std::vector<std::string> strace = row.strace;
    const auto run = [&](const fs::path &d) {
        support::Run how{strace, trace, [&] {
                             umask(022);
                             if (row.before)
                                 row.before(d);
                             if (row.as_user)
                                 drop_privileges();
                         }, std::chrono::seconds(10)};
        return run_program(d / row.cwd, how);
    };
    if (row.named)
        refuse_unnamed(strace, [&] {
            Scratch probe;
            make(row, probe.path());
            run(probe.path());
            if (row.cleanup)
                row.cleanup(probe.path());
            return copy_calls(trace);
        });
    Scratch top;
    const fs::path &d = top.path(), cwd = d / row.cwd;
    make(row, d);
    if (HasFatalFailure())
        return;
    const fs::path live = fs::weakly_canonical(cwd / kLive), like = row.way == "created" ? cwd / "like_new" : live;
    if (row.way == "created") {
        put(like, "");
        owner(like, row.as_user ? kNobody : geteuid(), row.as_user ? kNobody : getegid());
    }
    const Snapshot before = snapshot(d, state); // which reads the files: their access times after
    struct stat was {}, now {};
    (void)stat(like.c_str(), &was);
    const std::string kept = identity(like);
    expect_quiet_success(run(d), row.name);
    if (!row.way.empty()) {
        ASSERT_EQ(stat(live.c_str(), &now), 0);
        EXPECT_EQ(now.st_ino == was.st_ino, row.way == "in place") << "the same file";
        EXPECT_TRUE(row.way != "in place" || (now.st_atim.tv_sec == was.st_atim.tv_sec && now.st_atim.tv_nsec == was.st_atim.tv_nsec))
            << "the access time, which nothing read";
        EXPECT_EQ(identity(live), kept) << "owner, group and extended attributes, access lists included";
        EXPECT_EQ(now.st_mode & 07777, row.mode != 0 ? row.mode : was.st_mode & 07777) << "mode";
        EXPECT_TRUE(!row.traced || (now.st_mtim.tv_sec == kStoredTime.tv_sec && now.st_mtim.tv_nsec == kStoredTime.tv_nsec) != row.write_time)
            << "the stored copy's time, or the write's";
    }
    if (row.traced) {
        const std::vector<Call> calls = copy_calls(trace);
        long last = 0; // flushed after the last change to it, read-only included
        for (long at = 0; (at = find_call(calls, R"(^(ftruncate|fchmod|linkat.* = 0$|renameat))", at)) >= 0; ++at)
            last = at;
        EXPECT_GE(find_call(calls, "^fsync", static_cast<size_t>(last)), 0) << "not flushed after its last change";
        EXPECT_EQ(find_call(calls, R"(^openat\(.*"\.\w)") >= 0, row.named) << "a hidden name";
        const long flushed = find_call(calls, "^fsync");
        EXPECT_TRUE(flushed >= 0 && find_call(calls, "^utimensat", static_cast<size_t>(flushed)) < 0) << "the time set after a flush";
        EXPECT_TRUE(row.way != "replaced" || find_call(calls, R"(^openat\(.*(O_TMPFILE|O_EXCL).*, 0600\) = \d+$)") >= 0)
            << "the new file open to others before it is the old one's";
    }
    const Snapshot after = snapshot(d, state);
    Snapshot want = before;
    for (const auto &[name, end] : row.expect) {
        for (auto it = want.lower_bound(name + "/"); it != want.end() && it->first.rfind(name + "/", 0) == 0;)
            it = want.erase(it); // inside a folder that is gone
        want[name] = end;
    }
    std::erase_if(want, [](const auto &kv) { return kv.second == "absent"; });
    EXPECT_EQ(after, want) << "the end states of every name";
    if (row.cleanup)
        row.cleanup(d);
}

INSTANTIATE_TEST_SUITE_P(EachKind, PutInPlace, ::testing::ValuesIn(rows()),
                         [](const auto &info) { return test_id(info.param.name); });

// The user may stop the process that acts with the user's rights, which is
// theirs; root's run then ends it, and neither waits for ever nor copies.
TEST(AsTheUser, AStoppedProcessEndsTheRun)
{
    REQUIRE(geteuid() == 0, "root, to act as another user");
    Scratch top;
    const fs::path &d = top.path();
    file(d / "stored", kNew), file(d / kLive, kOld), fs::create_directory(d / "d");
    std::string steps; // a long way, walked once by root and once by the user
    for (int i = 0; i < 800; ++i)
        steps += "d/../";
    for (int i = 1; i <= 38; ++i)
        fs::create_symlink(steps + (i < 38 ? "l" + std::to_string(i + 1) : "stored"), d / ("l" + std::to_string(i)));
    fs::create_symlink("l1", d / kStored);
    for (const auto &e : fs::recursive_directory_iterator(d))
        owner(e.path(), kNobody, kNobody);
    owner(d, kNobody, kNobody);
    const pid_t pid = spawn(d);
    pid_t child = 0;
    int status = -1;
    while (child <= 0 && waitpid(pid, &status, WNOHANG) == 0)
        std::ifstream("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children") >> child;
    EXPECT_TRUE(child > 0 && kill(child, SIGSTOP) == 0) << "the user's process, caught";
    for (int i = 0; i < 2000 && status == -1 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (status == -1)
        kill(pid, SIGKILL), kill(child > 0 ? child : pid, SIGKILL), waitpid(pid, nullptr, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by itself, with 0";
    EXPECT_EQ(state(d / kLive), "file OLD");
}

// Several runs started at the same moment in one folder, again and again:
// the live file always ends as a whole copy and nothing is left.
TEST(Concurrent, SimultaneousRunsLeaveOneWholeCopyAndNoTemporaries)
{
    Scratch dir;
    const std::string stored = bytes(1 << 20, 31), old = bytes(512 << 10, 32);
    put(dir / kStored, stored);
    const int rounds = 25, instances = 4;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0)
            put(dir / kLive, old);
        else
            fs::remove(dir / kLive);
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
        ASSERT_TRUE(same_bytes(get(dir / kLive), stored)) << "round " << round;
        ASSERT_EQ(entries(dir.path()), (Names{kStored, kLive})) << "round " << round;
    }
}

} // namespace
