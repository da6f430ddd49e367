// Linux stand-in for kernel32 CopyFileA.
//
// How the live file is put in place:
// - Replaced atomically wherever the new file can take the old one's place
//   unchanged: same owner and group, every extended attribute the caller can
//   see (access lists included), no other hard link, and a folder that
//   allows the rename. The new content goes into a temporary file beside it,
//   is flushed, renamed over the live name, and the folder is flushed: a
//   reader, a crash or a power cut sees the whole old file or the whole new.
// - Otherwise written in place, as the platform itself does, and only where
//   the caller may open the live file for writing anyway. The whole new size
//   is reserved first, so a full disk fails before any byte changes; then
//   the content is written from the start, cut to length, and flushed. The
//   file keeps its inode, owner, mode, access list, attributes and links. A
//   crash in the middle of this write can leave a mixed file.
// - A live file that does not exist is built unnamed and linked straight to
//   its name, so nothing is left behind and no existing name is clobbered.
//   It is made as any new file in its folder is (the umask, or the
//   default access list), and in a folder others may change never more open
//   than the stored copy.
// - Of the stored copy's mode only read-only goes along, whichever way the
//   live file was put in place: no write bit there, none left on it. Set-id
//   bits and file capabilities stay only under content from root or the
//   live file's owner.
// - Each name is resolved once. Root, where one other user could have
//   shaped the run, makes the whole copy with that user's rights alone, and
//   where more could, none; another caller follows a way with links on it
//   only where everyone who could have shaped it could do the same.
// No name is ever made that could not be removed again, a resource limit
// never kills the caller, and the source is only read.
#include <windows.h>

#include "primitives.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using namespace linux_copy;

// An open file with what was known of it when it was opened.
struct File {
    Fd fd;
    struct stat st {};
};

// What became of a try to build and publish a new file, and why.
struct Tried {
    Verdict verdict = Verdict::done;
    Error err = 0;
};
Tried failed(Error err) { return {Verdict::failed, err}; }
Tried refused_or_failed(Error err) { return {after_failed_step(err), err}; }

// The live file's folder, opened, with its name there; the folder's flags
// are read once, when first needed.
class Target {
public:
    explicit Target(const Resolved &live) : name(live.name) { err = open_folder(live, folder_); }
    [[nodiscard]] int folder() const { return folder_.get(); }
    bool keeps_names()
    {
        if (!read_)
            rules_ = folder_rules(folder_.get());
        read_ = true;
        return rules_.append_only || rules_.immutable;
    }

    const std::string name;
    Error err = 0; // of opening the folder

private:
    Fd folder_;
    bool read_ = false;
    FolderRules rules_;
};

Error copy(const char *stored_name, const char *live_name, bool fail_if_exists);
Error create(const File &src, const Resolved &live, uid_t caller);
Error put_in_place(const File &src, const Resolved &live, uid_t caller);

} // namespace

extern "C" BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists)
{
    const Error err = existing_name == nullptr || new_name == nullptr
                          ? EINVAL
                          : copy(existing_name, new_name, fail_if_exists != FALSE);
    if (err != 0)
        errno = err;
    return err == 0 ? TRUE : FALSE;
}

namespace {

// Why what the two names resolved to cannot be used, or 0: their kinds
// first, then whether the caller may take their ways. For a caller who
// cannot change user, each way with links on it is judged (`may_follow`),
// and a file with other names in a folder others may change is used only
// where the kernel keeps anyone from linking a file they may not write.
Error unusable(const Resolved &stored, const Resolved &live, uid_t caller, bool fail_if_exists)
{
    Error err = !stored.end.ok() ? ENOENT : unusable_stored(stored.st.st_mode);
    if (err == 0 && (live.end.ok() || live.dangling) && fail_if_exists)
        err = EEXIST;
    else if (err == 0)
        err = live.dangling ? ENOENT
              : live.end.ok() ? unusable_live(live.st.st_mode, same_file(live.st, stored.st))
                              : 0;
    if (err != 0 || caller == 0)
        return err;
    for (const auto &[r, want] : {std::pair{&stored, Access::read}, {&live, Access::write}}) {
        if (!may_follow(r->way, caller, want))
            return EACCES;
        if (r->end.ok() && r->st.st_nlink > 1 && others_may_write(r->folder, caller) && !hardlinks_protected())
            return EACCES;
    }
    return 0;
}

// Everything both resolutions met, and the folder a new live file would be
// made in.
std::vector<Step> met(const Resolved &stored, const Resolved &live)
{
    std::vector<Step> all = stored.way;
    all.insert(all.end(), live.way.begin(), live.way.end());
    if (!live.end.ok())
        all.push_back({live.folder, Node{}});
    return all;
}

// One try: both names resolved and what they found judged, then the copy
// made; or, for root, `as` set to the one other user who could have shaped
// the run, whose copy it is to be.
Error copy_once(const char *stored_name, const char *live_name, bool fail_if_exists, const Node &here, uid_t me,
                uid_t &as)
{
    Resolved stored, live;
    Error err = resolve(stored_name, here, stored);
    if (err == 0)
        err = resolve(live_name, here, live);
    if (err == 0)
        err = unusable(stored, live, me, fail_if_exists);
    if (err != 0)
        return err;
    if (me == 0) { // root, who alone may act as another user
        const Shapers who = shapers(met(stored, live), node(stored.st), me);
        if (who.count > 1)
            return EACCES;
        if (who.count == 1) {
            as = who.user;
            return 0;
        }
    }
    File src{Fd(), stored.st};
    if ((err = reopen(stored, O_RDONLY | O_NOCTTY | O_NONBLOCK, src.fd)) != 0 ||
        (err = within_size_limit(src.st.st_size)) != 0)
        return err;
    return live.end.ok() ? put_in_place(src, live, me) : create(src, live, me);
}

// Root acts alone only where nobody else could have shaped the run; with
// one other user, the whole copy is that user's, made with their rights, so
// the kernel judges it; with more, or anyone, it is nobody's to make.
Error copy(const char *stored_name, const char *live_name, bool fail_if_exists)
{
    const uid_t me = caller();
    uid_t as = me;
    struct stat here {};
    Error err = status(AT_FDCWD, here);
    // Twice at most: a live file that another run creates while this one
    // builds its own is then replaced like any other.
    for (int attempt = 0; err == 0; ++attempt) {
        err = copy_once(stored_name, live_name, fail_if_exists, node(here), me, as);
        if (err != EEXIST || fail_if_exists || attempt == 1)
            break;
        err = 0;
    }
    // Nothing of the caller's is open here any more.
    return err != 0 || as == me ? err : as_user(as, [&] { return copy(stored_name, live_name, fail_if_exists); });
}

// The stored copy's modification time, where the caller may set it: only the
// owner may, so a writer who is not keeps the time of the write, as the
// platform's own copy does for such a caller.
Error take_mtime(int fd, const struct stat &src)
{
    const Error err = set_mtime(fd, src.st_mtim);
    return may_not(err) ? 0 : err;
}

// The mode the file ends with, where it is not `mode` already: like the
// time, best effort for a writer who is not the owner.
Error give_final_mode(int fd, mode_t mode, const struct stat &src, bool set_id)
{
    const mode_t want = final_mode(mode, src.st_mode, set_id);
    const Error err = want == (mode & 07777) ? 0 : set_mode(fd, want);
    return may_not(err) ? 0 : err;
}

// Gives the new file the old one's owner, group, attributes and mode (as
// settled), in that order: a change of owner clears set-id bits and file
// capabilities, and the mode sets the access list's mask. Checked
// afterwards, as the kernel may quietly drop a set-gid bit the caller may
// not set.
Tried give_identity(int tmp, const File &old, const struct stat &src)
{
    const bool set_id = keeps_set_id(node(src), old.st.st_uid);
    const mode_t mode = final_mode(old.st.st_mode, src.st_mode, set_id);
    struct stat now {};
    if (const Error err = status(tmp, now); err != 0)
        return failed(err);
    Error err = 0;
    if (now.st_uid != old.st.st_uid || now.st_gid != old.st.st_gid)
        err = give_owner(tmp, old.st.st_uid, old.st.st_gid);
    if (err == 0)
        err = sync_xattrs(tmp, old.fd.get(), set_id);
    if (err == 0)
        err = set_mode(tmp, mode);
    if (err != 0)
        return refused_or_failed(err);
    if ((err = status(tmp, now)) != 0)
        return failed(err);
    const bool given = now.st_uid == old.st.st_uid && now.st_gid == old.st.st_gid && (now.st_mode & 07777) == mode;
    return given ? Tried{} : Tried{Verdict::in_place_instead, 0};
}

// The one order in which a new file is put under the live name, for a
// create (no old file, made with `mode`) and a replace alike: content,
// identity, time, flush, publish, flush the folder. Content comes before
// identity, as a write by the owner clears set-id bits. Unnamed first; a
// hidden name where unnamed files cannot be made or linked here, unless the
// folder keeps its names for ever.
Tried build_and_publish(const File &src, Target &live, const File *old, mode_t mode)
{
    Error refused = 0;
    for (const Naming kind : {Naming::unnamed, Naming::named}) {
        if (kind == Naming::named && live.keeps_names())
            return failed(refused);
        Temp tmp(live.folder());
        if (const Error err = tmp.create(live.name, mode, kind); err != 0) {
            refused = err;
            if (kind == Naming::unnamed)
                continue; // not every filesystem has unnamed files
            return refused_or_failed(err); // a folder the caller may not write
        }
        Error err = copy_content(src.fd.get(), tmp.fd(), src.st.st_size);
        if (err != 0)
            return failed(err);
        if (old != nullptr) {
            const Tried given = give_identity(tmp.fd(), *old, src.st);
            if (given.verdict != Verdict::done)
                return given;
        }
        if ((err = take_mtime(tmp.fd(), src.st)) != 0 || (err = flush(tmp.fd())) != 0)
            return failed(err);
        err = old != nullptr ? tmp.publish_over(live.name) : tmp.publish_new(live.name);
        if (err == 0) // in place, though not yet lasting if this fails
            return failed(flush(live.folder()));
        refused = err;
        if (kind == Naming::named || !lacks(err))
            return refused_or_failed(err); // say, a sticky folder
    }
    return failed(refused);
}

Error create(const File &src, const Resolved &live, uid_t caller)
{
    Target target(live);
    const mode_t mode =
        final_mode(new_file_mode(others_may_write(live.folder, caller), src.st.st_mode), src.st.st_mode, true);
    return target.err != 0 ? target.err : build_and_publish(src, target, nullptr, mode).err;
}

// The platform's way: the whole new size reserved, so a full disk fails
// before any byte changes, then the content written into the file itself;
// a write that fails part way gives the reservation back.
Error write_in_place(const File &src, const File &live)
{
    const off_t size = src.st.st_size;
    const int fd = live.fd.get();
    Error err = reserve(fd, size);
    if (err != 0)
        return err;
    err = copy_content(src.fd.get(), fd, size);
    if (err == 0)
        err = set_length(fd, size);
    if (err != 0) {
        (void)give_back(fd);
        return err;
    }
    err = take_mtime(fd, src.st);
    if (err == 0)
        err = give_final_mode(fd, live.st.st_mode, src.st, keeps_set_id(node(src.st), live.st.st_uid));
    return err != 0 ? err : flush(fd);
}

// Opening for writing asks the kernel the rest: ACLs, immutable files,
// read-only mounts, a lease held by another process. It is also the proof
// that writing in place is the caller's right.
Error put_in_place(const File &src, const Resolved &live, uid_t caller)
{
    File old{Fd(), live.st};
    if (const Error err = reopen(live, O_WRONLY | O_NOCTTY | O_NONBLOCK, old.fd); err != 0)
        return err;
    Target target(live);
    if (target.err != 0)
        return target.err;
    if (choose_placement(old.st.st_nlink, old.st.st_uid, caller, target.keeps_names()) == Placement::replace) {
        const Tried replaced = build_and_publish(src, target, &old, S_IRUSR | S_IWUSR);
        if (replaced.verdict != Verdict::in_place_instead)
            return replaced.err;
    }
    return write_in_place(src, old);
}

} // namespace
