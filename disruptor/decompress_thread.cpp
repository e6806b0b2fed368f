#include "disruptor/decompress_thread.h"

#include <lz4.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>

#include "common/library_threads.h"
#include "config/base_config.h"
#include "log/base_log.h"
#include "protocol/ventrix_message.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {

constexpr uint16_t kCompressFlag = 16384;  // frame header bit 14: LZ4 body
constexpr int32_t kLengthPrefixSize = 4;   // every length on the data path is a 32-bit little-endian int

int32_t ReadLittleEndianInt32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  const uint32_t v = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                     (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  int32_t out;
  std::memcpy(&out, &v, sizeof(out));
  return out;
}

void LogFrameDropped(const RawData& data, const char* reason, long long a, long long b) {
  ErrorPrint("ProcessRawData Decompressed market data failed!");
  WarnPrint("Market-data frame dropped (channel %d, index %lld, payload %d bytes): %s (%lld, %lld)",
            data.m_channelNo, static_cast<long long>(data.m_channelIdx), data.m_payloadLength, reason, a, b);
}

}  // namespace

DecompressThread::DecompressThread(const std::shared_ptr<RawDataQueue>& rawDataQueue,
                                   const std::shared_ptr<RawDataQueueBack>& rawDataQueueBack,
                                   std::shared_ptr<DecodeLink> decodeLink)
    : m_rawDataQueue(rawDataQueue),
      m_rawDataQueueBack(rawDataQueueBack),
      m_decodeLink(decodeLink ? decodeLink : std::make_shared<DecodeLink>()),
      m_parkLimit(decodeLink ? std::chrono::microseconds::zero() : kUnlinkedPark),
      m_threadpool_ptr(std::make_unique<CThreadPool>()),
      m_originalData(new char[INITIAL_BUFFER_SIZE]),
      m_originalDataSize(INITIAL_BUFFER_SIZE) {}

DecompressThread::~DecompressThread() {
  Stop();
  // The thread is joined: nothing hands records to the pool any more.
  m_threadpool_ptr.reset();
}

void DecompressThread::Start(MessageHandle* handle, int thread_size, uint32_t max_queued, int site_type) {
  Stop();
  m_thread_size = thread_size > 0 ? thread_size : 0;
  m_handle = handle;
  m_site_type = site_type;
  const BaseConfig& config = BaseConfig::GetInstance();
  m_idle = IdleSettings{config.GetIdleSpinCount(), config.GetIdleYieldCount()};
  // Half the budget, and at least one byte so that decoding always starts
  // with nothing held.
  m_recordLimit = std::max<int64_t>(1, static_cast<int64_t>(config.GetMaxInflightBytes()) / 2);
  m_threadpool_ptr->Init(static_cast<uint32_t>(m_thread_size), WORKER_QUEUE_SIZE, handle, max_queued, site_type,
                         m_idle, &m_decodeLink->wake, &m_decodeLink->heldRecordBytes,
                         &m_decodeLink->recordsDelivered);
  m_stop.store(false);
  m_thread = std::thread([this, site_type] { Run(site_type); });
}

void DecompressThread::Stop() {
  m_stop.store(true);
  if (!m_thread.joinable()) return;
  // A thread waiting for room at a full worker gives up at once; what the
  // workers hold is still delivered.
  m_threadpool_ptr->RequestStop();
  m_decodeLink->wake.Wake();  // a parked thread sees m_stop at once
  m_thread.join();
}

bool DecompressThread::IsNeedDecompress(uint16_t flags) { return (flags & kCompressFlag) != 0; }

void DecompressThread::Run(int site_type) {
  MarkLibraryThread("qel-decomp-" + std::to_string(site_type));
  CThread::UseFineTimerSlack();  // back-pressure waits are short sleeps
  InfoPrint("Strat decompress thread success");
  RawDataQueue& queue = *m_rawDataQueue;
  CThreadPool& pool = *m_threadpool_ptr;
  BackoffIdleStrategy idler(m_idle);
  while (!m_stop.load(std::memory_order_relaxed)) {
    RawData* item = queue.front();
    if (item == nullptr) {
      // Idle: records delivered meanwhile are released now rather than with
      // the next frame, so they do not sit in memory (nor hold the budget)
      // while the feed is quiet.
      ReclaimAll();
      pool.NoteIdle();  // a stall ends once the workers have caught up
      idler.Idle(m_decodeLink->wake, [&queue, &pool, this] {
        return queue.front() != nullptr || pool.HasDelivered() || m_stop.load();
      }, m_parkLimit);
      continue;
    }
    idler.Reset();
    // The connection admits a frame while payloads and records together fit
    // the budget, but decoding turns a payload into records several times
    // its size; decoding waits while the records alone hold their share.
    if (!WaitForRecordRoom()) break;
    ProcessRawData(item);
    pool.Flush();  // one wake-up per frame for each worker given records
    ReturnBody(item);
    queue.pop();
  }
}

void DecompressThread::ReturnBody(RawData* data) {
  if (data->m_body == nullptr) return;
  char** slot = m_rawDataQueueBack ? m_rawDataQueueBack->alloc() : nullptr;
  if (slot != nullptr) {
    *slot = data->m_body;
    m_rawDataQueueBack->push();
  } else {
    // Never block here: a full back queue means the connection is not
    // reaping; waiting would stall the pipeline behind it.
    ErrorPrint("RawDataQueueBack alloc failed");
    delete[] data->m_body;
  }
  data->m_body = nullptr;
}

// Measured as the frame's records are about to be handed over: the callback
// queue's wait is not included, since a record carries no send time of its own.
void DecompressThread::RecordDelay(const RawData& data) {
  if (data.m_sendTime <= 0) return;
  const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  m_decodeLink->sendToHandover.Record((now_ns - data.m_sendTime) / 1000);
}

void DecompressThread::ReclaimAll() { m_threadpool_ptr->Release(SIZE_MAX); }

bool DecompressThread::WaitForRecordRoom() {
  std::atomic<int64_t>& held = m_decodeLink->heldRecordBytes;
  if (held.load(std::memory_order_relaxed) < m_recordLimit) return true;
  const auto started = std::chrono::steady_clock::now();
  WarnPrint("Decoded records of site type %d hold %lld bytes, their share of the budget: the decompress thread "
            "waits for the callbacks",
            m_site_type, static_cast<long long>(held.load(std::memory_order_relaxed)));
  m_threadpool_ptr->Flush();  // a parked worker holding records must be woken to deliver them
  for (;;) {
    ReclaimAll();
    if (held.load(std::memory_order_relaxed) < m_recordLimit) break;
    if (m_stop.load(std::memory_order_relaxed)) return false;
    std::this_thread::sleep_for(BaseConfig::GetInstance().GetThreadIdleSleepTime());
  }
  InfoPrint("Decoded records of site type %d: the decompress thread waited %.3f ms for the callbacks", m_site_type,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
  return true;
}

int32_t DecompressThread::Decompress(const RawData& data) {
  if (data.m_payloadLength < kLengthPrefixSize) {
    LogFrameDropped(data, "compressed body shorter than its length prefix", data.m_payloadLength, 0);
    return -1;
  }
  const int32_t decompressed = ReadLittleEndianInt32(data.m_body);
  // A zero length is refused too: LZ4 never makes an empty block, and an
  // empty frame carries no record.
  if (decompressed <= 0 || decompressed > MAX_DECOMPRESSED_LENGTH) {
    LogFrameDropped(data, "decompressed length out of range (length, limit)", decompressed,
                    MAX_DECOMPRESSED_LENGTH);
    return -1;
  }
  const size_t needed = static_cast<size_t>(decompressed);
  if (m_originalDataSize < needed) {
    // Twice the need, so a stream of similar frames reallocates once. The old
    // contents are not kept: every frame overwrites what it uses.
    m_originalData.reset();
    m_originalDataSize = 0;
    try {
      m_originalData.reset(new char[needed * 2]);
    } catch (const std::bad_alloc&) {
      LogFrameDropped(data, "no memory for the decompression buffer (bytes, 0)", static_cast<long long>(needed * 2), 0);
      return -1;
    }
    m_originalDataSize = needed * 2;
  }
  // The safe decoder never reads past the compressed size nor writes past
  // the capacity given. Anything but exactly the announced length is a
  // failure: a shorter result would leave the tail of the buffer stale.
  const int result = LZ4_decompress_safe(data.m_body + kLengthPrefixSize, m_originalData.get(),
                                         data.m_payloadLength - kLengthPrefixSize, decompressed);
  if (result != decompressed) {
    LogFrameDropped(data, "LZ4 block rejected (result, announced length)", result, decompressed);
    return -1;
  }
  return decompressed;
}

void DecompressThread::ProcessRawData(RawData* data) {
  if (data == nullptr || data->m_body == nullptr) return;
  const char* records = data->m_body;
  int32_t length = data->m_payloadLength;
  if (IsNeedDecompress(static_cast<uint16_t>(data->m_flags))) {
    length = Decompress(*data);
    if (length < 0) {
      BumpOwned(m_decodeLink->decodeFailures);
      return;
    }
    records = m_originalData.get();
  }
  if (length <= 0) return;
  RecordDelay(*data);

  // Each length is checked as it is read: the records before a framing fault
  // are delivered, the fault and everything after it skipped (one warning).
  int32_t pos = 0;
  while (pos < length) {
    const int32_t remaining = length - pos;
    if (remaining < kLengthPrefixSize) {
      WarnPrint("Market-data frame cut short (site type %d, channel %d, index %lld): %d bytes left after the last "
                "record, too few for a record length; the records before them were delivered",
                m_site_type, data->m_channelNo, static_cast<long long>(data->m_channelIdx), remaining);
      BumpOwned(m_decodeLink->decodeFailures);
      return;
    }
    const int32_t recordLength = ReadLittleEndianInt32(records + pos);
    // Negative first: a negative length is never used as a size or an offset.
    if (recordLength < 0) {
      WarnPrint("Market-data frame cut short (site type %d, channel %d, index %lld): negative record length %d at "
                "offset %d; the records before it were delivered, the rest of the frame (%d bytes) skipped",
                m_site_type, data->m_channelNo, static_cast<long long>(data->m_channelIdx), recordLength, pos,
                remaining);
      BumpOwned(m_decodeLink->decodeFailures);
      return;
    }
    if (recordLength > remaining - kLengthPrefixSize) {
      WarnPrint("Market-data frame cut short (site type %d, channel %d, index %lld): record length %d beyond the %d "
                "bytes left, at offset %d; the records before it were delivered, the rest of the frame skipped",
                m_site_type, data->m_channelNo, static_cast<long long>(data->m_channelIdx), recordLength,
                remaining - kLengthPrefixSize, pos);
      BumpOwned(m_decodeLink->decodeFailures);
      return;
    }
    auto* record = new MarketDataType();
    if (VentrixMessage::DecodeMsgBody(records + pos + kLengthPrefixSize, recordLength, *record) != 0) {
      // Its length was sound, so the records after it are framed right: only
      // this one is skipped, the others are delivered.
      ErrorPrint("ProcessRawData Decode market data failed!");
      WarnPrint("Market-data record skipped (channel %d, index %lld, offset %d, %d bytes): does not parse",
                data->m_channelNo, static_cast<long long>(data->m_channelIdx), pos, recordLength);
      delete record;
      BumpOwned(m_decodeLink->decodeFailures);
      pos += kLengthPrefixSize + recordLength;
      continue;
    }
    pos += kLengthPrefixSize + recordLength;
    // Ownership passes to the pool in every case; false only while stopping.
    const uint32_t charge = static_cast<uint32_t>(recordLength) * kHeldBytesPerWireByte;
    if (!m_threadpool_ptr->AddTask(record->qelmessagechannel(), record, charge)) {
      if (m_stop.load(std::memory_order_relaxed)) return;
    } else {
      BumpOwned(m_decodeLink->recordsDecoded);
    }
    if (++m_decodedSinceRelease >= kReleaseEvery) {
      m_decodedSinceRelease = 0;
      m_threadpool_ptr->ReleaseSome(kReleaseBatch);
    }
  }
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
