// Two symbols that a plug-in built with Debian 12's tool chain would otherwise need of
// the controller's libraries, each from a release newer than many controllers carry.
// Both are defined here and kept inside the plug-in by its version script, so the
// plug-in asks for no more than GLIBC_2.3.4 and GLIBCXX_3.4.21 (scripts/abi-report.sh).
#include <new>

// glibc 2.32's flag saying the process has a single thread: libstdc++'s headers read it
// to skip atomic instructions in shared_ptr's reference counts. Never set here, so the
// counts always use atomics, which is right whatever the controller's threads do.
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
extern "C" {
char __libc_single_threaded = 0;
}
#endif

// libstdc++ 11's (GLIBCXX_3.4.29) helper behind std::allocator's check for an array
// size beyond the address space; the exception it throws is much older.
#if defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 11
namespace std {
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
}  // namespace std
#endif
