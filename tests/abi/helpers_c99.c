/* Every SDK helper called once, compiled as plain C99 here and, through
 * test_01_helpers.cpp, as C++: both must raise the same records. Also
 * compiled for the 32-bit ARM target by the armv7 checks. */
#include "plugin_api/helpers.h"

void dv_helpers_raise_each(PluginEventCallbackFn raise);

void dv_helpers_raise_each(PluginEventCallbackFn raise) {
  char text[16];
  static char block[4] = "blk";
  dv_log(raise, 0x00420000u, 50, text, sizeof text, "%s %d", "started", 7);
  dv_log(raise, 0x00420000u, 100, text, sizeof text, "%s", "a text longer than the buffer");
  dv_log(raise, 0x00420000u, 25, text, sizeof text, "%s", "");
  dv_query_log_level(raise, 0x00420000u);
  dv_release(raise, 0x00420000u, block);
  dv_send_to_parent(raise, 0x00420000u, block, 3);
  dv_raise_read_request(raise, DV_EVENT_CLASS3, 0x01000004u, (void*)block, "req", 3);
  dv_raise_reply(raise, 0x00420000u, DV_EVENT_CLASS3, 0x4u, (void*)block, "rep", 3);
  dv_close_request(raise, (void*)block);
  dv_raise_config(raise, 0x00420000u, "<U/>", 4);
  dv_raise_event(raise, 0x00420000u, DV_EVENT_VIDEO | DV_EVENT_CLASS8, DV_FLAG_VIDEO, NULL, 0);
}
