// What clang's thread-safety analysis (-Wthread-safety) checks: which lock guards which
// state, and which functions expect the caller to hold it. Other compilers see nothing.
// The two locks of the cache are capabilities (region/locks.h); their scoped holders
// take and release them, and what the comments once said ("changed only under the
// global cache mutex") the compiler now enforces.
#pragma once

#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(capability)
#define TQ5_THREAD_ANNOTATION(x) __attribute__((x))
#endif
#endif
#ifndef TQ5_THREAD_ANNOTATION
#define TQ5_THREAD_ANNOTATION(x)
#endif

#define TQ5_CAPABILITY(name) TQ5_THREAD_ANNOTATION(capability(name))
#define TQ5_SCOPED_CAPABILITY TQ5_THREAD_ANNOTATION(scoped_lockable)
#define TQ5_GUARDED_BY(x) TQ5_THREAD_ANNOTATION(guarded_by(x))
#define TQ5_PT_GUARDED_BY(x) TQ5_THREAD_ANNOTATION(pt_guarded_by(x))
#define TQ5_REQUIRES(...) TQ5_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TQ5_ACQUIRE(...) TQ5_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TQ5_RELEASE(...) TQ5_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TQ5_EXCLUDES(...) TQ5_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TQ5_ASSERT_CAPABILITY(x) TQ5_THREAD_ANNOTATION(assert_capability(x))
#define TQ5_NO_THREAD_SAFETY_ANALYSIS TQ5_THREAD_ANNOTATION(no_thread_safety_analysis)
