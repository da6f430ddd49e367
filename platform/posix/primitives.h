// The file operations the POSIX CopyFileA is built from, each doing one
// thing and reporting failure through errno; which of them run, in what
// order, and what a failure means is decided in copy_file.cpp. Linux only:
// O_TMPFILE, copy_file_range, renameat2, FS_IOC_GETFLAGS and /proc.
#pragma once

#include <string>

#include <sys/stat.h>
#include <sys/types.h>

namespace posix_copy {

// Sets errno and returns false, for `return cond || fail(E)`.
bool fail(int err);

// An open descriptor, closed on scope exit without disturbing errno.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
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

// A file name split into an open directory and the last component in it.
struct Place {
    Fd dir;
    std::string name;
};
bool open_place(const std::string &path, Place &place);

// Where the kernel says an open descriptor leads, as an absolute path.
bool path_of(int fd, std::string &path);

// Whether names in a directory may be removed or renamed.
struct DirRules {
    bool append_only = false;
    bool immutable = false;
};
DirRules dir_rules(int dir);

// Which kinds of temporary file may be made.
enum Naming : unsigned {
    kUnnamed = 1U, // O_TMPFILE: nothing is left behind by a crash
    kNamed = 2U,   // a hidden name beside the live one, removed unless published
};

// The file new content is built in, beside the live name; removed again
// unless it was published.
class Temp {
public:
    explicit Temp(int dir) noexcept : dir_(dir) {}
    ~Temp();
    Temp(const Temp &) = delete;
    Temp &operator=(const Temp &) = delete;

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool unnamed() const noexcept { return name_.empty(); }

    // Unnamed where `allowed` has it and the filesystem can, else named
    // where `allowed` has that.
    bool create(const std::string &live_name, mode_t mode, unsigned allowed);
    // Gives the file the name, which must not exist (EEXIST, atomically).
    bool publish_new(const std::string &name);
    // Puts the file in place of whatever has the name.
    bool publish_over(const std::string &name);

private:
    bool link_unnamed(const std::string &name);

    int dir_;
    Fd fd_;
    std::string name_;
};

// The source's first `size` bytes to the start of dst: in the kernel where
// it can, else by hand in fixed memory.
bool copy_content(int src, int dst, off_t size);

// fsync; a filesystem that has no flush at all counts as flushed.
bool flush(int fd);

// Makes tmp's extended attributes (access lists included) exactly old's.
bool copy_xattrs(int tmp, int old);

// Whether a file of `size` bytes may be written without SIGXFSZ part way
// (EFBIG if not).
bool within_size_limit(off_t size);

// Room for `size` bytes in the file, taken before any byte of it changes.
bool reserve(int fd, off_t size);

} // namespace posix_copy
