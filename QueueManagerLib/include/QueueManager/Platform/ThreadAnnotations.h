#pragma once

// Clang thread-safety analysis attributes (-Wthread-safety). They expand to
// nothing on other compilers. See the locks in Sync.h for their use.
#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

#define QM_CAPABILITY(x) QM_THREAD_ANNOTATION(capability(x))
#define QM_SCOPED_CAPABILITY QM_THREAD_ANNOTATION(scoped_lockable)
#define QM_GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
#define QM_PT_GUARDED_BY(x) QM_THREAD_ANNOTATION(pt_guarded_by(x))
#define QM_ACQUIRED_AFTER(...) QM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define QM_ACQUIRED_BEFORE(...) QM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QM_EXCLUSIVE_LOCKS_REQUIRED(...) QM_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define QM_LOCKS_EXCLUDED(...) QM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QM_ACQUIRE(...) QM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QM_RELEASE(...) QM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QM_TRY_ACQUIRE(...) QM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QM_ASSERT_CAPABILITY(x) QM_THREAD_ANNOTATION(assert_capability(x))
#define QM_RETURN_CAPABILITY(x) QM_THREAD_ANNOTATION(lock_returned(x))
#define QM_NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ANNOTATION(no_thread_safety_analysis)
