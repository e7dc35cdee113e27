/*
 * A plugin that needs a library of its own, and that library, from one
 * source: libdv_lib_probe.so (built with DV_LIB_PROBE) defines
 * dv_lib_probe_id, and lib_user.so takes its ID from it in Load. The
 * plugin names the library without a path and carries no search path of
 * its own, so it loads only where the core's own library search path
 * (lib/ beside the core) finds the library.
 */
#include "plugin_api/helpers.h"

uint32_t dv_lib_probe_id(void);

#ifdef DV_LIB_PROBE
uint32_t dv_lib_probe_id(void) { return 0x00430000u; } /* kind 0x43 */
#else
DV_EXPORT int32_t Load(void* in, void* out) {
  (void)in;
  ((_LoadParmsOut*)out)->id = dv_lib_probe_id();
  return 0;
}
#endif
