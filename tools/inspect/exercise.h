#pragma once
#include <ostream>
#include <string>
namespace dvinspect {
struct ExerciseOptions {
  std::string plugin;
  std::string core;
  double seconds = 3;
  bool valgrind = false;
};
int Exercise(const ExerciseOptions& options, std::ostream& out);
}  // namespace dvinspect
