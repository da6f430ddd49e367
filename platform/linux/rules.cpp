// The plain-value decisions of the Linux CopyFileA; see rules.h.
#include "rules.h"

#include <algorithm>
#include <cerrno>
#include <string>

namespace linux_copy {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Whether others than the owner may write it, by its group or as anyone
// (an access list's grants show in the group bits).
bool shared_write(const Node &n) { return (n.mode & (S_IWGRP | S_IWOTH)) != 0; }

// Judged from the permission bits alone: a group may hold anyone, and an
// access list may be changed later, so only the owner's and others' count.
bool grants(const Node &n, uid_t user, bool anyone, mode_t own, mode_t others)
{
    return (n.mode & others) != 0 || (!anyone && n.uid == user && (n.mode & own) != 0);
}

} // namespace

Shapers shapers(const std::vector<Step> &met, const Node &stored, uid_t caller)
{
    Shapers who;
    const auto count = [&](uid_t uid) {
        if (uid == 0 || uid == caller || (who.count == 1 && uid == who.user))
            return;
        who.user = who.count == 0 ? uid : who.user;
        who.count = std::min(who.count + 1, 2);
    };
    count(stored.uid);
    if (shared_write(stored))
        who.count = 2;
    for (const Step &s : met) {
        const bool shared = others_may_write(s.holder, caller);
        const bool mine = s.entry.uid == 0 || s.entry.uid == caller;
        count(s.holder.uid);
        if (shared && s.entry.mode != 0)
            count(s.entry.uid);
        if ((shared_write(s.holder) && (s.holder.mode & S_ISVTX) == 0) ||
            (shared && mine && S_ISREG(s.entry.mode) && s.entry.links > 1))
            who.count = 2;
    }
    return who;
}

namespace {

// The lines of a system file, each split at its colons.
std::vector<std::vector<std::string>> records(const std::string &text)
{
    std::vector<std::vector<std::string>> all;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::vector<std::string> fields(1);
        for (size_t i = at; i < end; ++i) {
            if (text[i] == ':')
                fields.emplace_back();
            else
                fields.back().push_back(text[i]);
        }
        all.push_back(std::move(fields));
        at = end + 1;
    }
    return all;
}

// A number field, or -1 where it is not one.
long long number(const std::string &field)
{
    if (field.empty() || field.size() > 10 || field.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(field);
}

} // namespace

Rights rights_of(uid_t user, const std::string &passwd, const std::string &group)
{
    for (const auto &entry : records(passwd)) {
        if (entry.size() < 4 || number(entry[2]) != static_cast<long long>(user) || number(entry[3]) < 0)
            continue;
        Rights r{true, static_cast<gid_t>(number(entry[3])), {}};
        r.groups.push_back(r.gid);
        for (const auto &g : records(group)) {
            if (g.size() < 4 || number(g[2]) < 0)
                continue;
            const std::string members = "," + g[3] + ",";
            if (members.find("," + entry[0] + ",") != std::string::npos)
                r.groups.push_back(static_cast<gid_t>(number(g[2])));
        }
        return r;
    }
    return {};
}

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
        anyone = anyone || (shared_write(s.holder) && !kept);
    }
    std::sort(who.begin(), who.end()); // each judged once: no cost of owners times steps
    who.erase(std::unique(who.begin(), who.end()), who.end());
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
    return shared_write(folder) || (folder.uid != 0 && folder.uid != caller);
}

mode_t new_file_mode(bool shared_folder, mode_t stored)
{
    return shared_folder ? 0666 & stored : 0666;
}

bool keeps_set_id(const Node &stored, uid_t live_owner)
{
    return (stored.uid == 0 || stored.uid == live_owner) && !shared_write(stored);
}

mode_t final_mode(mode_t mode, mode_t stored, bool set_id)
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

Placement choose_placement(std::uint64_t links, uid_t owner, uid_t caller, bool folder_keeps_names)
{
    return links == 1 && !folder_keeps_names && (caller == 0 || caller == owner) ? Placement::replace
                                                                                : Placement::write_in_place;
}

Verdict after_failed_step(Error err)
{
    return may_not(err) || lacks(err) ? Verdict::in_place_instead : Verdict::failed;
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
