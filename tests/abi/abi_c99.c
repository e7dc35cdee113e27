/* Compiles the plugin SDK headers as plain C: a C plugin includes exactly
 * these, and on a 32-bit target their static assertions pin every offset. */
#include "plugin_api/plugin.h"

int dv_abi_c_record_sizes(void) {
  _EventParmsIn in;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  __builtin_memset(&in, 0, sizeof in);
  in.size = sizeof in;
  return (int)(in.size + out.size);
}
