#include "disruptor/Thread.h"

#include <sys/prctl.h>

#include <cxxabi.h>

#include <exception>

#include "common/library_threads.h"
#include "config/base_config.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

CThread::~CThread() { JoinThread(); }

void CThread::StartThread() {
  if (m_thread.joinable()) return;  // already started: one thread per object
  m_thread = std::thread([this] { OnThreadRun(); });
}

void CThread::JoinThread() {
  if (m_thread.joinable()) m_thread.join();
}

void CThread::UseFineTimerSlack() {
  // Best effort: without it the thread only sleeps a little longer.
  (void)prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

CWorkerThread::CWorkerThread(uint32_t thread_idx, uint32_t queue_size, MessageHandle* handle, int site_type,
                             IdleSettings idle, WakeSignal* producer_wake)
    : m_thread_idx(thread_idx),
      m_site_type(site_type),
      m_idle(idle),
      m_producer_wake(producer_wake),
      m_handle(handle),
      m_queue(queue_size),
      m_queue_back(queue_size) {}

CWorkerThread::~CWorkerThread() {
  for (MarketDataType* record : Stop()) delete record;
}

void CWorkerThread::PushTask(MarketDataType*& record) {
  if (!m_queue.enqueue(record)) {
    ErrorPrint("BlockingReaderWriterQueue[%d] is full", static_cast<int>(m_thread_idx));
    delete record;
    record = nullptr;
    return;
  }
  ++m_pushed_count;
  ++m_pending;
}

MarketDataType* CWorkerThread::GetTask() {
  MarketDataType* record = nullptr;
  return m_queue_back.try_dequeue(record) ? record : nullptr;
}

uint64_t CWorkerThread::QueuedCount() const { return m_pushed_count - m_taken_seen; }

uint64_t CWorkerThread::RefreshQueuedCount() {
  m_taken_seen = m_taken_count.load(std::memory_order_acquire);
  return QueuedCount();
}

std::vector<MarketDataType*> CWorkerThread::Stop() {
  RequestStop();
  JoinThread();
  m_ended.store(true);
  // The worker thread is gone, so this thread may consume both queues.
  std::vector<MarketDataType*> left;
  MarketDataType* record = nullptr;
  while (m_queue.try_dequeue(record)) {
    if (record) left.push_back(record);
  }
  while (m_queue_back.try_dequeue(record)) {
    if (record) left.push_back(record);
  }
  return left;
}

void CWorkerThread::OnThreadRun() {
  // Uninstance from a callback is refused, never a self-join.
  MarkLibraryThread("qel-work-" + std::to_string(m_site_type) + "-" + std::to_string(m_thread_idx));
  SetDeliverySiteType(m_site_type);
  BackoffIdleStrategy idler(m_idle);
  MarketDataType* record = nullptr;
  uint32_t returned = 0;  // handed back since the producer was last told
  while (m_running.load(std::memory_order_relaxed)) {
    if (!m_queue.try_dequeue(record)) {
      // Before backing off, a parked producer learns of the records handed
      // back, so they are released while the feed is quiet.
      if (returned != 0 && m_producer_wake != nullptr) m_producer_wake->Notify();
      returned = 0;
      idler.Idle(m_wake, [this] { return m_queue.peek() != nullptr || !m_running.load(); });
      continue;
    }
    idler.Reset();
    // Single writer: a plain store publishes the new count to the producer.
    m_taken_count.store(m_taken_count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (m_handle == nullptr) {
      delete record;
      m_ended.store(true);  // before the line: whoever saw the line sees the worker ended
      ErrorPrint("Callback handle is nullptr.");
      break;
    }
    // An exception from the application's callback must not end the worker
    // (std::terminate) nor lose the record: it is logged and the record goes
    // back for release like any other.
    try {
      m_handle->OnMarketData(*record);
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must unwind on
    } catch (const std::exception& e) {
      ErrorPrint("OnMarketData threw an exception on callback worker %u: %s", m_thread_idx, e.what());
    } catch (...) {
      ErrorPrint("OnMarketData threw a non-standard exception on callback worker %u", m_thread_idx);
    }
    if (!m_queue_back.enqueue(record)) {
      ErrorPrint("Callback queue full.");
      delete record;
      continue;
    }
    if (++returned >= kReturnNotifyBatch) {
      if (m_producer_wake != nullptr) m_producer_wake->Notify();
      returned = 0;
    }
  }
  m_ended.store(true);
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
