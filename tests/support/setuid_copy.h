// Set-user-ID root copies of the core for the privilege tests, made only
// where they can load nothing others can write (tools/safety/setuid_file.h
// says what is checked).
#pragma once

#include <string>

namespace dvtest {

// Makes the root-owned copy `file` set-user-ID root (mode 04755), through an
// open descriptor (O_NOFOLLOW, fchown, fchmod). Refuses, changing nothing, when
// the file's RPATH/RUNPATH has an empty or relative entry, when it is not a
// regular file with one link, or when its folder or any folder above it is not
// root's or is writable by group or others (a sticky folder above, like /tmp,
// is allowed). Returns "" on success, else the reason.
std::string MakeSetUserIdRoot(const std::string& file);

}  // namespace dvtest
