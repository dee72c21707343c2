#pragma once
// Whether this build runs under a sanitizer that changes how memory behaves. AddressSanitizer
// keeps freed blocks in a quarantine (256 MB by default) and both it and ThreadSanitizer add
// shadow memory, so a process's resident size says nothing about its own bounds there; tests
// measure memory only in builds without them. The programs a test starts are built the same
// way as the test itself.

namespace cvl::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool MEMORY_SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
inline constexpr bool MEMORY_SANITIZED = true;
#else
inline constexpr bool MEMORY_SANITIZED = false;
#endif
#else
inline constexpr bool MEMORY_SANITIZED = false;
#endif

}  // namespace cvl::test
