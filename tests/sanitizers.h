// Which sanitizer a test runs under, as gcc (__SANITIZE_*__) and clang (__has_feature)
// each say it: NOVEX_ASAN and NOVEX_TSAN are 1 or 0.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define NOVEX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NOVEX_ASAN 1
#endif
#endif
#ifndef NOVEX_ASAN
#define NOVEX_ASAN 0
#endif

#if defined(__SANITIZE_THREAD__)
#define NOVEX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NOVEX_TSAN 1
#endif
#endif
#ifndef NOVEX_TSAN
#define NOVEX_TSAN 0
#endif
