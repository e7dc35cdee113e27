// Making a file set-user-ID root, and the copies that lead up to it, such
// that the program can load nothing from a path anyone but root can write.
//
// A set-user-ID root program runs its loader as root: every folder its
// library search path names, and the folder it lies in, decide whose code
// runs as root. MakeSetUserIdRoot therefore refuses, changing nothing, a
// file that
//   - has an empty or relative DT_RPATH or DT_RUNPATH entry (the loader
//     reads those from the current folder, which the invoker chooses);
//   - is not a regular file with one link, or not root's (another name for
//     it could lie in a folder someone else controls);
//   - lies in a folder that is not root's or is writable by group or
//     others, or below one such, but for sticky folders above its own
//     (like /tmp, where nobody can rename another's entry).
// Owner and mode are set through the descriptor opened with O_NOFOLLOW and
// checked, so what was checked is what becomes set-user-ID.
//
// Plain functions: any thread, but each changes the file system.
#pragma once

#include <sys/types.h>

#include <string>

namespace dvsafety {

// Owner root, group `group`, then `mode` (which holds S_ISUID). "" on
// success, else why nothing was changed (or, after a failed fchown or
// fchmod, what failed).
std::string MakeSetUserIdRoot(const std::string& file, gid_t group, mode_t mode);

// "" when the folder `dir` and every folder above it are root's and
// writable by root alone, the folders above `dir` also when sticky; else
// the first that is not, and why.
std::string UnsafeFolders(const std::string& dir);

// Copies the regular file `from` to the new file `to` (O_EXCL), never
// through a symbolic link at either end: a link, or anything but a regular
// file, is refused. The copy gets group `group` (unless gid_t(-1)) and then
// exactly `mode`, both through its descriptor. "" on success, else the
// reason (a partial `to` is removed).
std::string CopyRegularFile(const std::string& from, const std::string& to, mode_t mode,
                            gid_t group = gid_t(-1));

// Takes the set-user-ID and set-group-ID bits off `file` (not following a
// link). Async-signal-safe: a signal handler may call it on a path built
// beforehand. True when no such bit is left.
bool ClearSetId(const char* file);

}  // namespace dvsafety
