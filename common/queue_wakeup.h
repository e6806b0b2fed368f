// Lets the consumer of a polling queue sleep while the queue stays empty and
// be woken by its producer, at the cost to the producer of one fence and one
// atomic load per item while the consumer is awake.
//
// One producer thread calls Notify after publishing an item; one consumer
// thread calls WaitFor. Owns its mutex and condition variable only.
#ifndef QEL_COMMON_QUEUE_WAKEUP_H
#define QEL_COMMON_QUEUE_WAKEUP_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace com {
namespace quor {
namespace kbr {
namespace client {

class QueueWakeup {
 public:
  // Producer, after the item is visible in the queue.
  void Notify() {
    // Orders the item's publication before the look at m_consumerParked; the
    // consumer orders its store of the flag before its look at the queue, so
    // at least one side sees the other.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!m_consumerParked.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(m_parkMutex);
    m_parkCv.notify_one();
  }

  // Consumer. Returns at once if ready() holds; otherwise sleeps until a
  // Notify or the timeout, whichever comes first.
  template <typename Ready>
  void WaitFor(Ready ready, std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(m_parkMutex);
    m_consumerParked.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // A Notify after this check takes the mutex, which is released only
    // inside wait_for, so its wake-up cannot be lost.
    if (!ready()) m_parkCv.wait_for(lock, timeout);
    m_consumerParked.store(false, std::memory_order_relaxed);
  }

 private:
  std::atomic<bool> m_consumerParked{false};  // true while the consumer may be asleep
  std::mutex m_parkMutex;                     // pairs Notify with the consumer's sleep
  std::condition_variable m_parkCv;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_QUEUE_WAKEUP_H
