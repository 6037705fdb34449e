// Mutexes and scoped locks that carry their contracts for Clang's thread safety analysis
// (-Wthread-safety). With g++ the attributes expand to nothing and the types are thin wrappers
// over the standard ones, so the same code builds and behaves the same under both compilers.
//
// Use:
//   Base::Mutex m_lock;
//   int m_count RSM_GUARDED_BY(m_lock);
//   void Bump() RSM_REQUIRES(m_lock);          // caller holds m_lock
//   void Reset() RSM_EXCLUDES(m_lock);         // takes m_lock itself
//   { Base::LockGuard<Base::Mutex> lock(m_lock); ... }
//   { Base::UniqueLock lock(m_lock); m_cv.wait(lock, ...); }  // with Base::CondVar
#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define RSM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define RSM_THREAD_ANNOTATION(x)
#endif

#define RSM_CAPABILITY(x) RSM_THREAD_ANNOTATION(capability(x))
#define RSM_SCOPED_CAPABILITY RSM_THREAD_ANNOTATION(scoped_lockable)
#define RSM_GUARDED_BY(x) RSM_THREAD_ANNOTATION(guarded_by(x))
#define RSM_PT_GUARDED_BY(x) RSM_THREAD_ANNOTATION(pt_guarded_by(x))
#define RSM_ACQUIRED_BEFORE(...) RSM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define RSM_ACQUIRED_AFTER(...) RSM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define RSM_REQUIRES(...) RSM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define RSM_REQUIRES_SHARED(...) RSM_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define RSM_ACQUIRE(...) RSM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RSM_ACQUIRE_SHARED(...) RSM_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RSM_RELEASE(...) RSM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RSM_RELEASE_SHARED(...) RSM_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RSM_RELEASE_GENERIC(...) RSM_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define RSM_TRY_ACQUIRE(...) RSM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RSM_EXCLUDES(...) RSM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RSM_ASSERT_CAPABILITY(x) RSM_THREAD_ANNOTATION(assert_capability(x))
#define RSM_RETURN_CAPABILITY(x) RSM_THREAD_ANNOTATION(lock_returned(x))
#define RSM_NO_THREAD_SAFETY_ANALYSIS RSM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace Base
{
class RSM_CAPABILITY("mutex") Mutex
{
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() RSM_ACQUIRE() { m_m.lock(); }
    void unlock() RSM_RELEASE() { m_m.unlock(); }
    bool try_lock() RSM_TRY_ACQUIRE(true) { return m_m.try_lock(); }
    // Tells the analysis that the lock is held where it cannot see it (a lambda called under the
    // caller's lock); no check at run time.
    void AssertHeld() const RSM_ASSERT_CAPABILITY(this) {}

    // For condition variables only.
    std::mutex& Native() noexcept { return m_m; }

private:
    std::mutex m_m;
};

// Recursive: the analysis treats it as exclusive; re-entry by the holder is allowed at run time.
class RSM_CAPABILITY("mutex") RecursiveMutex
{
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock() RSM_ACQUIRE() { m_m.lock(); }
    void unlock() RSM_RELEASE() { m_m.unlock(); }
    bool try_lock() RSM_TRY_ACQUIRE(true) { return m_m.try_lock(); }
    // Tells the analysis that the lock is held where it cannot see it (a lambda called under the
    // caller's lock); no check at run time.
    void AssertHeld() const RSM_ASSERT_CAPABILITY(this) {}

private:
    std::recursive_mutex m_m;
};

class RSM_CAPABILITY("mutex") SharedMutex
{
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() RSM_ACQUIRE() { m_m.lock(); }
    void unlock() RSM_RELEASE() { m_m.unlock(); }
    void lock_shared() RSM_ACQUIRE_SHARED() { m_m.lock_shared(); }
    void unlock_shared() RSM_RELEASE_SHARED() { m_m.unlock_shared(); }
    void AssertHeld() const RSM_ASSERT_CAPABILITY(this) {}

private:
    std::shared_mutex m_m;
};

// Exclusive scoped lock over any of the capabilities above.
template <typename M> class RSM_SCOPED_CAPABILITY LockGuard
{
public:
    explicit LockGuard(M& m) RSM_ACQUIRE(m) : m_m(m) { m_m.lock(); }
    ~LockGuard() RSM_RELEASE() { m_m.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    M& m_m;
};

// Shared scoped lock over any capability with lock_shared/unlock_shared.
template <typename M> class RSM_SCOPED_CAPABILITY SharedLock
{
public:
    explicit SharedLock(M& m) RSM_ACQUIRE_SHARED(m) : m_m(m) { m_m.lock_shared(); }
    ~SharedLock() RSM_RELEASE() { m_m.unlock_shared(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    M& m_m;
};

// Shared scoped lock over a SharedMutex.
using SharedLockGuard = SharedLock<SharedMutex>;

// A lock on a Base::Mutex that a condition variable can wait on, and that can be released and
// taken again inside its scope.
class RSM_SCOPED_CAPABILITY UniqueLock
{
public:
    explicit UniqueLock(Mutex& m) RSM_ACQUIRE(m) : m_lock(m.Native()) {}
    ~UniqueLock() RSM_RELEASE() = default;
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void Unlock() RSM_RELEASE() { m_lock.unlock(); }
    void Lock() RSM_ACQUIRE() { m_lock.lock(); }

    std::unique_lock<std::mutex>& Native() noexcept { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

// Condition variable for UniqueLock. The waits keep the capability held from the analysis'
// point of view, as they return with the lock taken again.
class CondVar
{
public:
    void NotifyOne() noexcept { m_cv.notify_one(); }
    void NotifyAll() noexcept { m_cv.notify_all(); }
    void Wait(UniqueLock& lock) { m_cv.wait(lock.Native()); }
    template <typename Predicate> void Wait(UniqueLock& lock, Predicate ready)
    {
        m_cv.wait(lock.Native(), std::move(ready));
    }
    template <typename TimePoint> std::cv_status WaitUntil(UniqueLock& lock, const TimePoint& deadline)
    {
        return m_cv.wait_until(lock.Native(), deadline);
    }
    template <typename Duration, typename Predicate>
    bool WaitFor(UniqueLock& lock, const Duration& timeout, Predicate ready)
    {
        return m_cv.wait_for(lock.Native(), timeout, std::move(ready));
    }
    template <typename TimePoint, typename Predicate>
    bool WaitUntil(UniqueLock& lock, const TimePoint& deadline, Predicate ready)
    {
        return m_cv.wait_until(lock.Native(), deadline, std::move(ready));
    }

private:
    std::condition_variable m_cv;
};
} // namespace Base
