// The one result format of the benchmark suite. Each benchmark program
// appends lines "metric<TAB>value<TAB>unit<TAB>aim" to the file named by
// the environment variable DV_BENCH_RESULTS (scripts/bench sets it and turns
// the lines into the table and build/bench-results.json), and also prints
// them, so a program run by hand shows its figures.
//
// An aim is empty (a figure for information) or "<op> <number>" with op one
// of >=, >, <=, <; scripts/bench decides "met" from it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace dvbench {

inline void Result(const std::string& metric, double value, const std::string& unit,
                   const std::string& aim = "") {
  std::printf("RESULT %-44s %14.3f %-8s %s\n", metric.c_str(), value, unit.c_str(), aim.c_str());
  std::fflush(stdout);
  const char* path = std::getenv("DV_BENCH_RESULTS");
  if (path == nullptr || *path == '\0') return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\t%.3f\t%s\t%s\n", metric.c_str(), value, unit.c_str(), aim.c_str());
    std::fclose(f);
  }
}

}  // namespace dvbench
