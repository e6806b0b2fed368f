#include "disruptor/ThreadPool.h"

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <thread>

#include "config/base_config.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

CThreadPool::~CThreadPool() { Destroy(); }

int CThreadPool::Init(uint32_t worker_size, uint32_t queue_size, MessageHandle* handle, uint32_t max_queued,
                      int site_type, IdleSettings idle, WakeSignal* producer_wake, std::atomic<int64_t>* held_bytes,
                      std::atomic<uint64_t>* delivered) {
  if (!m_workers.empty()) Destroy();
  m_stopping.store(false);
  m_max_queued = std::max<uint64_t>(1, max_queued != 0 ? max_queued : queue_size);
  m_held_bytes = held_bytes;
  m_delivered = delivered;
  m_charges.assign(held_bytes != nullptr ? worker_size : 0, std::deque<uint32_t>());
  m_workers.reserve(worker_size);
  for (uint32_t i = 0; i < worker_size; ++i) {
    auto worker = std::make_unique<CWorkerThread>(i, queue_size, handle, site_type, idle, producer_wake);
    worker->StartThread();
    m_workers.push_back(std::move(worker));
  }
  return 0;
}

size_t CThreadPool::WorkerIndex(int64_t key, size_t worker_count) {
  if (worker_count == 0) return 0;
  // Negation in unsigned arithmetic: defined for INT64_MIN, giving 2^63.
  const uint64_t magnitude = key < 0 ? uint64_t{0} - static_cast<uint64_t>(key) : static_cast<uint64_t>(key);
  return static_cast<size_t>(magnitude % worker_count);
}

bool CThreadPool::AddTask(int64_t key, MarketDataType* record, uint32_t charge) {
  if (record == nullptr) return false;
  if (m_workers.empty() || m_stopping.load(std::memory_order_relaxed)) {
    delete record;
    return false;
  }
  const size_t index = WorkerIndex(key, m_workers.size());
  CWorkerThread& worker = *m_workers[index];
  // A worker without a callback object has ended: queuing for it would only
  // hold memory until the pool stops.
  if (worker.HasEnded()) {
    delete record;
    return false;
  }
  if (QueuedCount() >= m_max_queued && RefreshQueuedCount() >= m_max_queued) {
    if (!WaitForRoom(worker)) {
      delete record;
      return false;
    }
  } else if (m_stall.active) {
    StallMayEnd();
  }
  worker.PushTask(record);
  if (record == nullptr) return false;
  if (m_held_bytes != nullptr) {
    m_charges[index].push_back(charge);
    AddHeld(charge);
  }
  if (worker.PendingCount() >= kNotifyBatch) worker.NotifyPending();
  return true;
}

void CThreadPool::Flush() {
  for (auto& worker : m_workers) worker->NotifyPending();
}

size_t CThreadPool::Release(size_t max_per_worker) {
  size_t released = 0;
  for (size_t i = 0; i < m_workers.size(); ++i) {
    for (size_t n = 0; n < max_per_worker; ++n) {
      MarketDataType* record = GetTask(static_cast<int>(i));
      if (record == nullptr) break;
      delete record;
      ++released;
    }
  }
  return released;
}

size_t CThreadPool::ReleaseSome(size_t max) {
  size_t released = 0;
  const size_t count = m_workers.size();
  for (size_t looked = 0; looked < count && released < max; ++looked) {
    const int index = static_cast<int>(m_release_turn);
    m_release_turn = m_release_turn + 1 < count ? m_release_turn + 1 : 0;
    while (released < max) {
      MarketDataType* record = GetTask(index);
      if (record == nullptr) break;
      delete record;
      ++released;
    }
  }
  return released;
}

bool CThreadPool::HasDelivered() const {
  for (const auto& worker : m_workers) {
    if (worker->HasDelivered()) return true;
  }
  return false;
}

uint64_t CThreadPool::QueuedCount() const {
  uint64_t queued = 0;
  for (const auto& worker : m_workers) queued += worker->QueuedCount();
  return queued;
}

uint64_t CThreadPool::RefreshQueuedCount() {
  uint64_t queued = 0;
  for (auto& worker : m_workers) queued += worker->RefreshQueuedCount();
  return queued;
}

bool CThreadPool::WaitForRoom(CWorkerThread& worker) {
  const auto now = std::chrono::steady_clock::now();
  if (!m_stall.active) {
    m_stall.active = true;
    m_stall.started = now;
    m_stall.records = 0;
    WarnPrint("Callback workers held %llu queued records: decompress thread waits for worker %u",
              static_cast<unsigned long long>(m_max_queued), worker.Index());
  }
  ++m_stall.records;
  Flush();  // a parked worker holding records must be woken to make room
  for (;;) {
    ReleaseDelivered();
    if (RefreshQueuedCount() < m_max_queued) {
      m_stall.last_room = std::chrono::steady_clock::now();
      return true;
    }
    if (m_stopping.load() || worker.HasEnded()) break;
    std::this_thread::sleep_for(BaseConfig::GetInstance().GetThreadIdleSleepTime());
  }
  m_stall.last_room = std::chrono::steady_clock::now();
  EndStall(", record not queued (stopping)");
  return false;
}

void CThreadPool::StallMayEnd() {
  if (RefreshQueuedCount() <= m_max_queued / 2) EndStall("");
}

void CThreadPool::EndStall(const char* outcome) {
  if (!m_stall.active) return;
  m_stall.active = false;
  const double lasted_ms = std::chrono::duration<double, std::milli>(m_stall.last_room - m_stall.started).count();
  WarnPrint("Callback workers held %llu queued records: decompress thread waited %.3f ms, %llu records waited%s",
            static_cast<unsigned long long>(m_max_queued), lasted_ms,
            static_cast<unsigned long long>(m_stall.records), outcome);
}

void CThreadPool::ReleaseDelivered() { Release(SIZE_MAX); }

MarketDataType* CThreadPool::GetTask(int index) {
  if (index < 0 || static_cast<size_t>(index) >= m_workers.size()) return nullptr;
  const size_t i = static_cast<size_t>(index);
  MarketDataType* record = m_workers[i]->GetTask();
  if (record != nullptr && m_delivered != nullptr) {
    m_delivered->store(m_delivered->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  if (record != nullptr && m_held_bytes != nullptr && !m_charges[i].empty()) {
    AddHeld(-static_cast<int64_t>(m_charges[i].front()));
    m_charges[i].pop_front();
  }
  return record;
}

std::vector<MarketDataType*> CThreadPool::Stop() {
  // Every worker is told first, so none starts another record while an
  // earlier one is being joined.
  for (auto& worker : m_workers) worker->RequestStop();
  m_stopping.store(true);
  EndStall("");  // the producer no longer runs: a stall still open ends here
  std::vector<MarketDataType*> left;
  for (auto& worker : m_workers) {
    std::vector<MarketDataType*> part = worker->Stop();
    left.insert(left.end(), part.begin(), part.end());
  }
  // Every record still held goes back to the caller, and its charge with it.
  if (m_held_bytes != nullptr) {
    for (auto& charges : m_charges) {
      for (uint32_t charge : charges) AddHeld(-static_cast<int64_t>(charge));
      charges.clear();
    }
  }
  return left;
}

void CThreadPool::Destroy() {
  for (MarketDataType* record : Stop()) delete record;
  m_workers.clear();
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
