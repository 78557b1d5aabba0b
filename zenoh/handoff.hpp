#pragma once
// Ordering that the Rust transport provides but ThreadSanitizer cannot see.
//
// A callback context is built on the declaring thread and then used on zenoh's threads; the
// end notification runs after the last callback has returned. Rust orders these steps with
// its own atomics, and the Rust library is not instrumented, so a ThreadSanitizer build would
// take every first use of a context on a zenoh thread for a data race. These functions state
// the two orderings at the C ABI boundary, and compile to nothing in every other build:
//
//   handed_over(ctx)       before the context is given to Rust
//   taken_over(ctx)        first thing in every callback
//   callback_done(ctx)     last thing in every sample or reply callback
//   all_callbacks_done(ctx) first thing in the end notification
//
// The two orderings use distinct addresses, so callbacks are not ordered with each other:
// two of them running on different threads still race unless the C++ side locks.

#if defined(__SANITIZE_THREAD__)
#define KZ_TSAN_HANDOFF 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KZ_TSAN_HANDOFF 1
#endif
#endif

#ifdef KZ_TSAN_HANDOFF
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace zenoh::inline kq::detail {

#ifdef KZ_TSAN_HANDOFF
inline void* finish_tag(void* context) noexcept { return static_cast<char*>(context) + 1; }

inline void handed_over(void* context) noexcept { __tsan_release(context); }
inline void taken_over(void* context) noexcept { __tsan_acquire(context); }
inline void callback_done(void* context) noexcept { __tsan_release(finish_tag(context)); }
inline void all_callbacks_done(void* context) noexcept {
  __tsan_acquire(context);
  __tsan_acquire(finish_tag(context));
}
#else
inline void handed_over(void*) noexcept {}
inline void taken_over(void*) noexcept {}
inline void callback_done(void*) noexcept {}
inline void all_callbacks_done(void*) noexcept {}
#endif

}  // namespace zenoh::inline kq::detail
