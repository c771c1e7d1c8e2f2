// Lock annotations that Clang checks at compile time (-Wthread-safety, the clang
// preset): a member marked GUARDED_BY(mu) read or written without holding mu, or a
// function marked REQUIRES(mu) called without it, fails the build. Other compilers
// ignore them. Mutex and MutexLock wrap the standard ones, whose library headers carry
// no annotations.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define NOVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NOVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NOVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NOVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NOVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NOVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) NOVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) NOVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) NOVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NOVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) NOVEX_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS NOVEX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace novex {

class CAPABILITY("mutex") Mutex {
public:
    void Lock() ACQUIRE() { mu_.lock(); }
    void Unlock() RELEASE() { mu_.unlock(); }
    // Tells the analysis that the caller holds it: inside a lambda that runs under the
    // lock, which the analysis cannot follow.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}
    // For a condition variable's wait, which takes the standard mutex.
    std::mutex& native() { return mu_; }

private:
    std::mutex mu_;
};

// Holds `mu` for its scope; Unlock and Lock let go of it and take it again within.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
    ~MutexLock() RELEASE() {
        if (held_) mu_.Unlock();
    }
    void Unlock() RELEASE() {
        mu_.Unlock();
        held_ = false;
    }
    void Lock() ACQUIRE() {
        mu_.Lock();
        held_ = true;
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mu_;
    bool held_ = true;
};

// The held `mu` lent to a condition variable, whose wait takes a std::unique_lock of
// the standard mutex: wait in a loop on a condition the analysis sees under the lock,
//   CondLock waiting(mu_); while (!ready_) cv.wait(waiting.get());
// The lock goes back still held, for the MutexLock around it to release once.
class CondLock {
public:
    explicit CondLock(Mutex& mu) REQUIRES(mu) : lock_(mu.native(), std::adopt_lock) {}
    ~CondLock() { lock_.release(); }
    std::unique_lock<std::mutex>& get() { return lock_; }
    CondLock(const CondLock&) = delete;
    CondLock& operator=(const CondLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace novex
