// The one idle policy of the data path. A consumer that finds its queue empty
// backs off in steps: a bounded spin with the CPU's pause hint (work due in a
// few microseconds is caught without a system call), then a few yields (a
// producer sharing the core gets it), then it parks on a futex until a
// producer wakes it. A producer pays one fence and one atomic load per batch
// while its consumer is awake, and makes a system call only for a consumer
// that has parked, so a quiet feed costs no CPU and no wake-ups.
//
// WakeSignal: one consumer thread parks on it (Park); any number of producer
// threads call Notify after publishing work. Owns its futex word only.
// BackoffIdleStrategy: owned and called by one consumer thread; holds its
// place in the back-off sequence.
#ifndef QEL_COMMON_IDLE_STRATEGY_H
#define QEL_COMMON_IDLE_STRATEGY_H

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace com {
namespace quor {
namespace kbr {
namespace client {

// Lengths of the back-off steps before a consumer parks.
struct IdleSettings {
  uint32_t spins = 0;   // pause-hint rounds
  uint32_t yields = 0;  // sched_yield calls after the spin
};

// The CPU's spin-wait hint: lets a sibling hyper-thread run and saves power.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

class WakeSignal {
 public:
  // Any producer, after its work is visible to the consumer. Wakes the
  // consumer if it is parked or about to park; costs a fence and a load
  // otherwise.
  void Notify() {
    // Orders the work's publication before the look at m_parked; the consumer
    // orders its store of m_parked before its own look at the work, so at
    // least one of the two sees the other.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (m_parked.load(std::memory_order_relaxed) == 0) return;
    Wake();
  }

  // Any thread: wakes the consumer whether it looks parked or not (Stop).
  void Wake() {
    m_generation.fetch_add(1, std::memory_order_seq_cst);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_generation), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

  // The consumer. Returns at once if ready() holds; otherwise sleeps until a
  // Notify or Wake, or until timeout has passed (a zero timeout: no limit).
  // May also return early (a signal, a wake meant for an earlier park): the
  // caller looks at its work again in every case.
  template <typename Ready>
  void Park(Ready ready, std::chrono::microseconds timeout = std::chrono::microseconds::zero()) {
    m_parked.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // Read before the look at the work: a Notify after the look changes the
    // generation, and the futex then refuses to sleep on the old value.
    const uint32_t generation = m_generation.load(std::memory_order_seq_cst);
    if (!ready()) {
      struct timespec bound;
      struct timespec* limit = nullptr;
      if (timeout.count() > 0) {
        bound.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
        bound.tv_nsec = static_cast<long>((timeout.count() % 1000000) * 1000);
        limit = &bound;
      }
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(&m_generation), FUTEX_WAIT_PRIVATE, generation, limit, nullptr,
              0);
    }
    m_parked.store(0, std::memory_order_relaxed);
  }

 private:
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is a plain 32-bit integer");
  std::atomic<uint32_t> m_parked{0};      // 1 while the consumer may be asleep
  std::atomic<uint32_t> m_generation{0};  // the futex word: changes at every wake
};

class BackoffIdleStrategy {
 public:
  explicit BackoffIdleStrategy(IdleSettings settings) : m_settings(settings) {}

  // After work was found: the next idle period starts with the spin again.
  void Reset() { m_step = 0; }

  // One idle step: a spin round, a yield, or (once both are spent) a park on
  // signal until ready() holds, a producer notifies, or park_timeout passes
  // (zero: no limit). True when this step parked.
  template <typename Ready>
  bool Idle(WakeSignal& signal, Ready ready,
            std::chrono::microseconds park_timeout = std::chrono::microseconds::zero()) {
    if (m_step < m_settings.spins) {
      ++m_step;
      CpuRelax();
      return false;
    }
    if (m_step - m_settings.spins < m_settings.yields) {
      ++m_step;
      sched_yield();
      return false;
    }
    signal.Park(ready, park_timeout);
    return true;
  }

 private:
  IdleSettings m_settings;
  uint32_t m_step = 0;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_IDLE_STRATEGY_H
