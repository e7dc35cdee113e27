// Plugin discovery: which files are plugins, and in which order they load.
//
// The candidates are the regular files (symbolic links followed) with the
// exact extension ".so" directly inside `plugins` and `protected-plugins`
// beside the executable; subdirectories are not entered. They are ordered
// with every path containing the marker "vUZUvi" first, then by path,
// element by element, each compared byte for byte: so every candidate of
// `plugins` comes before every candidate of `protected-plugins`.
//
// File-system errors are swallowed: an entry that cannot be examined is
// skipped, a directory that cannot be listed contributes what it yielded.
// Runs on the main thread, before any plugin code.
#pragma once

#include <string>
#include <vector>

namespace dv {

// Appends the qualifying files directly inside `directory`.
void ScanDirectory(const std::string& directory, const std::string& extension,
                   std::vector<std::string>* candidates);

// Sorts candidates into load order.
void OrderCandidates(std::vector<std::string>* candidates);

// The ordered candidates beside the executable at `executablePath`.
std::vector<std::string> DiscoverPlugins(const std::string& executablePath);

}  // namespace dv
