/* time_t as glibc declares it for the 32-bit ARM target: 32 bits unless the
 * build asks for 64-bit time, for compiling the SDK headers for that target
 * where no ARM C library is installed (the cross-build compiles against the
 * real one). */
#ifndef DV_ARMV7_CHECK_TIME_H
#define DV_ARMV7_CHECK_TIME_H
#if defined(_TIME_BITS) && _TIME_BITS == 64
typedef long long time_t;
#else
typedef long time_t;
#endif
#endif
