// The decode stage of one site type's data pipeline: takes market-data frames
// from the site type's raw-data queue, LZ4-decompresses a compressed body,
// cuts it into length-prefixed records, decodes each into a heap MarketData
// and hands it to its own callback worker pool, keyed by the record's channel.
// Each used body buffer goes back to the connection through the back queue.
// Workers are woken once per frame; delivered records are released a few at
// a time after each frame, and all of them when the feed goes quiet. Each
// decoded record is charged to the site type's decode link until released;
// while the records held reach half the site type's budget, decoding waits
// for the callbacks (the other half is the connection's, for payloads).
// Idle, the thread backs off by the data path's idle policy and parks until
// the connection queues a frame or a worker hands records back.
//
// Owned by the data disruptor. Threads:
//   owner thread: constructor, Start, Stop, destructor, DecompressBufferSize
//   own thread (Run): consumer of the raw-data queue, producer of the back
//   queue, producer of every worker queue of its pool
// Owns its worker pool, the decompression buffer and every record until the
// pool takes it; holds a shared reference to both queues of its site type.
#ifndef QEL_DISRUPTOR_DECOMPRESS_THREAD_H
#define QEL_DISRUPTOR_DECOMPRESS_THREAD_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "common/common_def.h"
#include "disruptor/ThreadPool.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

class DecompressThread {
 public:
  // Per-worker queue room of the pool (records).
  static constexpr uint32_t WORKER_QUEUE_SIZE = 262144;
  // Room of the decompression buffer before the first compressed frame.
  static constexpr size_t INITIAL_BUFFER_SIZE = 4096;
  // Largest decompressed length a compressed frame may announce. A frame is
  // at most 64 KiB on the wire, so a larger figure is corrupt data, and
  // honouring it would let one bad frame claim gigabytes of buffer.
  static constexpr int32_t MAX_DECOMPRESSED_LENGTH = 64 * 1024 * 1024;

  // A decoded record's charge per byte of its wire form: a decoded record
  // takes about nine to ten times its wire length on the heap (stock
  // snapshots, orders and trades alike).
  static constexpr uint32_t kHeldBytesPerWireByte = 10;
  // Delivered records are released a few at a time as decoding goes on: up
  // to kReleaseBatch after every kReleaseEvery records decoded. Small groups
  // of frees fit glibc's per-thread cache, so the next allocations reuse the
  // memory at once; hundreds at a time would spill into the shared bins.
  static constexpr uint32_t kReleaseEvery = 4;
  static constexpr size_t kReleaseBatch = 8;
  // Longest park of a thread whose producer cannot wake it (no decode link).
  static constexpr std::chrono::microseconds kUnlinkedPark{1000};

  // The thread keeps its own reference to each queue (copies of the map
  // entries), so a queue outlives its consumer even when the map entry is
  // replaced by a later login. decodeLink is shared with the connection
  // that fills the queue (it wakes this thread and reads the records'
  // charge). Without one the thread makes its own, which no producer
  // wakes: it then parks for kUnlinkedPark at most.
  DecompressThread(const std::shared_ptr<RawDataQueue>& rawDataQueue,
                   const std::shared_ptr<RawDataQueueBack>& rawDataQueueBack,
                   std::shared_ptr<DecodeLink> decodeLink = nullptr);
  // Stops the thread if it runs, then destroys the pool: workers end after
  // the callback in progress, records still queued are released undelivered.
  ~DecompressThread();
  DecompressThread(const DecompressThread&) = delete;
  DecompressThread& operator=(const DecompressThread&) = delete;

  void Init() {}
  // Starts the pool with thread_size workers (a negative count is 0), then
  // the thread. max_queued bounds each worker's queue (0: its pre-sized
  // room); at the bound the thread waits for the worker. A thread still
  // running from an earlier Start is stopped first.
  void Start(MessageHandle* handle, int thread_size, uint32_t max_queued = 0, int site_type = -1);
  // Ends the thread after the frame in progress and joins it; records of
  // that frame not yet queued for a worker are released, so Stop never waits
  // for a slow callback. Workers go on delivering what is queued until the
  // object is destroyed. Frames still in the raw-data queue stay there.
  // Idempotent.
  void Stop();

  // Bytes of the decompression buffer; read it only while the thread does
  // not run (before Start or after Stop).
  size_t DecompressBufferSize() const { return m_originalDataSize; }

 private:
  void Run(int site_type);
  void ProcessRawData(RawData* data);
  // Decompresses a compressed body into m_originalData; the decompressed
  // length, or -1 (logged) when the frame cannot be decompressed.
  int32_t Decompress(const RawData& data);
  void ReturnBody(RawData* data);
  // Adds the delay since the frame's SendTime to the decode link's histogram.
  void RecordDelay(const RawData& data);
  // Releases every record the workers have handed back.
  void ReclaimAll();
  // Before a frame is decoded: while the records held reach m_recordLimit,
  // releases delivered ones and waits (thread_sleep_time per look). False
  // when Stop ends the wait.
  bool WaitForRecordRoom();
  static bool IsNeedDecompress(uint16_t flags);

  std::shared_ptr<RawDataQueue> m_rawDataQueue;
  std::shared_ptr<RawDataQueueBack> m_rawDataQueueBack;
  std::shared_ptr<DecodeLink> m_decodeLink;  // never null
  std::chrono::microseconds m_parkLimit{0};  // zero: parks until woken
  std::thread m_thread;
  std::atomic<bool> m_stop{true};
  std::unique_ptr<CThreadPool> m_threadpool_ptr;
  std::unique_ptr<char[]> m_originalData;
  size_t m_originalDataSize = 0;
  int32_t m_thread_size = 0;
  IdleSettings m_idle;  // read from the configuration at Start
  // Share of the site type's budget the decoded records may hold before
  // decoding waits: half of it, the other half being the connection's for
  // payloads. Read from the configuration at Start.
  int64_t m_recordLimit = 1;
  uint32_t m_decodedSinceRelease = 0;  // own thread only
  int m_site_type = -1;  // named in the thread's warning lines
  MessageHandle* m_handle = nullptr;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DISRUPTOR_DECOMPRESS_THREAD_H
