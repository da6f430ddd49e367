// The plain-value decisions of the Linux CopyFileA; see rules.h.
#include "rules.h"

#include <algorithm>
#include <cerrno>

namespace linux_copy {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Judged from the permission bits alone: a group may hold anyone, and an
// access list may be changed later, so only the owner's and others' count.
bool grants(const Node &n, uid_t user, bool anyone, mode_t own, mode_t others)
{
    return (n.mode & others) != 0 || (!anyone && n.uid == user && (n.mode & own) != 0);
}

} // namespace

bool may_follow(const std::vector<Step> &way, uid_t caller, Access want)
{
    if (std::none_of(way.begin(), way.end(), [](const Step &s) { return S_ISLNK(s.entry.mode); }))
        return true;
    // Who could have put each entry where it lies: its owner, the folder's,
    // and anyone where others may write the folder. In a sticky folder only
    // the owners may move a folder; a link or a file anyone may move in.
    std::vector<uid_t> who;
    bool anyone = false;
    for (const Step &s : way) {
        who.insert(who.end(), {s.entry.uid, s.holder.uid});
        const bool kept = S_ISDIR(s.entry.mode) && (s.holder.mode & S_ISVTX) != 0 && !s.up;
        anyone = anyone || ((s.holder.mode & (S_IWGRP | S_IWOTH)) != 0 && !kept);
    }
    const Node &end = way.back().entry;
    const auto could = [&](uid_t user, bool any) {
        if (!any && (user == 0 || user == caller))
            return true;
        const bool ok = want == Access::read ? grants(end, user, any, S_IRUSR, S_IROTH)
                                             : grants(end, user, any, S_IWUSR, S_IWOTH);
        return ok && std::all_of(way.begin(), way.end(), [&](const Step &s) {
                   return grants(s.holder, user, any, S_IXUSR, S_IXOTH);
               });
    };
    return (!anyone || could(0, true)) && std::all_of(who.begin(), who.end(), [&](uid_t u) { return could(u, false); });
}

bool others_may_write(const Node &folder, uid_t caller)
{
    return (folder.mode & (S_IWGRP | S_IWOTH)) != 0 || (folder.uid != 0 && folder.uid != caller);
}

mode_t new_file_mode(bool shared_folder, mode_t stored)
{
    return shared_folder ? 0666 & stored : 0666;
}

bool keeps_set_id(uid_t stored_owner, uid_t live_owner)
{
    return stored_owner == 0 || stored_owner == live_owner;
}

mode_t settled_mode(mode_t mode, mode_t stored, bool set_id)
{
    mode &= 07777;
    if ((stored & kWriteBits) == 0)
        mode &= ~kWriteBits;
    return set_id ? mode : mode & ~mode_t{S_ISUID | S_ISGID};
}

// EOPNOTSUPP is ENOTSUP on Linux. EINVAL: flags or a pair of files this
// filesystem cannot serve; EXDEV: a copy between filesystems.
bool lacks(Error err) { return err == EOPNOTSUPP || err == ENOSYS || err == EINVAL || err == EXDEV; }

bool may_not(Error err) { return err == EPERM || err == EACCES; }

Way choose_way(std::uint64_t links, uid_t owner, uid_t caller, bool folder_keeps_names)
{
    return links == 1 && !folder_keeps_names && (caller == 0 || caller == owner) ? Way::replace
                                                                                : Way::write_in_place;
}

Outcome after_failed_step(Error err)
{
    return may_not(err) || lacks(err) ? Outcome::in_place_instead : Outcome::failed;
}

Error unusable_stored(mode_t mode)
{
    return S_ISREG(mode) ? 0 : S_ISDIR(mode) ? EISDIR : EINVAL;
}

Error unusable_live(mode_t mode, bool is_stored)
{
    const Error kind = unusable_stored(mode);
    return kind != 0 ? kind : is_stored ? EINVAL : (mode & kWriteBits) == 0 ? EACCES : 0;
}

bool has_room(std::uint64_t need, std::uint64_t held, const Space &space)
{
    return need <= held || need - held <= space.available * space.block;
}

} // namespace linux_copy
