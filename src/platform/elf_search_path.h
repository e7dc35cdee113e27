// The library search path an ELF file names: its DT_RPATH and DT_RUNPATH
// entries, read from the file's own dynamic segment as the dynamic loader
// reads it (program headers, not sections, which a stripped file may lack).
// 32- and 64-bit little-endian files, so the appliance's armhf programs are
// read on the build machine too.
//
// Why it matters: the loader reads an empty entry as the current folder and
// a relative one from the current folder, also for a set-user-ID program.
// Such a program, started by anyone from a folder of their own, loads their
// library as root. Safe entries are absolute, or begin with $ORIGIN (the
// program's own folder, which the loader ignores for a set-user-ID start).
//
// Plain functions, no state: any thread.
#pragma once

#include <string>
#include <vector>

namespace dv {

struct ElfSearchPath {
  bool elf = false;  // false: not an ELF file this reader knows (no search path then)
  std::vector<std::string> rpath;    // DT_RPATH, split on ':'
  std::vector<std::string> runpath;  // DT_RUNPATH, split on ':'
  std::vector<std::string> needed;   // DT_NEEDED, in order
};

// Reads the open file `fd` (its offset is left alone). False, with `error`
// set, when it cannot be read or is an ELF file whose dynamic segment does
// not hold together; a file that is not ELF at all returns true with
// `elf` false.
bool ReadElfSearchPath(int fd, ElfSearchPath* out, std::string* error);
bool ReadElfSearchPath(const std::string& file, ElfSearchPath* out, std::string* error);

// Non-empty and absolute, or beginning with the $ORIGIN token ("$ORIGIN"
// or "${ORIGIN}", then the end or a '/').
bool IsSafeSearchEntry(const std::string& entry);

// Every entry safe (an empty list is).
bool AllSafeSearchEntries(const std::vector<std::string>& entries);

// "" when both lists are safe, else which one holds which unsafe entry, e.g.
// "DT_RPATH entry 2 is empty (\"$ORIGIN/lib::\")".
std::string UnsafeSearchPath(const ElfSearchPath& path);

}  // namespace dv
