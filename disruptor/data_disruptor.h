// Starts and stops the consuming side of the data pipeline as one unit: one
// decompress thread per site type (each with its own callback worker pool)
// over the datafeed client's raw-data and back queues.
//
// Owned by the datafeed client through a shared pointer. Threads: Start,
// Stop, AddSiteType, RemoveSiteType and the queries may be called from any thread, also
// concurrently (the datafeed client calls Start and Stop on the application's
// thread and AddSiteType on the thread that logged in again); the destructor
// once no other call is in progress.
// Owns the decompress threads; borrows the handle and the two queue maps,
// which belong to the datafeed client and outlive the disruptor. The maps
// are only read, and only while the caller does not modify them.
#ifndef QEL_DISRUPTOR_DATA_DISRUPTOR_H
#define QEL_DISRUPTOR_DATA_DISRUPTOR_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "common/common_def.h"
#include "common/mutex.h"
#include "disruptor/decompress_thread.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using ThreadPoolMap = std::unordered_map<uint32_t, std::shared_ptr<DecompressThread>>;

class DataDisruptor {
 public:
  // Records the configured worker count; starts nothing. The maps are the
  // owner's and must outlive the disruptor. A site type's entry in links is
  // shared with its connection (wake-ups, the charge of decoded records); a
  // site type without one gets a link of its own.
  DataDisruptor(MessageHandle* handle, RawDataQueueMap& rawDataQueueMap, RawDataQueueBackMap& rawDataQueueBackMap,
                const DecodeLinkMap* links = nullptr);
  // Stop(), then releases every decompress thread, which stops its workers
  // and releases the records still queued.
  ~DataDisruptor();
  DataDisruptor(const DataDisruptor&) = delete;
  DataDisruptor& operator=(const DataDisruptor&) = delete;

  // Creates and starts one decompress thread with its pool per raw-data
  // queue in the map. A pipeline from an earlier Start is stopped and
  // released first (its queued records undelivered), so the threads never
  // double up on a queue.
  void Start();
  // Stops every decompress thread; the pools keep delivering what they hold
  // until the disruptor is destroyed or started again. Idempotent.
  void Stop();
  // For a site type whose queues were added to the maps after Start (a login
  // that brought new node lists): creates and starts its decompress thread.
  // True when a decompress thread runs for it afterwards (also when one ran
  // already); false when the disruptor is not started or stopped, or the
  // maps hold no queue pair for it.
  bool AddSiteType(uint32_t siteType);
  // For a site type the owner drops (a login whose node map no longer lists
  // it): stops its decompress thread and releases it with its pool, which
  // releases the records still queued there. Returns once nothing reads the
  // site type's queues any more, so the owner may then drain and release
  // them. False when no thread ran for it.
  bool RemoveSiteType(uint32_t siteType);

  bool IsRunning() const;
  size_t DecompressThreadCount() const;
  bool HasSiteType(uint32_t siteType) const;

 private:
  // Creates and starts the thread of one site type; false when the maps hold
  // no usable queue pair for it.
  bool StartSiteType(uint32_t siteType) REQUIRES(m_threads_mutex);
  void StopThreads() REQUIRES(m_threads_mutex);

  MessageHandle* m_handle;
  const RawDataQueueMap& m_rawDataQueueMap;
  const RawDataQueueBackMap& m_rawDataQueueBackMap;
  const DecodeLinkMap* m_links;  // borrowed; may be null
  // Serialises Start, Stop, AddSiteType, RemoveSiteType and destruction: the set of threads
  // and whether the pipeline runs.
  mutable Mutex m_threads_mutex;
  ThreadPoolMap m_decompressThreads GUARDED_BY(m_threads_mutex);
  bool m_running GUARDED_BY(m_threads_mutex) = false;
  const uint32_t m_userCallbackThreadNum;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DISRUPTOR_DATA_DISRUPTOR_H
