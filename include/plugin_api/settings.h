/*
 * devovor plugin SDK: a plugin's own settings file.
 *
 * The core configures plugins only through configuration updates (IOCTL 2).
 * Settings a plugin needs before that, in Load, are its own business; the
 * simplest home for them is a text file beside the plugin's shared object,
 * which the installer can change without rebuilding the plugin and which
 * moves with the plugin when it is copied under another name:
 *
 *   plugins/recorder.so
 *   plugins/recorder.conf      # one key=value a line
 *
 *   static int g_segment = 60;
 *   static void apply(const char* key, const char* value, void* context) {
 *     if (strcmp(key, "segment_seconds") == 0) g_segment = atoi(value);
 *   }
 *   ... in Load: dv_read_settings(&g_segment, apply, NULL);
 *
 * dladdr() finds the file, so define _GNU_SOURCE before the first system
 * header (or build with -D_GNU_SOURCE). Plain C99 and C++, header only,
 * static inline; it reads the file with stdio on the caller's thread and
 * keeps nothing.
 */
#ifndef DEVOVOR_PLUGIN_API_SETTINGS_H
#define DEVOVOR_PLUGIN_API_SETTINGS_H

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "plugin_api/abi.h"

DV_BEGIN_DECLS

/* The longest line read whole; the rest of a longer one is dropped. */
#define DV_SETTINGS_LINE_MAX 4095

typedef void (*DvSettingFn)(const char* key, const char* value, void* context);

/* Reads "<stem>.conf" beside the shared object that holds `anchor` (any
 * function or variable of the plugin), <stem> being that object's file name
 * without ".so", and calls apply(key, value, context) for every "key=value"
 * line, in file order. The key is the text before the first '=', the value
 * everything after it, both as written (no blanks removed); the line end
 * ("\n" or "\r\n") is not part of the value. Lines without '=' and lines
 * that begin with '#' are skipped. Returns 1 when the file was read, 0 when
 * it does not exist or cannot be opened (the plugin keeps its defaults). */
static inline int dv_read_settings(const void* anchor, DvSettingFn apply, void* context) {
  Dl_info info;
  char path[4096];
  char line[DV_SETTINGS_LINE_MAX + 1];
  size_t n;
  FILE* file;
  if (dladdr(anchor, &info) == 0 || info.dli_fname == NULL) return 0;
  n = strlen(info.dli_fname);
  if (n > 3 && strcmp(info.dli_fname + n - 3, ".so") == 0) n -= 3;
  if (n + sizeof ".conf" > sizeof path) return 0;
  memcpy(path, info.dli_fname, n);
  memcpy(path + n, ".conf", sizeof ".conf");
  file = fopen(path, "r");
  if (file == NULL) return 0;
  while (fgets(line, sizeof line, file) != NULL) {
    char* eq;
    if (strchr(line, '\n') == NULL && !feof(file)) {
      int c; /* a line too long: drop its rest */
      while ((c = fgetc(file)) != EOF && c != '\n') {
      }
    }
    line[strcspn(line, "\r\n")] = '\0';
    eq = strchr(line, '=');
    if (line[0] == '#' || eq == NULL) continue;
    *eq = '\0';
    apply(line, eq + 1, context);
  }
  fclose(file);
  return 1;
}

DV_END_DECLS

#endif /* DEVOVOR_PLUGIN_API_SETTINGS_H */
