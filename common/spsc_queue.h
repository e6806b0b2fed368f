// Bounded lock-free single-producer single-consumer ring queue.
//
// Thread-safety: one producer thread and one consumer thread at any time; no
// operation locks, blocks, sleeps, allocates or calls the system.
//   producer thread: alloc(), push(), approxSize()
//   consumer thread: front(), pop()
//   either thread, diagnostics only: cachedFreeCount(), writeIndex(), readIndex()
// A side may pass to another thread once the previous one has stopped using it
// and the hand-over is synchronised (a thread join, a mutex, ...). Construction
// and destruction happen while neither side runs.
//
// Memory: each slot spans two 64-byte cache lines (the flag and the item never
// share one), so SPSCQueueOpt<RawData, 524288> is 64 MiB. A queue is one object
// created by a single allocation; always create it on the heap
// (std::make_shared / std::make_unique), never on a stack or as a member of a
// stack object. Every slot is value-initialised by the constructor; items are
// assigned into slots, never constructed or destroyed by alloc/push/front/pop.
// The queue never releases anything that its items point to.
//
// Debug builds (NDEBUG not defined) assert that one side is never entered by
// two threads at once, that push() follows an alloc() that returned a slot and
// that pop() follows a front() that returned an item. Release builds compile
// these checks away; the object layout is the same in both.
#ifndef QEL_COMMON_SPSC_QUEUE_H
#define QEL_COMMON_SPSC_QUEUE_H

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <type_traits>

template <typename T, uint32_t CNT>
class SPSCQueueOpt {
  static_assert(CNT >= 2 && (CNT & (CNT - 1)) == 0, "CNT must be a power of two, at least 2");
  static_assert(std::is_default_constructible<T>::value, "slots are value-initialised");
  static_assert(std::is_standard_layout<T>::value, "the slot layout is checked with offsetof");
  static_assert(std::atomic<bool>::is_always_lock_free, "flags must be lock-free");
  static_assert(std::atomic<uint32_t>::is_always_lock_free, "indices must be lock-free");

 public:
  static constexpr uint32_t kMask = CNT - 1;
  // One slot always stays empty: a full queue holds CNT - 1 items.
  static constexpr uint32_t kCapacity = CNT - 1;

  SPSCQueueOpt() noexcept(std::is_nothrow_default_constructible<T>::value) {
    static_assert(std::is_standard_layout<SPSCQueueOpt>::value, "offsets below need a standard layout");
    static_assert(ringOffset() == 0, "the ring comes first");
    static_assert(blockDataOffset() >= 64 && blockDataOffset() % 64 == 0,
                  "flag and item of a slot sit on different cache lines");
    static_assert(blockSize() % 64 == 0, "slots are whole cache lines");
    static_assert(writeIdxOffset() % 128 == 0 && writeIdxOffset() >= CNT * blockSize(),
                  "producer indices start a 128-byte region after the ring");
    static_assert(freeWriteCntOffset() / 128 == writeIdxOffset() / 128,
                  "write_idx and free_write_cnt share one 128-byte region");
    static_assert(readIdxOffset() == writeIdxOffset() + 128, "read_idx sits in the next 128-byte region");
    static_assert(consumerGuardOffset() >= readIdxOffset() + 128 && producerGuardOffset() >= readIdxOffset() + 128,
                  "nothing else shares the 128-byte region of read_idx");
  }
  SPSCQueueOpt(const SPSCQueueOpt&) = delete;
  SPSCQueueOpt& operator=(const SPSCQueueOpt&) = delete;

  // Producer. The slot to fill next, or null when the queue is full. Publishes
  // nothing; repeated calls return the same slot until push().
  T* alloc() noexcept {
    RoleScope role(producer_busy);
    const uint32_t w = write_idx.load(std::memory_order_relaxed);
    if (free_write_cnt.load(std::memory_order_relaxed) == 1) {
      // Only now look at the consumer's index: once per stretch of pushes.
      // Acquire pairs with the release in pop(): the consumer is done with
      // every slot before read_idx.
      const uint32_t r = read_idx.load(std::memory_order_acquire);
      const uint32_t cnt = ((r + CNT - 1 - w) & kMask) + 1;
      free_write_cnt.store(cnt, std::memory_order_relaxed);
      if (cnt == 1) return nullptr;
    }
    return &blk[w].data;
  }

  // Producer. Publishes the slot last returned by alloc().
  void push() noexcept {
    RoleScope role(producer_busy);
    const uint32_t cnt = free_write_cnt.load(std::memory_order_relaxed);
    assert(cnt > 1 && "SPSCQueueOpt::push() without a slot from alloc()");
    const uint32_t w = write_idx.load(std::memory_order_relaxed);
    // Release: the item's contents are visible to the consumer's acquire.
    blk[w].avail.store(true, std::memory_order_release);
    write_idx.store((w + 1) & kMask, std::memory_order_relaxed);
    // The producer is the only writer, so a load/store pair decrements
    // atomically without a locked read-modify-write.
    free_write_cnt.store(cnt - 1, std::memory_order_relaxed);
  }

  // Consumer. The oldest published item, or null when the queue is empty; the
  // item stays in the queue until pop().
  T* front() noexcept {
    RoleScope role(consumer_busy);
    const uint32_t r = read_idx.load(std::memory_order_relaxed);
    // Acquire pairs with the release in push(): the item is complete.
    if (!blk[r].avail.load(std::memory_order_acquire)) return nullptr;
    return &blk[r].data;
  }

  // Consumer. Removes the item last returned by front() and frees its slot.
  void pop() noexcept {
    RoleScope role(consumer_busy);
    const uint32_t r = read_idx.load(std::memory_order_relaxed);
    assert(blk[r].avail.load(std::memory_order_relaxed) && "SPSCQueueOpt::pop() without an item from front()");
    blk[r].avail.store(false, std::memory_order_relaxed);
    // Release: every read of the item and the cleared flag happen before the
    // producer, after its acquire in alloc(), refills the slot.
    read_idx.store((r + 1) & kMask, std::memory_order_release);
  }

  // Producer-side estimate of the items queued: exact while the consumer is idle, otherwise never below the true count.
  uint32_t approxSize() const noexcept {
    return (write_idx.load(std::memory_order_relaxed) - read_idx.load(std::memory_order_acquire)) & kMask;
  }

  // Diagnostics (tests, debugging); a snapshot while the other side runs.
  // The producer's cached count: writable slots known to it, plus one.
  uint32_t cachedFreeCount() const noexcept { return free_write_cnt.load(std::memory_order_relaxed); }
  uint32_t writeIndex() const noexcept { return write_idx.load(std::memory_order_relaxed); }
  uint32_t readIndex() const noexcept { return read_idx.load(std::memory_order_relaxed); }

  // Layout, in bytes, for compile-time checks.
  static constexpr std::size_t blockSize() noexcept { return sizeof(Block); }
  static constexpr std::size_t blockDataOffset() noexcept { return offsetof(Block, data); }
  static constexpr std::size_t ringOffset() noexcept { return offsetof(SPSCQueueOpt, blk); }
  static constexpr std::size_t writeIdxOffset() noexcept { return offsetof(SPSCQueueOpt, write_idx); }
  static constexpr std::size_t freeWriteCntOffset() noexcept { return offsetof(SPSCQueueOpt, free_write_cnt); }
  static constexpr std::size_t readIdxOffset() noexcept { return offsetof(SPSCQueueOpt, read_idx); }

 private:
  struct Block {
    alignas(64) std::atomic<bool> avail{false};  // true from push() until pop()
    alignas(64) T data{};
  };

  // Marks one side as entered for the duration of a call, in debug builds.
  class RoleScope {
   public:
#ifndef NDEBUG
    explicit RoleScope(std::atomic<bool>& busy) noexcept : m_busy(busy) {
      const bool taken = m_busy.exchange(true, std::memory_order_acquire);
      assert(!taken && "SPSCQueueOpt: two threads use the same side at once");
      (void)taken;
    }
    ~RoleScope() { m_busy.store(false, std::memory_order_release); }
    RoleScope(const RoleScope&) = delete;
    RoleScope& operator=(const RoleScope&) = delete;

   private:
    std::atomic<bool>& m_busy;
#else
    explicit RoleScope(std::atomic<bool>&) noexcept {}
#endif
  };

  static constexpr std::size_t producerGuardOffset() noexcept { return offsetof(SPSCQueueOpt, producer_busy); }
  static constexpr std::size_t consumerGuardOffset() noexcept { return offsetof(SPSCQueueOpt, consumer_busy); }

  Block blk[CNT];
  // Producer-owned.
  alignas(128) std::atomic<uint32_t> write_idx{0};
  std::atomic<uint32_t> free_write_cnt{CNT};  // 1: no free slot known
  // Consumer-owned; the producer reads it only when free_write_cnt is 1.
  alignas(128) std::atomic<uint32_t> read_idx{0};
  // Debug role checks, each away from the indices; untouched in release builds.
  alignas(128) std::atomic<bool> producer_busy{false};
  alignas(128) std::atomic<bool> consumer_busy{false};
};

#endif  // QEL_COMMON_SPSC_QUEUE_H
