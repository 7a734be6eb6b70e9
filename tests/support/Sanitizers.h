#pragma once
// Whether this test build runs under AddressSanitizer or ThreadSanitizer.
// Tests that rerun the long numeric designs at every rate rerun one there
// (the code runs under the sanitizer) and leave the rest to the optimised
// build, where the numbers are checked in full.

namespace qb32::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool underSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool underSanitizer = true;
#else
inline constexpr bool underSanitizer = false;
#endif
#else
inline constexpr bool underSanitizer = false;
#endif

}  // namespace qb32::testing
