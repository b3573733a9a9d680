// Which lock guards which state, written so that clang checks it
// (-Wthread-safety): a field read or written without its lock, a function
// called without the lock it requires, a lock taken twice or never released
// are compile errors in the thread-safety build. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define VELMORA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELMORA_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(x) VELMORA_THREAD_ANNOTATION(capability(x))
// A class that holds a lock for its own lifetime (an RAII guard).
#define SCOPED_CAPABILITY VELMORA_THREAD_ANNOTATION(scoped_lockable)

// A field read or written only with the lock held.
#define GUARDED_BY(x) VELMORA_THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is read or written only with the lock held.
#define PT_GUARDED_BY(x) VELMORA_THREAD_ANNOTATION(pt_guarded_by(x))

// Locks a function takes and keeps, or gives back, or takes when it returns true.
#define ACQUIRE(...) VELMORA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VELMORA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VELMORA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// Locks the caller must hold, or must not hold, when it calls.
#define REQUIRES(...) VELMORA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VELMORA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// Lock order between two locks.
#define ACQUIRED_BEFORE(...) VELMORA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VELMORA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// A function returning a reference to the lock it names.
#define RETURN_CAPABILITY(x) VELMORA_THREAD_ANNOTATION(lock_returned(x))

// Left out of the analysis; every use says why on the line before.
#define NO_THREAD_SAFETY_ANALYSIS VELMORA_THREAD_ANNOTATION(no_thread_safety_analysis)
