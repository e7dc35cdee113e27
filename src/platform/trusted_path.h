// Whether a path holds only what root put there: the check a set-user-ID
// core makes before it runs any code it finds on disk.
//
// A path is root's alone when no one but root can change what it names,
// now or later:
//   - every folder on the way, from "/" down, is a folder owned by root
//     that neither its group nor others can write; a folder above the last
//     one may instead carry the sticky bit (as /tmp does), where others may
//     add entries but cannot rename or remove root's;
//   - every symbolic link on the way is followed by hand, and the folders
//     of its target are judged the same way; a link in a folder that others
//     can write (a sticky one) must be root's own;
//   - the last element is what the caller expects (a folder, or a regular
//     file), owned by root and writable by neither group nor others, and
//     the folder that holds a file is one of root's alone (no sticky
//     exception there).
// Nothing is opened or changed; only lstat and readlink are called. The
// verdict holds for as long as root does not change the files: no one else
// can replace anything on the path between the check and its use.
//
// Any thread; no state.
#pragma once

#include <string>

namespace dv {

enum class PathKind {
  kFolder,
  kFile,
  // A folder, or a name no one but root can create: every folder down to
  // the first missing element is root's alone, and that last one is not
  // open to others even with the sticky bit.
  kFolderIfPresent,
};

// Empty when `path` (absolute) is root's alone as `kind`; otherwise why
// not, naming the element at fault, e.g. "/home/u is owned by user 1000".
std::string WhyNotRootsAlone(const std::string& path, PathKind kind);

}  // namespace dv
