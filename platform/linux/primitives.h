// The file operations the Linux CopyFileA is built from, each returning 0
// or the error number of what failed. Where a filesystem or the kernel
// lacks what an operation would use first, the operation falls back by
// itself, and its comment says how ("falls back"); which operations run,
// in what order, and what their failures mean is decided in copy_file.cpp,
// which makes no system call of its own. Linux only: O_TMPFILE,
// copy_file_range, renameat2, FS_IOC_GETFLAGS and /proc.
#pragma once

#include "rules.h"

#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace linux_copy {

// An open descriptor, closed on scope exit without disturbing errno (the
// caller's answer, once it is set).
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd &operator=(Fd &&other) noexcept;

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool ok() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept;

private:
    int fd_;
};

bool same_file(const struct stat &a, const struct stat &b);

// One resolution of a name, a step at a time from the working folder
// (whose status is `start`): the kernel follows no link, and a link that
// lies on /proc (a magic link) or on a mount that follows none is not
// followed at all. Each link met is read and what it says walked the same
// way. Whatever is read or written is `end`, the very file this resolution
// ended at; no path is looked up a second time.
struct Resolved {
    Fd within;             // the folder the end lies in, or would; none: the working one
    Node folder;           // that folder's status
    std::string name;      // the end's name there
    Fd end;                // the end itself (O_PATH), if it exists
    struct stat st {};     // its status
    std::vector<Step> way; // every entry met, in the folder that holds it
    bool dangling = false; // the name is a link that leads to nothing
    [[nodiscard]] int at() const { return within.ok() ? within.get() : AT_FDCWD; }
};
Error resolve(const char *name, const Node &start, Resolved &r);

// The end's folder opened for what a path descriptor cannot do: flush it,
// read its flags.
Error open_folder(const Resolved &r, Fd &folder);

// The end opened with `flags`: the same file, never another by its name.
Error reopen(const Resolved &r, int flags, Fd &fd);

// Whether the kernel keeps users from hard-linking files they may not
// write (fs.protected_hardlinks).
bool hardlinks_protected();

// Whether names in a folder may be removed or renamed.
struct FolderRules {
    bool append_only = false;
    bool immutable = false;
};
FolderRules folder_rules(int folder);

// The kind of temporary file to make.
enum class Naming {
    unnamed, // O_TMPFILE: nothing is left behind by a crash
    named,   // a hidden name beside the live one, removed unless published
};

// The file new content is built in, beside the live name; removed again
// unless it was published.
class Temp {
public:
    explicit Temp(int folder) noexcept : folder_(folder) {}
    ~Temp();
    Temp(const Temp &) = delete;
    Temp &operator=(const Temp &) = delete;

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool unnamed() const noexcept { return name_.empty(); }

    // Of the `kind` asked for (an unnamed file fails where the filesystem
    // has none); a hidden name taken already is tried again with another.
    Error create(const std::string &live_name, mode_t mode, Naming kind);
    // Gives the file the name, which must not exist (EEXIST, atomically).
    // Falls back, where renaming cannot refuse to replace, to a second name
    // and then the first removed. An unnamed file that cannot be linked
    // here (no /proc, no privilege) fails with EOPNOTSUPP, as if there were
    // none.
    Error publish_new(const std::string &name);
    // Puts the file in place of whatever has the name; an unnamed one is
    // first linked to a hidden name.
    Error publish_over(const std::string &name);

    // Where hidden names come from; a test may make them collide.
    static std::string (*hidden_name)(const std::string &live_name);

private:
    Error link_unnamed(const std::string &name);

    int folder_;
    Fd fd_;
    std::string name_;
};

// The source's first `size` bytes to the start of dst: in the kernel; falls
// back to copying by hand, in fixed memory, where that is refused.
Error copy_content(int src, int dst, off_t size);

// fsync; falls back to nothing where a filesystem has no flush at all.
Error flush(int fd);

// Makes dst's extended attributes (access lists included) exactly src's,
// adding and removing, but for a file capability where `capability` is
// false; a filesystem without them has none to give.
Error sync_xattrs(int dst, int src, bool capability);

// Whether a file of `size` bytes may be written without SIGXFSZ part way
// (EFBIG if not).
Error within_size_limit(off_t size);

// Room for `size` bytes in the file, taken before any byte of it changes;
// what a reservation that runs out took is given back. Falls back, where
// space cannot be reserved, to a check that enough is free for anyone.
Error reserve(int fd, off_t size);
// What a reservation took past the file's end, given back.
Error give_back(int fd);

// The caller, as the kernel judges it.
uid_t caller();

// Runs `work` in a child process that has only `user`'s rights: that uid,
// the groups /etc/passwd and /etc/group give it (EACCES for a user not
// listed there), and no capability. Its answer, or the error of giving up
// the caller's rights; EIO where it ended without one (killed, or stopped,
// which ends it).
Error as_user(uid_t user, const std::function<Error()> &work);

// A file's status (of AT_FDCWD: the working folder's), owner and group,
// mode, modification time and length.
Error status(int fd, struct stat &st);
Error give_owner(int fd, uid_t uid, gid_t gid);
Error set_mode(int fd, mode_t mode);
Error set_mtime(int fd, const struct timespec &mtime);
Error set_length(int fd, off_t size);

} // namespace linux_copy
