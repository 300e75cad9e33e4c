#pragma once
// Clang's thread-safety analysis: a lock type is a capability, a member names the lock that
// guards it, a function names the locks it takes, releases or needs. The clang build
// (-Wthread-safety, warnings as errors) checks every access at compile time; other compilers
// see nothing.
#if defined(__clang__)
#define JVC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define JVC_THREAD_ANNOTATION(x)
#endif

#define JVC_CAPABILITY(name) JVC_THREAD_ANNOTATION(capability(name))
#define JVC_SCOPED_CAPABILITY JVC_THREAD_ANNOTATION(scoped_lockable)
#define JVC_GUARDED_BY(lock) JVC_THREAD_ANNOTATION(guarded_by(lock))
#define JVC_PT_GUARDED_BY(lock) JVC_THREAD_ANNOTATION(pt_guarded_by(lock))
#define JVC_ACQUIRE(...) JVC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define JVC_RELEASE(...) JVC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define JVC_TRY_ACQUIRE(...) JVC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define JVC_REQUIRES(...) JVC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define JVC_EXCLUDES(...) JVC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define JVC_RETURN_CAPABILITY(x) JVC_THREAD_ANNOTATION(lock_returned(x))
#define JVC_NO_THREAD_SAFETY_ANALYSIS JVC_THREAD_ANNOTATION(no_thread_safety_analysis)
