// A std::mutex that clang's thread-safety analysis understands, and its
// scoped lock. libstdc++'s own mutex carries no annotations, so members
// guarded by one would go unchecked; these wrappers add nothing at run time.
#ifndef QEL_COMMON_MUTEX_H
#define QEL_COMMON_MUTEX_H

#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  // For the analysis only: asserts the calling thread holds the lock.
  void AssertHeld() const {}

  // The underlying mutex, for a condition variable wait under MutexLock.
  std::mutex& native() { return m_mutex; }

 private:
  std::mutex m_mutex;
};

// Holds mu from construction to destruction; Unlock/Lock may release and
// retake it in between (the destructor releases only what is held).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : m_lock(mu.native()) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() { m_lock.unlock(); }
  void Lock() ACQUIRE() { m_lock.lock(); }

  // Waits on cv with the lock released meanwhile and held again on return.
  template <typename Predicate>
  void Wait(std::condition_variable& cv, Predicate pred) {
    cv.wait(m_lock, pred);
  }
  template <typename Rep, typename Period, typename Predicate>
  bool WaitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& timeout, Predicate pred) {
    return cv.wait_for(m_lock, timeout, pred);
  }

 private:
  std::unique_lock<std::mutex> m_lock;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_MUTEX_H
