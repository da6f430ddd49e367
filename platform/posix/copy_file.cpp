// POSIX stand-in for kernel32 CopyFileA.
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
//   default access list).
// - Of the stored copy's mode only read-only goes along, whichever way the
//   live file was put in place: no write bit there, none left on it.
// - A symbolic link under either name is followed only where no less
//   privileged user could have planted it.
// No name is ever made that could not be removed again, a resource limit
// never kills the caller, and the source is only read.
#include <windows.h>

#include "primitives.h"

#include <cerrno>
#include <climits>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace posix_copy;

// An open file with what was known of it when it was opened.
struct File {
    Fd fd;
    struct stat st {};
};

// The write bits: none of them is read-only, on the platform too.
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// How an existing live file is put in place, and what became of a try.
enum class Way { replace, write_in_place };
enum class Outcome { done, in_place_instead, failed };

bool open_source(const char *path, File &src);
bool follow_link(int dir, const std::string &name, std::string &path, struct stat &st);
Way choose_way(const struct stat &live, uid_t caller, const DirRules &dir);
Outcome classify(int err);
Outcome build_and_publish(const File &src, const Place &live, const File *old, unsigned allowed);
bool write_in_place(const File &src, int live);

} // namespace

extern "C" BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists)
{
    if (existing_name == nullptr || new_name == nullptr)
        return fail(EINVAL);
    File src;
    if (!open_source(existing_name, src) || !within_size_limit(src.st.st_size))
        return FALSE;

    // Twice at most: a live file that another run creates while this one
    // builds its own is then replaced like any other.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Place live;
        if (!open_place(new_name, live))
            return FALSE;
        File old;
        if (::fstatat(live.dir.get(), live.name.c_str(), &old.st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return FALSE;
            // Built unnamed and linked to its name; where names cannot be
            // removed again, a hidden name is never made.
            const DirRules rules = dir_rules(live.dir.get());
            if (rules.immutable)
                return fail(EPERM);
            const unsigned allowed = rules.append_only ? kUnnamed : kUnnamed | kNamed;
            if (build_and_publish(src, live, nullptr, allowed) == Outcome::done)
                return TRUE;
            if (errno != EEXIST || fail_if_exists)
                return FALSE;
            continue;
        }
        if (fail_if_exists)
            return fail(EEXIST);

        std::string target;
        if (S_ISLNK(old.st.st_mode) &&
            !(follow_link(live.dir.get(), live.name, target, old.st) && open_place(target, live)))
            return FALSE;
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
        old.fd.reset(::openat(live.dir.get(), live.name.c_str(),
                              O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat check {};
        if (!old.fd.ok() || ::fstat(old.fd.get(), &check) != 0)
            return FALSE;
        if (!same_file(check, old.st))
            return fail(ENOENT); // replaced while we looked

        if (choose_way(old.st, ::geteuid(), dir_rules(live.dir.get())) == Way::replace) {
            const Outcome replaced = build_and_publish(src, live, &old, kUnnamed | kNamed);
            if (replaced != Outcome::in_place_instead)
                return replaced == Outcome::done ? TRUE : FALSE;
        }
        return write_in_place(src, old.fd.get()) ? TRUE : FALSE;
    }
    return FALSE;
}

namespace {

// Replaced wherever a new file can take the live one's place unchanged;
// written in place, as the platform does, where only that keeps what the
// file is: another name for it, a directory that keeps its names, an owner
// the caller cannot give. The caller has already shown it may write it.
Way choose_way(const struct stat &live, uid_t caller, const DirRules &dir)
{
    const bool may_replace = live.st_nlink == 1 && !dir.append_only && !dir.immutable &&
                             (caller == 0 || caller == live.st_uid);
    return may_replace ? Way::replace : Way::write_in_place;
}

// A step of a replace that fails because the caller may not give a file
// this identity or name it here, or the filesystem lacks the feature, means
// writing in place instead; a disk or filesystem failing means failure.
Outcome classify(int err)
{
    return err == EPERM || err == EACCES || err == ENOTSUP // also EOPNOTSUPP here
               ? Outcome::in_place_instead
               : Outcome::failed;
}

// The stored copy's modification time, where the caller may set it: only the
// owner may, so a writer who is not keeps the time of the write, as the
// platform's own copy does for such a caller.
bool set_times(int fd, const struct stat &src)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, src.st_mtim};
    return ::futimens(fd, times) == 0 || errno == EPERM || errno == EACCES;
}

// Of the stored copy's attributes only read-only goes along, as on the
// platform, to a new live file and a replaced one alike: no write bit there,
// none here, and nothing else of the mode changes. Like the time, best
// effort for a writer who is not the owner.
bool carry_read_only(int fd, const struct stat &src)
{
    struct stat st {};
    return (src.st_mode & kWriteBits) != 0 ||
           (::fstat(fd, &st) == 0 &&
            (::fchmod(fd, st.st_mode & 07777 & ~kWriteBits) == 0 || errno == EPERM));
}

// Gives the new file the old one's owner, group, attributes and mode, in
// that order: a change of owner clears set-id bits, and the mode sets the
// access list's mask. Checked afterwards, as the kernel may quietly drop a
// set-gid bit the caller may not set.
Outcome give_identity(int tmp, const File &old)
{
    struct stat now {};
    if (::fstat(tmp, &now) != 0)
        return Outcome::failed;
    if ((now.st_uid != old.st.st_uid || now.st_gid != old.st.st_gid) &&
        ::fchown(tmp, old.st.st_uid, old.st.st_gid) != 0)
        return classify(errno);
    if (!copy_xattrs(tmp, old.fd.get()) || ::fchmod(tmp, old.st.st_mode & 07777) != 0)
        return classify(errno);
    if (::fstat(tmp, &now) != 0)
        return Outcome::failed;
    return now.st_uid == old.st.st_uid && now.st_gid == old.st.st_gid &&
                   (now.st_mode & 07777) == (old.st.st_mode & 07777)
               ? Outcome::done
               : Outcome::in_place_instead;
}

// The one order in which a new file is put under the live name, for a
// create (no old file) and a replace alike: content, identity, time,
// read-only, flush, publish, flush the directory. Content comes before
// identity, as a write by the owner clears set-id bits. An unnamed file that
// may not be linked here (ENOENT: no /proc, no privilege) is built again
// under a hidden name, where `allowed` has one.
Outcome build_and_publish(const File &src, const Place &live, const File *old, unsigned allowed)
{
    for (const unsigned kinds : {allowed, allowed & ~unsigned{kUnnamed}}) {
        Temp tmp(live.dir.get());
        // A new live file is made as any new file there is: 0666 less the
        // umask, or the directory's default access list.
        if (!tmp.create(live.name, old != nullptr ? S_IRUSR | S_IWUSR : 0666, kinds))
            return classify(errno); // a directory the caller may not write
        if (!copy_content(src.fd.get(), tmp.fd(), src.st.st_size))
            return Outcome::failed;
        const Outcome given = old != nullptr ? give_identity(tmp.fd(), *old) : Outcome::done;
        if (given != Outcome::done)
            return given;
        if (!set_times(tmp.fd(), src.st) || !carry_read_only(tmp.fd(), src.st) || !flush(tmp.fd()))
            return Outcome::failed;
        if (old != nullptr ? tmp.publish_over(live.name) : tmp.publish_new(live.name)) {
            // Done; a directory that cannot be flushed must not make it
            // look undone.
            (void)::fsync(live.dir.get());
            return Outcome::done;
        }
        if (!tmp.unnamed() || errno != ENOENT)
            return classify(errno); // say, a sticky directory
    }
    return Outcome::failed;
}

// The platform's way: the whole new size reserved, so a full disk fails
// before any byte changes, then the content written into the file itself.
bool write_in_place(const File &src, int live)
{
    const off_t size = src.st.st_size;
    return reserve(live, size) && copy_content(src.fd.get(), live, size) && ::ftruncate(live, size) == 0 &&
           set_times(live, src.st) && carry_read_only(live, src.st) && flush(live);
}

// Opens the source without blocking: a FIFO or device under its name must
// fail at once, not wait for a writer or act on the device. The file read is
// the file looked at, or judged at the end of a link.
bool open_source(const char *path, File &src)
{
    struct stat &st = src.st;
    if (::lstat(path, &st) != 0)
        return false;
    std::string file = path;
    Place place;
    if (S_ISLNK(st.st_mode) &&
        !(open_place(path, place) && follow_link(place.dir.get(), place.name, file, st)))
        return false;
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    const struct stat looked = st;
    src.fd.reset(::open(file.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!src.fd.ok() || ::fstat(src.fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || !same_file(st, looked)) // swapped since the look
        return fail(EINVAL);
    const int flags = ::fcntl(src.fd.get(), F_GETFL);
    return flags >= 0 && ::fcntl(src.fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A symbolic link is followed only where no less privileged user could have
// planted it: one made by root, by the caller, or by the owner of the file it
// leads to. On the platform only administrators make links; here anyone may,
// and another user's link in a folder that user may write would lend the
// caller's rights to read or replace any file. The link judged is the one
// opened and the file judged is the one it led to, by descriptor, so a swap
// between a look and an open cannot slip by. Links further on are walked by
// the kernel, with its own protections. Gives the file's path and status.
bool follow_link(int dir, const std::string &name, std::string &path, struct stat &st)
{
    const Fd link(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat link_st {};
    if (!link.ok() || ::fstat(link.get(), &link_st) != 0)
        return false;
    if (!S_ISLNK(link_st.st_mode))
        return fail(ENOENT); // replaced while we looked
    char to[PATH_MAX];
    const ssize_t n = ::readlinkat(link.get(), "", to, sizeof to);
    if (n < 0 || n >= static_cast<ssize_t>(sizeof to))
        return n < 0 ? false : fail(ENAMETOOLONG);
    to[n] = '\0';
    // Not opened for reading or writing: a FIFO or device must not be.
    const Fd target(::openat(dir, to, O_PATH | O_CLOEXEC));
    if (!target.ok() || ::fstat(target.get(), &st) != 0)
        return false;
    const uid_t me = ::geteuid();
    if (link_st.st_uid != 0 && link_st.st_uid != me && link_st.st_uid != st.st_uid)
        return fail(EACCES);
    return path_of(target.get(), path) || fail(ENOENT);
}

} // namespace
