/*
 * The smallest useful plugin, built outside the core's tree against the
 * installed SDK: it says hello when loaded and logs every event it gets.
 *
 *   cmake -S examples/sdk-hello -B hello-build -DCMAKE_PREFIX_PATH=<prefix>
 *   cmake --build hello-build        # -> hello-build/hello.so
 *
 * or, with pkg-config:
 *
 *   cc -shared -fPIC $(pkg-config --cflags devovor-plugin) hello.c -o hello.so
 */
#include "plugin_api/helpers.h"

#define HELLO_ID 0x00420000u /* kind 0x42 */

static PluginEventCallbackFn g_raise;

DV_EXPORT int32_t Load(void* in, void* out) {
  const _LoadParmsIn* load = (const _LoadParmsIn*)in;
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  char text[64];
  g_raise = load->PluginEventCallback;
  result->id = HELLO_ID;
  dv_log(g_raise, HELLO_ID, 50, text, sizeof text, "hello from an SDK plugin");
  return 0;
}
