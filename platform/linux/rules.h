// The decisions of the Linux CopyFileA that are made over plain values, so
// that each is written once and can be tested without touching a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace linux_copy {

// What the rules need to know of a file, a folder or a link.
struct Node {
    uid_t uid = 0;
    mode_t mode = 0; // type and permission bits, as in st_mode; 0: not there
    gid_t gid = 0;
    nlink_t links = 1;
};
inline Node node(const struct stat &st) { return {st.st_uid, st.st_mode, st.st_gid, st.st_nlink}; }

// One entry met on the way to a file, in the folder that holds it. `up` is
// a "..": the folder above, which those who may move `holder` can change.
struct Step {
    Node holder, entry;
    bool up = false;
};

enum class Access { read, write };

// Who besides root and the caller could have shaped a run: changed which
// file it reads or writes, or what the stored copy holds. `met` is every
// entry both names' resolutions met, and the folder a missing live file
// would be made in, with an entry not there. Counted: the stored copy's
// owner; each folder's owner; the owner of an entry in a folder others may
// write; anyone, for a folder its group or others may write without the
// sticky bit, for a stored copy its group or others may write, and for a
// file of root's or the caller's with other names in a folder others may
// write (a name made before the file was theirs).
struct Shapers {
    int count = 0;  // nobody, one, or 2 for more, or anyone
    uid_t user = 0; // the one
};
Shapers shapers(const std::vector<Step> &met, const Node &stored, uid_t caller);

// The rights a user is given: the primary group and the groups that name
// the user, as `passwd` and `group` (the files' text) list them. A user not
// listed there is given none: any group would lend that group's rights.
struct Rights {
    bool listed = false;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};
Rights rights_of(uid_t user, const std::string &passwd, const std::string &group);

// For a caller who cannot change user: whether a way with links on it may be followed for `want`: only if
// everyone who could have put an entry on it where it lies may themselves
// `want` the file at its end, and search every folder on the way. A way
// without links is the caller's own and always may.
bool may_follow(const std::vector<Step> &way, uid_t caller, Access want);

// Whether others than root and the caller may change what a folder holds.
bool others_may_write(const Node &folder, uid_t caller);

// The mode a new live file asks for: in a folder others may change, never
// more open than the stored copy.
mode_t new_file_mode(bool shared_folder, mode_t stored);

// Set-id bits and file capabilities stay only on content from root or from
// the live file's own owner, that nobody else may write, as the kernel
// drops them on another's write.
bool keeps_set_id(const Node &stored, uid_t live_owner);

// The permission bits a live file of `mode` ends with: no write bit if the
// stored copy has none, and no set-id bit unless it `keeps_set_id`.
mode_t final_mode(mode_t mode, mode_t stored, bool set_id);

// 0, or the error number of what failed.
using Error = int;

// What an error says, each spelled once: the filesystem (or kernel) lacks
// what was asked of it, or the caller may not do it here.
bool lacks(Error err);
bool may_not(Error err);

// How an existing live file is put in place, and what became of a try.
enum class Placement { replace, write_in_place };
enum class Verdict { done, in_place_instead, failed };

// Replaced wherever a new file can take the live one's place unchanged
// (no other name, a folder that lets names go, an owner the caller can
// give); otherwise written in place, as the platform does.
Placement choose_placement(std::uint64_t links, uid_t owner, uid_t caller, bool folder_keeps_names);

// A failed step of a replace: a refusal means writing in place instead, a
// disk or filesystem failing means the copy fails.
Verdict after_failed_step(Error err);

// Why a file found under the stored or the live name cannot be used, or 0:
// only a regular file is ever opened; the live file is neither the stored
// copy under another name nor read-only (no write bit, even for root, as on
// the platform).
Error unusable_stored(mode_t mode);
Error unusable_live(mode_t mode, bool is_stored);

// A filesystem's free space, in blocks of `block` bytes: `available` to
// anyone, `free` counting those kept for root.
struct Space {
    std::uint64_t block = 0, free = 0, available = 0;
};

// Whether `need` bytes fit a file that holds `held` where space cannot be
// reserved: only what anyone may use counts, so no write runs out part way.
bool has_room(std::uint64_t need, std::uint64_t held, const Space &space);

} // namespace linux_copy
