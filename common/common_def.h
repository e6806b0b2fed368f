// Shared data-path definitions: the queued market-data frame record and the
// two lock-free queues that each site type runs between its connection thread
// and its decompress thread.
//
//   RawDataQueue      connection thread -> decompress thread, one RawData per
//                     market-data frame;
//   RawDataQueueBack  decompress thread -> connection thread, each used body
//                     buffer, so bodies are allocated and released on the
//                     connection thread.
//
// Each queue is 64 MiB: create it with std::make_shared, never on a stack.
#ifndef QEL_COMMON_COMMON_DEF_H
#define QEL_COMMON_COMMON_DEF_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "common/delay_histogram.h"
#include "common/idle_strategy.h"
#include "common/spsc_queue.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

// One market-data frame as queued. m_body is a heap array (new char[]) of
// m_payloadLength bytes: owned by the item while it is in the raw-data queue,
// by the back-queue slot once returned, and released with delete[].
struct RawData {
  RawData()
      : m_flags(0), m_channelNo(0), m_channelIdx(0), m_qelDataType(0), m_payloadLength(0), m_messageNum(0),
        m_sendTime(0), m_body(nullptr) {}

  int16_t m_flags;          // frame header flags; MSG_HEADER_FLAGS_COMPRESS marks an LZ4 body
  int32_t m_channelNo;      // MetaData ChannelNo
  int64_t m_channelIdx;     // MetaData ChannelIndex
  int32_t m_qelDataType;    // MetaData QELDataType
  int32_t m_payloadLength;  // body length in bytes
  int32_t m_messageNum;     // MetaData QELSysMessageNum (informational)
  int64_t m_sendTime;       // MetaData SendTime: Unix nanoseconds, 0 when the node sets none
  char* m_body;
};

constexpr uint32_t RAW_DATA_QUEUE_SIZE = 524288;

using RawDataQueue = SPSCQueueOpt<RawData, RAW_DATA_QUEUE_SIZE>;
using RawDataQueueBack = SPSCQueueOpt<char*, RAW_DATA_QUEUE_SIZE>;
// Keyed by site type.
using RawDataQueueMap = std::unordered_map<uint32_t, std::shared_ptr<RawDataQueue>>;
using RawDataQueueBackMap = std::unordered_map<uint32_t, std::shared_ptr<RawDataQueueBack>>;
// What one site type's connection thread and decompress thread share beside
// their two queues. Created with the queues, held by both threads.
struct DecodeLink {
  // Wakes the parked decompress thread: the connection queued frames, or
  // callback workers handed delivered records back.
  WakeSignal wake;
  // Charge of the decoded records not yet released (delivered or waiting for
  // a worker), in bytes; written by the decompress thread only, read by the
  // connection, which holds it against the site type's memory budget
  // together with the payloads in flight.
  std::atomic<int64_t> heldRecordBytes{0};
  // Statistics of the decode side, written by the decompress thread only
  // (relaxed single-writer stores) and read by the client's snapshots.
  std::atomic<uint64_t> recordsDecoded{0};    // records handed to the callback workers
  std::atomic<uint64_t> recordsDelivered{0};  // records whose callback returned, as taken back from the workers
  std::atomic<uint64_t> decodeFailures{0};    // frames dropped or cut short, records that do not parse
  // From a frame's SendTime to the hand-over of its records to the workers.
  DelayHistogram sendToHandover;
};

// One more on a counter that only the calling thread writes.
inline void BumpOwned(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
using DecodeLinkMap = std::unordered_map<uint32_t, std::shared_ptr<DecodeLink>>;

// Queues never free body buffers; at shutdown the owner drains them with these, releasing every buffer still queued.
// Call them only while the queue has no running producer or consumer (after
// the connection and decompress threads have been joined): they act as the
// consumer. The queue is left empty and reusable. Each returns the number of
// buffers released; null pointers are popped and not counted.
inline uint32_t ReleaseQueuedBodies(RawDataQueue& rawDataQueue) {
  uint32_t released = 0;
  // A queue holds at most kCapacity items; the bound also ends the loop if a
  // producer is wrongly still running.
  for (uint32_t i = 0; i < RawDataQueue::kCapacity; ++i) {
    RawData* item = rawDataQueue.front();
    if (item == nullptr) break;
    if (item->m_body != nullptr) {
      delete[] item->m_body;
      item->m_body = nullptr;
      ++released;
    }
    rawDataQueue.pop();
  }
  return released;
}

inline uint32_t ReleaseQueuedBodies(RawDataQueueBack& rawDataQueueBack) {
  uint32_t released = 0;
  for (uint32_t i = 0; i < RawDataQueueBack::kCapacity; ++i) {
    char** slot = rawDataQueueBack.front();
    if (slot == nullptr) break;
    if (*slot != nullptr) {
      delete[] *slot;
      *slot = nullptr;
      ++released;
    }
    rawDataQueueBack.pop();
  }
  return released;
}

// Both queues of one site type.
inline uint32_t DrainRawDataQueues(RawDataQueue& rawDataQueue, RawDataQueueBack& rawDataQueueBack) {
  return ReleaseQueuedBodies(rawDataQueue) + ReleaseQueuedBodies(rawDataQueueBack);
}

// Every queue of the owner's two maps; null entries are skipped.
inline uint32_t DrainRawDataQueues(RawDataQueueMap& rawDataQueueMap, RawDataQueueBackMap& rawDataQueueBackMap) {
  uint32_t released = 0;
  for (auto& entry : rawDataQueueMap) {
    if (entry.second) released += ReleaseQueuedBodies(*entry.second);
  }
  for (auto& entry : rawDataQueueBackMap) {
    if (entry.second) released += ReleaseQueuedBodies(*entry.second);
  }
  return released;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_COMMON_DEF_H
