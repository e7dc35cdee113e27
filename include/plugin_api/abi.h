/*
 * devovor plugin SDK: portability macros shared by the record headers.
 *
 * Plain C99 and C++. Nothing here allocates or links: the headers only
 * describe memory layouts and constants.
 */
#ifndef DEVOVOR_PLUGIN_API_ABI_H
#define DEVOVOR_PLUGIN_API_ABI_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
#define DV_EXTERN_C extern "C"
#define DV_BEGIN_DECLS extern "C" {
#define DV_END_DECLS }
#else
#define DV_EXTERN_C
#define DV_BEGIN_DECLS
#define DV_END_DECLS
#endif

/* Marks a plugin entry point for export under its plain, unmangled name. */
#define DV_EXPORT DV_EXTERN_C __attribute__((visibility("default")))

/*
 * Compile-time check usable at file scope in C99, C11 and C++.
 * C99 has no _Static_assert, so it falls back to a negative array size.
 */
#define DV_CONCAT_(a, b) a##b
#define DV_CONCAT(a, b) DV_CONCAT_(a, b)
#if defined(__cplusplus)
#define DV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define DV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define DV_STATIC_ASSERT(cond, msg) \
  typedef char DV_CONCAT(dv_static_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

/*
 * The appliance is a 32-bit target: there every record has the exact byte
 * layout that plugins built elsewhere rely on, and the headers pin it.
 * On a 64-bit host the same declarations give the natural C layout.
 */
#if UINTPTR_MAX == 0xffffffffu
#define DV_ABI_32BIT 1
#else
#define DV_ABI_32BIT 0
#endif

/* Pins an offset on the 32-bit target only. */
#if DV_ABI_32BIT
#define DV_PIN_OFFSET(type, field, off) \
  DV_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")
#define DV_PIN_SIZE(type, sz) \
  DV_STATIC_ASSERT(sizeof(type) == (sz), #type " size")
#else
#define DV_PIN_OFFSET(type, field, off) \
  DV_STATIC_ASSERT(offsetof(type, field) >= (off), #type "." #field " order")
#define DV_PIN_SIZE(type, sz) \
  DV_STATIC_ASSERT(sizeof(type) >= (sz), #type " size")
#endif

/*
 * A 64-bit time_t, as the core has: a 32-bit one runs out in January 2038.
 * On a 32-bit glibc target (2.34 or later) build with
 *   -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64
 * which the SDK's CMake package, pkg-config module and toolchain file add.
 */
DV_STATIC_ASSERT(sizeof(time_t) == 8,
                 "time_t must be 64 bits: build with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64");

#endif /* DEVOVOR_PLUGIN_API_ABI_H */
