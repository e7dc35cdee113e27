/* The string declarations the SDK helpers use; see stdio.h here. */
#ifndef DV_ARMV7_CHECK_STRING_H
#define DV_ARMV7_CHECK_STRING_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
void* memset(void* s, int c, size_t n);
#ifdef __cplusplus
}
#endif
#endif
