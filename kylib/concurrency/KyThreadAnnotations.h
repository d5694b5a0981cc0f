// Thread-safety annotations: capability attributes for clang's -Wthread-safety.
//
// The lock classes of KySync.h carry them, and state guarded by a lock can say so with
// KY_GUARDED_BY, so that a clang build with -Wthread-safety proves such state is only
// touched under its lock. Other compilers see nothing: every macro expands to nothing.
// Owns nothing; a header of macros only.
#pragma once

#if defined(__clang__)
#define KY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KY_THREAD_ANNOTATION(x)
#endif

// On a class: objects of it are locks (capabilities) of the named kind.
#define KY_CAPABILITY(kind) KY_THREAD_ANNOTATION(capability(kind))
// On a class: an object holds a lock from its construction to its destruction.
#define KY_SCOPED_CAPABILITY KY_THREAD_ANNOTATION(scoped_lockable)

// On data: read and written only while the lock is held.
#define KY_GUARDED_BY(lock) KY_THREAD_ANNOTATION(guarded_by(lock))
// On a pointer: what it points to is read and written only while the lock is held.
#define KY_PT_GUARDED_BY(lock) KY_THREAD_ANNOTATION(pt_guarded_by(lock))

// On functions: what they take, give back or need. With no argument inside a lock
// class, the lock is the object itself.
#define KY_ACQUIRE(...) KY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KY_ACQUIRE_SHARED(...) KY_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define KY_RELEASE(...) KY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KY_RELEASE_SHARED(...) KY_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define KY_TRY_ACQUIRE(...) KY_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KY_REQUIRES(...) KY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KY_REQUIRES_SHARED(...) KY_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define KY_EXCLUDES(...) KY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// On a function whose locking the analysis cannot follow (a lock's own implementation,
// a hold handed between threads).
#define KY_NO_THREAD_SAFETY_ANALYSIS KY_THREAD_ANNOTATION(no_thread_safety_analysis)
