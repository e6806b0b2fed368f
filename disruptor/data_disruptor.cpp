#include "disruptor/data_disruptor.h"

#include <utility>

#include "config/base_config.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

DataDisruptor::DataDisruptor(MessageHandle* handle, RawDataQueueMap& rawDataQueueMap,
                             RawDataQueueBackMap& rawDataQueueBackMap, const DecodeLinkMap* links)
    : m_handle(handle),
      m_rawDataQueueMap(rawDataQueueMap),
      m_rawDataQueueBackMap(rawDataQueueBackMap),
      m_links(links),
      m_userCallbackThreadNum(BaseConfig::GetInstance().GetHandleThreadNum()) {}

DataDisruptor::~DataDisruptor() {
  ThreadPoolMap threads;
  {
    MutexLock lock(m_threads_mutex);
    StopThreads();
    threads.swap(m_decompressThreads);
  }
  // Released outside the lock: each release joins that thread's workers.
  threads.clear();
}

void DataDisruptor::Start() {
  ThreadPoolMap previous;
  MutexLock lock(m_threads_mutex);
  if (!m_decompressThreads.empty()) {
    StopThreads();
    previous.swap(m_decompressThreads);
    // The old pools end here, before new consumers attach to the queues.
    previous.clear();
  }
  InfoPrint("Start data disruptor");
  InfoPrint("Create user callback threads, num=%d", static_cast<int>(m_userCallbackThreadNum));
  // Counted when started, not when constructed: the owner may have added
  // site types in between, and each of them gets its thread here.
  InfoPrint("Create decompress threads, num=%d", static_cast<int>(m_rawDataQueueMap.size()));
  m_running = true;
  for (const auto& entry : m_rawDataQueueMap) StartSiteType(entry.first);
  InfoPrint("Create decompress threads finish");
}

void DataDisruptor::Stop() {
  MutexLock lock(m_threads_mutex);
  StopThreads();
}

void DataDisruptor::StopThreads() {
  InfoPrint("Stop decompress threads");
  m_running = false;
  for (auto& entry : m_decompressThreads) entry.second->Stop();
  InfoPrint("Stop decompress finish");
}

bool DataDisruptor::AddSiteType(uint32_t siteType) {
  MutexLock lock(m_threads_mutex);
  if (!m_running) return false;
  if (m_decompressThreads.count(siteType) != 0) return true;
  if (!StartSiteType(siteType)) return false;
  InfoPrint("Create decompress thread for site type %u", siteType);
  return true;
}

bool DataDisruptor::RemoveSiteType(uint32_t siteType) {
  std::shared_ptr<DecompressThread> thread;
  {
    MutexLock lock(m_threads_mutex);
    const auto found = m_decompressThreads.find(siteType);
    if (found == m_decompressThreads.end()) return false;
    thread = std::move(found->second);
    m_decompressThreads.erase(found);
    thread->Stop();
  }
  // Released outside the lock, as in the destructor: the release joins the
  // thread's workers.
  thread.reset();
  InfoPrint("Removed decompress thread for site type %u", siteType);
  return true;
}

bool DataDisruptor::StartSiteType(uint32_t siteType) {
  const auto queue = m_rawDataQueueMap.find(siteType);
  const auto back = m_rawDataQueueBackMap.find(siteType);
  if (queue == m_rawDataQueueMap.end() || back == m_rawDataQueueBackMap.end() || !queue->second ||
      !back->second) {
    // The owner creates both queues of a site type together; a missing one
    // would leave the thread without a consumer or producer side.
    ErrorPrint("No raw-data queue pair for site type %u, no decompress thread", siteType);
    return false;
  }
  std::shared_ptr<DecodeLink> link;
  if (m_links != nullptr) {
    const auto found = m_links->find(siteType);
    if (found != m_links->end()) link = found->second;
  }
  auto thread = std::make_shared<DecompressThread>(queue->second, back->second, std::move(link));
  thread->Start(m_handle, static_cast<int>(m_userCallbackThreadNum), 0, static_cast<int>(siteType));
  m_decompressThreads[siteType] = std::move(thread);
  return true;
}

bool DataDisruptor::IsRunning() const {
  MutexLock lock(m_threads_mutex);
  return m_running;
}

size_t DataDisruptor::DecompressThreadCount() const {
  MutexLock lock(m_threads_mutex);
  return m_decompressThreads.size();
}

bool DataDisruptor::HasSiteType(uint32_t siteType) const {
  MutexLock lock(m_threads_mutex);
  return m_decompressThreads.count(siteType) != 0;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
