/* The one stdio declaration the SDK helpers use, for compiling them for the
 * 32-bit ARM target where no ARM C library is installed: the armv7 checks
 * are syntax checks only (the cross-build compiles against the real one). */
#ifndef DV_ARMV7_CHECK_STDIO_H
#define DV_ARMV7_CHECK_STDIO_H
#include <stdarg.h>
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
int vsnprintf(char* s, size_t n, const char* format, va_list args);
#ifdef __cplusplus
}
#endif
#endif
