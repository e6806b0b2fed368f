// Thread base classes of the callback worker pool.
//
// CThread: owned by whoever creates it; StartThread and the destructor are
// called by the owning thread. Owns one std::thread running OnThreadRun.
//
// CWorkerThread: created and driven by its CThreadPool, which lives on the
// decompress thread of one site type. Owns its two record queues and the
// records sitting in them; a record in the user's callback is borrowed.
//   decompress thread (the producer): PushTask, NotifyPending, GetTask,
//   HasDelivered, QueuedCount
//   worker thread: OnThreadRun (calls MessageHandle::OnMarketData)
//   stopping thread: RequestStop, Stop (after the producer stopped using it)
// An idle worker backs off by the data path's idle policy and parks; the
// producer wakes it once per batch of records, and only when it has parked.
#ifndef QEL_DISRUPTOR_THREAD_H
#define QEL_DISRUPTOR_THREAD_H

#include <readerwriterqueue/readerwriterqueue.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "MarketData.pb.h"
#include "common/idle_strategy.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using MarketDataType = com::quor::qel::model::MarketData;

class CThread {
 public:
  CThread() = default;
  // Joins the thread if it still runs. A subclass must end its loop in its
  // own destructor first: by the time this runs, the subclass is gone.
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts the thread running OnThreadRun() of this object; does nothing
  // while a started thread has not been joined.
  void StartThread();

  // Sets the calling thread's timer slack to 1 microsecond, so that a short
  // sleep (the decompress thread's wait for room at a full pool, 10
  // microseconds by default) lasts about what it asks for instead of
  // gaining the kernel's default 50 microseconds.
  static void UseFineTimerSlack();

 protected:
  virtual void OnThreadRun() = 0;
  // Joins the thread if it is joinable; safe to call repeatedly.
  void JoinThread();

  std::thread m_thread;
};

class CWorkerThread : public CThread {
 public:
  // Blocks of 512 slots; the queues are pre-sized for queue_size records.
  // No semaphore: wake-ups go through m_wake, once per batch.
  using RecordQueue = moodycamel::ReaderWriterQueue<MarketDataType*, 512>;
  // Records a worker hands back between two looks for a parked producer.
  static constexpr uint32_t kReturnNotifyBatch = 32;

  // site_type: the site type whose records this worker delivers, reported to
  // the callback by CurrentMarketDataSiteType (-1: none). producer_wake
  // (borrowed, may be null) is told when delivered records come back, so a
  // parked producer releases them.
  CWorkerThread(uint32_t thread_idx, uint32_t queue_size, MessageHandle* handle, int site_type = -1,
                IdleSettings idle = IdleSettings{}, WakeSignal* producer_wake = nullptr);
  // Stops the thread and releases every record still queued.
  ~CWorkerThread() override;

  // Producer. Appends the record for delivery. When the queue cannot take it
  // (no memory for a further block) the record is released and *record is
  // set to null.
  void PushTask(MarketDataType*& record);
  // Producer. Records pushed since the last wake-up.
  uint32_t PendingCount() const { return m_pending; }
  // Producer, after a batch: wakes the worker if it has parked and records
  // were pushed since the last call.
  void NotifyPending() {
    if (m_pending == 0) return;
    m_pending = 0;
    m_wake.Notify();
  }
  // Producer. One delivered record back from the worker, or null.
  MarketDataType* GetTask();
  // Producer. Whether a delivered record waits to be taken back.
  bool HasDelivered() { return m_queue_back.peek() != nullptr; }
  // Producer. Records pushed and not yet taken by the worker; never below the
  // true figure (the worker's progress is seen with a delay at most).
  uint64_t QueuedCount() const;
  // Producer. Like QueuedCount, but first looks at the worker's progress again.
  uint64_t RefreshQueuedCount();

  // Any thread. Tells the worker to end after the record in progress, and
  // wakes it if it is parked.
  void RequestStop() {
    m_running.store(false);
    m_wake.Wake();
  }
  // True once the worker loop has ended (stopped, or without a callback object).
  bool HasEnded() const { return m_ended.load(); }
  uint32_t Index() const { return m_thread_idx; }

  // Stopping thread, once the producer no longer uses this worker. Ends the
  // thread (waiting for the callback in progress) and hands back every record
  // still in either queue, undelivered or delivered, for the caller to release.
  std::vector<MarketDataType*> Stop();

 protected:
  void OnThreadRun() override;

 private:
  uint32_t m_thread_idx;
  int m_site_type;
  IdleSettings m_idle;
  WakeSignal* m_producer_wake;  // borrowed; may be null
  std::atomic<bool> m_running{true};
  MessageHandle* m_handle;
  WakeSignal m_wake;  // the worker parks on it
  RecordQueue m_queue;       // producer -> worker
  RecordQueue m_queue_back;  // worker -> producer
  std::atomic<bool> m_ended{false};
  // Records the worker has taken from m_queue; written by the worker only.
  alignas(64) std::atomic<uint64_t> m_taken_count{0};
  // Producer-side bookkeeping, on a cache line of its own.
  alignas(64) uint64_t m_pushed_count = 0;
  uint64_t m_taken_seen = 0;
  uint32_t m_pending = 0;  // pushed since the last NotifyPending
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DISRUPTOR_THREAD_H
