// Clang thread-safety annotations. Under clang with -Wthread-safety the
// compiler checks that every member marked GUARDED_BY is touched only with its
// lock held; elsewhere the macros expand to nothing.
#ifndef QEL_COMMON_THREAD_ANNOTATIONS_H
#define QEL_COMMON_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define QEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QEL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QEL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QEL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QEL_COMMON_THREAD_ANNOTATIONS_H
