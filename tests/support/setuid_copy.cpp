#include "support/setuid_copy.h"

#include "safety/setuid_file.h"

namespace dvtest {

std::string MakeSetUserIdRoot(const std::string& file) {
  return dvsafety::MakeSetUserIdRoot(file, 0, 04755);
}

}  // namespace dvtest
