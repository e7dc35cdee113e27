// Lock annotations for clang's thread-safety analysis, on the model of
// LevelDB's: which lock guards a member, which lock a function needs held
// or must not hold, and the order in which two locks may be taken.
//
// With clang and -Wthread-safety (the build option DV_THREAD_SAFETY, run by
// scripts/thread-safety) the compiler checks every access to a guarded
// member and every lock and unlock against them. Other compilers see the
// macros as empty, so the annotations cost nothing anywhere.
//
// The lock types of the core that carry these annotations are in
// platform/mutex.h. The analysis of ACQUIRED_BEFORE and ACQUIRED_AFTER is
// part of clang's -Wthread-safety-beta, which DV_THREAD_SAFETY enables too.
#pragma once

#if defined(__clang__)
#define DV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DV_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks; `x` names the kind in the warnings.
#define CAPABILITY(x) DV_THREAD_ANNOTATION(capability(x))
// A class whose objects hold a lock from construction to destruction.
#define SCOPED_CAPABILITY DV_THREAD_ANNOTATION(scoped_lockable)

// A member read and written only with the lock `x` held.
#define GUARDED_BY(x) DV_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose pointee is read and written only with `x` held.
#define PT_GUARDED_BY(x) DV_THREAD_ANNOTATION(pt_guarded_by(x))

// The locks this one is taken before, or after, when both are held.
#define ACQUIRED_BEFORE(...) DV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) DV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds these locks (exclusively, or at least shared).
#define REQUIRES(...) DV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) DV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))

// The function takes the locks (exclusively, or shared) and returns with
// them held; without arguments, the object it is called on.
#define ACQUIRE(...) DV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) DV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))

// The function releases locks the caller held (exclusively, or shared).
#define RELEASE(...) DV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) DV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))

// The caller must not hold these locks: the function takes them itself.
#define EXCLUDES(...) DV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function returns a reference to the lock `x`.
#define RETURN_CAPABILITY(x) DV_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function. Every use says why beside it.
#define NO_THREAD_SAFETY_ANALYSIS DV_THREAD_ANNOTATION(no_thread_safety_analysis)
