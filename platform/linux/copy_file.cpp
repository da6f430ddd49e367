// Linux stand-in for kernel32 CopyFileA.
//
// How the live file is put in place:
// - Replaced atomically wherever the new file can take the old one's place
//   unchanged: same owner and group, every extended attribute the caller can
//   see (access lists included), no other hard link, and a directory that
//   allows the rename. The new content goes into a temporary file beside it,
//   is flushed, renamed over the live name, and the directory is flushed: a
//   reader, a crash or a power cut sees the whole old file or the whole new.
// - Otherwise written in place, as the platform itself does, and only where
//   the caller may open the live file for writing anyway. The whole new size
//   is reserved first, so a full disk fails before any byte changes; then
//   the content is written from the start, cut to length, and flushed. The
//   file keeps its inode, owner, mode, access list, attributes and links. A
//   crash in the middle of this write can leave a mixed file.
// - A live file that does not exist is built unnamed and linked straight to
//   its name, so nothing is left behind and no existing name is clobbered.
//   It is made as any new file in its directory is (the umask, or the
//   default access list), and in a folder others may change never more open
//   than the stored copy.
// - Of the stored copy's mode only read-only goes along, whichever way the
//   live file was put in place: no write bit there, none left on it. Set-id
//   bits and file capabilities stay only under content from root or the
//   live file's owner.
// - Each name is resolved once, and a way with links on it is followed only
//   where everyone who could have shaped it could do the same themselves.
// No name is ever made that could not be removed again, a resource limit
// never kills the caller, and the source is only read.
#include <windows.h>

#include "primitives.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace linux_copy;

// An open file with what was known of it when it was opened.
struct File {
    Fd fd;
    struct stat st {};
};

// The write bits: none of them is read-only, on the platform too.
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// The live file's folder flags, read once, when first needed.
class Flags {
public:
    explicit Flags(int dir) : dir_(dir) {}
    const DirRules &get()
    {
        if (!read_)
            rules_ = dir_rules(dir_);
        read_ = true;
        return rules_;
    }

private:
    int dir_;
    bool read_ = false;
    DirRules rules_;
};

bool may_use(Resolved &r, uid_t caller, Access want);
Outcome build_and_publish(const File &src, const Resolved &live, const File *old, mode_t mode, Flags &flags);
bool write_in_place(const File &src, const File &live);

} // namespace

extern "C" BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists)
{
    if (existing_name == nullptr || new_name == nullptr)
        return fail(EINVAL);
    const uid_t caller = ::geteuid();
    File src;
    Resolved stored;
    if (!resolve(existing_name, stored))
        return FALSE;
    if (!stored.end.ok() || !S_ISREG(stored.st.st_mode))
        return fail(!stored.end.ok() ? ENOENT : S_ISDIR(stored.st.st_mode) ? EISDIR : EINVAL);
    src.st = stored.st;
    // Not opened before it is known to be a regular file, and then the very
    // one: a FIFO or device is never opened.
    if (!may_use(stored, caller, Access::read) || !reopen(stored, O_RDONLY | O_NOCTTY, src.fd) ||
        !within_size_limit(src.st.st_size))
        return FALSE;

    // Twice at most: a live file that another run creates while this one
    // builds its own is then replaced like any other.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Resolved live;
        Node folder;
        if (!resolve(new_name, live))
            return FALSE;
        if (!live.end.ok()) {
            if (live.dangling)
                return fail(fail_if_exists ? EEXIST : ENOENT);
            if (!may_follow(live.way, caller, Access::write))
                return fail(EACCES);
            if (!folder_of(live, folder) || !open_folder(live))
                return FALSE;
            Flags flags(live.dir);
            const mode_t mode = settled_mode(new_file_mode(others_may_write(folder, caller), src.st.st_mode),
                                             src.st.st_mode, true);
            if (build_and_publish(src, live, nullptr, mode, flags) == Outcome::done)
                return TRUE;
            if (errno != EEXIST || fail_if_exists)
                return FALSE;
            continue;
        }
        if (fail_if_exists)
            return fail(EEXIST);
        File old;
        old.st = live.st;
        if (S_ISDIR(old.st.st_mode))
            return fail(EISDIR);
        if (!S_ISREG(old.st.st_mode))
            return fail(EINVAL);
        // The platform never copies a file onto itself, under any name.
        if (same_file(old.st, src.st))
            return fail(EINVAL);
        // Nor does it overwrite a read-only file, even for an administrator
        // who passes every permission check: no write bit is read-only.
        if ((old.st.st_mode & kWriteBits) == 0)
            return fail(EACCES);
        // Opening for writing asks the kernel the rest: ACLs, immutable
        // files, read-only mounts, a lease held by another process. It is
        // also the proof that writing in place is the caller's right.
        if (!may_use(live, caller, Access::write) || !reopen(live, O_WRONLY | O_NOCTTY | O_NONBLOCK, old.fd) ||
            !open_folder(live))
            return FALSE;
        Flags flags(live.dir);
        const bool keeps_names = flags.get().append_only || flags.get().immutable;
        if (choose_way(old.st.st_nlink, old.st.st_uid, caller, keeps_names) == Way::replace) {
            const Outcome replaced = build_and_publish(src, live, &old, S_IRUSR | S_IWUSR, flags);
            if (replaced != Outcome::in_place_instead)
                return replaced == Outcome::done ? TRUE : FALSE;
        }
        return write_in_place(src, old) ? TRUE : FALSE;
    }
    return FALSE;
}

namespace {

// A way with links on it only where all who could have shaped it could do
// the same; a file with other names, in a folder others may change, only
// where the kernel keeps anyone from linking a file they may not write.
bool may_use(Resolved &r, uid_t caller, Access want)
{
    Node folder;
    if (!may_follow(r.way, caller, want))
        return fail(EACCES);
    if (r.st.st_nlink < 2)
        return true;
    return folder_of(r, folder) && (!others_may_write(folder, caller) || hardlinks_protected() || fail(EACCES));
}

// The stored copy's modification time, where the caller may set it: only the
// owner may, so a writer who is not keeps the time of the write, as the
// platform's own copy does for such a caller.
bool set_mtime(int fd, const struct stat &src)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, src.st_mtim};
    return ::futimens(fd, times) == 0 || may_not(errno);
}

// The mode the file ends with, where it is not `mode` already: like the
// time, best effort for a writer who is not the owner.
bool settle_mode(int fd, mode_t mode, const struct stat &src, bool set_id)
{
    const mode_t want = settled_mode(mode, src.st_mode, set_id);
    return want == (mode & 07777) || ::fchmod(fd, want) == 0 || may_not(errno);
}

// Gives the new file the old one's owner, group, attributes and mode (as
// settled), in that order: a change of owner clears set-id bits and file
// capabilities, and the mode sets the access list's mask. Checked
// afterwards, as the kernel may quietly drop a set-gid bit the caller may
// not set.
Outcome give_identity(int tmp, const File &old, const struct stat &src)
{
    const bool set_id = keeps_set_id(src.st_uid, old.st.st_uid);
    const mode_t mode = settled_mode(old.st.st_mode, src.st_mode, set_id);
    struct stat now {};
    if (::fstat(tmp, &now) != 0)
        return Outcome::failed;
    if ((now.st_uid != old.st.st_uid || now.st_gid != old.st.st_gid) &&
        ::fchown(tmp, old.st.st_uid, old.st.st_gid) != 0)
        return after_failed_step(errno);
    if (!sync_xattrs(tmp, old.fd.get(), set_id) || ::fchmod(tmp, mode) != 0)
        return after_failed_step(errno);
    if (::fstat(tmp, &now) != 0)
        return Outcome::failed;
    return now.st_uid == old.st.st_uid && now.st_gid == old.st.st_gid && (now.st_mode & 07777) == mode
               ? Outcome::done
               : Outcome::in_place_instead;
}

// The one order in which a new file is put under the live name, for a
// create (no old file, made with `mode`) and a replace alike: content,
// identity, time, flush, publish, flush the directory. Content comes before
// identity, as a write by the owner clears set-id bits. Unnamed first; a
// hidden name where the filesystem has no unnamed files or one may not be
// linked here (ENOENT: no /proc, no privilege), unless the folder keeps
// its names for ever.
Outcome build_and_publish(const File &src, const Resolved &live, const File *old, mode_t mode, Flags &flags)
{
    int refused = 0;
    for (const Naming kind : {Naming::unnamed, Naming::named}) {
        if (kind == Naming::named && (flags.get().append_only || flags.get().immutable)) {
            errno = refused;
            return Outcome::failed;
        }
        Temp tmp(live.dir);
        if (!tmp.create(live.name, mode, kind)) {
            refused = errno;
            if (kind == Naming::unnamed)
                continue; // not every filesystem has unnamed files
            return after_failed_step(errno); // a directory the caller may not write
        }
        if (!copy_content(src.fd.get(), tmp.fd(), src.st.st_size))
            return Outcome::failed;
        const Outcome given = old != nullptr ? give_identity(tmp.fd(), *old, src.st) : Outcome::done;
        if (given != Outcome::done)
            return given;
        if (!set_mtime(tmp.fd(), src.st) || !flush(tmp.fd()))
            return Outcome::failed;
        if (old != nullptr ? tmp.publish_over(live.name) : tmp.publish_new(live.name)) {
            // Done; a directory that cannot be flushed must not make it
            // look undone.
            (void)::fsync(live.dir);
            return Outcome::done;
        }
        refused = errno;
        if (!tmp.unnamed() || errno != ENOENT)
            return after_failed_step(errno); // say, a sticky directory
    }
    return Outcome::failed;
}

// The platform's way: the whole new size reserved, so a full disk fails
// before any byte changes, then the content written into the file itself.
bool write_in_place(const File &src, const File &live)
{
    const off_t size = src.st.st_size;
    const int fd = live.fd.get();
    return reserve(fd, size) && copy_content(src.fd.get(), fd, size) && ::ftruncate(fd, size) == 0 &&
           set_mtime(fd, src.st) &&
           settle_mode(fd, live.st.st_mode, src.st, keeps_set_id(src.st.st_uid, live.st.st_uid)) && flush(fd);
}

} // namespace
