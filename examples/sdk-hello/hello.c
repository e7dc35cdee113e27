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
#include <string.h>

#include "plugin_api/plugin.h"

static PluginEventCallbackFn g_raise;

static void say(const char* text, int32_t level) {
  _EventParmsIn in;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.providerID = 0x00420000u;
  in.eventType = DV_EVENT_LOG;
  in.flags = DV_FLAG_LOG_MESSAGE;
  in.level = level;
  in.data = (void*)text;
  in.len = (uint32_t)strlen(text) + 1;
  g_raise(&in, &out);
}

DV_EXPORT int32_t Load(void* in, void* out) {
  const _LoadParmsIn* load = (const _LoadParmsIn*)in;
  _LoadParmsOut* result = (_LoadParmsOut*)out;
  g_raise = load->PluginEventCallback;
  result->id = 0x00420000u;  /* kind 0x42 */
  say("hello from an SDK plugin", 50);
  return 0;
}
