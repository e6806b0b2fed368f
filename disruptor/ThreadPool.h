// Callback worker pool: delivers decoded market-data records to the user's
// MessageHandle::OnMarketData on a fixed set of worker threads. Records with
// the same key (the record's channel) always go to the same worker, so they
// are delivered in the order they were added.
//
// Owned by one decompress thread. Threads:
//   decompress thread (the producer): AddTask, Flush, GetTask, Release,
//   HasDelivered, NoteIdle
//   owner, while the producer does not run: Init, Stop, Destroy, destructor
//   any thread: RequestStop, IsStopping, WorkerCount, WorkerIndex
// Owns its workers and every record it holds; a record is only lent to the
// callback, and the pool never releases or reuses a record while a callback
// still has it.
//
// Memory is bounded: the queues of all workers together hold at most
// max_queued records (by default the pre-sized room of one queue), however
// many keys are slow. At the bound AddTask waits for the workers instead of
// growing a queue. A stall (a run of waits while the workers stay behind) is
// logged twice: when its first wait begins, and when it ends with how long
// it lasted and how many records waited.
//
// Hand-offs are batched: a worker is woken once per Flush (the producer's
// frame) or per kNotifyBatch records, and only if it has parked. Delivered
// records come back to the producer, which releases them a few at a time
// as it goes on (Release), so frees stay beside the allocations that reuse
// them. With a held-bytes counter, every queued record carries a charge,
// added when it is queued and taken off when it is released.
#ifndef QEL_DISRUPTOR_THREAD_POOL_H
#define QEL_DISRUPTOR_THREAD_POOL_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "disruptor/Thread.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

class CThreadPool {
 public:
  CThreadPool() = default;
  // Destroy(): records still queued are released undelivered.
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Creates and starts worker_size workers whose queues are pre-sized for
  // queue_size records. max_queued is the number of records the workers'
  // queues together may hold before AddTask waits; 0 means queue_size. A pool that
  // already has workers is destroyed first. site_type is the site type whose
  // records the pool delivers (-1: none). Returns 0.
  // idle: the workers' back-off before they park. producer_wake (borrowed,
  // may be null): told when workers hand records back. held_bytes
  // (borrowed, may be null): the charge of the records the pool holds,
  // written by the producer only. delivered (borrowed, may be null): counts
  // the delivered records the producer takes back (GetTask); producer only.
  int Init(uint32_t worker_size, uint32_t queue_size, MessageHandle* handle, uint32_t max_queued = 0,
           int site_type = -1, IdleSettings idle = IdleSettings{}, WakeSignal* producer_wake = nullptr,
           std::atomic<int64_t>* held_bytes = nullptr, std::atomic<uint64_t>* delivered = nullptr);

  // Records one worker takes before it is woken without waiting for Flush.
  static constexpr uint32_t kNotifyBatch = 32;

  // Hands the record to the worker chosen by key; ownership passes to the
  // pool in every case. Waits while the pool's queues are at the bound.
  // True when the record is queued for delivery; false when it cannot be:
  // the pool is stopping (RequestStop or Stop), has no workers, or the
  // chosen worker has ended - the record has then been released here.
  // charge: what the record counts against held_bytes until it is released.
  bool AddTask(int64_t key, MarketDataType* record, uint32_t charge = 0);

  // Producer, after a batch (a frame): wakes every parked worker that was
  // given records since it was last woken.
  void Flush();

  // Producer: releases up to max_per_worker delivered records of each
  // worker; the number released.
  size_t Release(size_t max_per_worker);
  // Producer: releases up to max delivered records, taking them from the
  // workers in turn (each looked at once per call, the turn going on where
  // the last call stopped); the number released.
  size_t ReleaseSome(size_t max);
  // Producer: whether any worker has handed a delivered record back.
  bool HasDelivered() const;

  // Producer, while it has nothing to add: ends a stall in progress once the
  // workers are no longer behind (see StallMayEnd).
  void NoteIdle() {
    if (m_stall.active) StallMayEnd();
  }

  // One record that worker index has delivered, for the caller to release
  // (its charge is taken off here); null when there is none or index is not
  // a worker's index.
  MarketDataType* GetTask(int index);

  // The worker of a key: |key| modulo worker_count, |INT64_MIN| being 2^63.
  static size_t WorkerIndex(int64_t key, size_t worker_count);
  size_t WorkerCount() const { return m_workers.size(); }

  // Any thread. From now on AddTask refuses records and stops waiting; the
  // workers go on delivering what is queued.
  void RequestStop() { m_stopping.store(true); }
  bool IsStopping() const { return m_stopping.load(); }

  // Owner, once the producer no longer calls AddTask or GetTask. Ends every
  // worker (each finishes the callback in progress) and hands back every
  // record still queued or not yet reclaimed, undelivered or delivered, for
  // the caller to release. No record is delivered after Stop returns.
  std::vector<MarketDataType*> Stop();
  // Stop(), releases what came back and deletes the workers.
  void Destroy();

 private:
  // Producer: waits until the pool is below the bound, releasing delivered
  // records meanwhile. False when the pool is stopping or worker (the one
  // the waiting record is for) ended first.
  bool WaitForRoom(CWorkerThread& worker);
  // Producer: records queued and not yet taken, over every worker; the
  // cached figure never undercounts, the refreshed one looks again.
  uint64_t QueuedCount() const;
  uint64_t RefreshQueuedCount();
  void ReleaseDelivered();
  void AddHeld(int64_t bytes) {
    m_held_bytes->store(m_held_bytes->load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  }
  // Producer: a stall ends once the workers have brought the queues down to
  // half the bound (hysteresis: a callback that only keeps pace leaves the
  // producer finding room now and then, which is not the end of the stall).
  void StallMayEnd();
  // Producer, or the owner at Stop: logs the end of the stall in progress.
  void EndStall(const char* outcome);

  // The stall in progress; producer only (the owner's Stop runs when the
  // producer does not).
  struct Stall {
    bool active = false;
    std::chrono::steady_clock::time_point started;    // the first wait began
    std::chrono::steady_clock::time_point last_room;  // the latest wait ended
    uint64_t records = 0;                             // records that waited
  };

  std::vector<std::unique_ptr<CWorkerThread>> m_workers;
  // Per worker, the charge of each record queued or delivered and not yet
  // released, oldest first (a worker hands records back in queue order).
  // Producer only; empty without m_held_bytes.
  std::vector<std::deque<uint32_t>> m_charges;
  std::atomic<int64_t>* m_held_bytes = nullptr;  // borrowed; single writer: the producer
  std::atomic<uint64_t>* m_delivered = nullptr;  // borrowed; single writer: the producer
  uint64_t m_max_queued = 1;
  size_t m_release_turn = 0;  // the worker ReleaseSome looks at first; producer only
  std::atomic<bool> m_stopping{false};
  Stall m_stall;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DISRUPTOR_THREAD_POOL_H
