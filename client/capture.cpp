// Capture recording (a frame tap feeding a writer thread) and reading.
// File layout: docs/capture-format.md.
#include "capture.h"

#include <lz4.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>

#include "common/frame_tap.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "config/error_define.h"
#include "log/base_log.h"
#include "protocol/ventrix_message.h"
#include "protocol/ventrix_message_header.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {

constexpr char kMagic[8] = {'Q', 'E', 'L', 'C', 'A', 'P', '\r', '\n'};
constexpr int kFormatVersion = 1;
constexpr size_t kFileHeaderSize = 16;   // magic, u16 version, u16 flags, u32 reserved
constexpr size_t kEntryFixedSize = 12;   // i64 receive time, i32 site type (after the u32 length)
constexpr uint32_t kMaxEntryLength = 16u * 1024 * 1024;  // far above any frame (two 64 KiB fields)
constexpr uint16_t kCompressFlag = 0x4000;               // frame header bit 14: LZ4 payload
constexpr int32_t kMaxDecompressed = 64 * 1024 * 1024;   // as the decode thread's bound
// Frames buffered for the writer, in bytes: beyond it frames are dropped.
constexpr size_t kMaxPendingBytes = 64u * 1024 * 1024;
constexpr size_t kWakeWriterBytes = 1u * 1024 * 1024;  // below it the writer's 10 ms tick collects them

void PutLe(char* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint64_t GetLe(const char* in, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return v;
}

// The tap that copies frames into a bounded buffer and the thread that
// writes them out. Connection threads call OnFrame; the writer thread owns
// the file from Start to the end of Stop.
class CaptureRecorder : public FrameTap {
 public:
  CaptureRecorder(std::FILE* file, std::string path) : m_file(file), m_path(std::move(path)) {}
  ~CaptureRecorder() override {
    if (m_thread.joinable()) Stop();
  }

  // Writes the file header and starts the writer; false when the header
  // cannot be written.
  bool Start() {
    char header[kFileHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    PutLe(header + 8, kFormatVersion, 2);
    if (std::fwrite(header, 1, sizeof header, m_file) != sizeof header) return false;
    m_thread = std::thread([this] { Run(); });
    return true;
  }

  void OnFrame(int site_type, const char* frame, size_t length, int64_t receive_time_ns) override {
    const size_t entry_size = 4 + kEntryFixedSize + length;
    bool wake = false;
    {
      MutexLock lock(m_pending_mutex);
      if (m_pendingBytes + entry_size > kMaxPendingBytes || m_writeFailed) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      m_pending.emplace_back(entry_size, '\0');
      char* out = &m_pending.back()[0];
      PutLe(out, kEntryFixedSize + length, 4);
      PutLe(out + 4, static_cast<uint64_t>(receive_time_ns), 8);
      PutLe(out + 12, static_cast<uint32_t>(site_type), 4);
      std::memcpy(out + 16, frame, length);
      const size_t before = m_pendingBytes - m_writingBytes;
      m_pendingBytes += entry_size;
      wake = before < kWakeWriterBytes && before + entry_size >= kWakeWriterBytes;
    }
    if (wake) m_wake.notify_one();
  }

  // Writes what is buffered, ends the thread and closes the file; 0, or -2
  // when a write failed.
  int Stop() {
    {
      MutexLock lock(m_pending_mutex);
      m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    const long long dropped = m_dropped.load();
    const bool failed = WriteFailed() || !closed;
    if (dropped > 0 || failed) {
      WarnPrint("Capture stopped: %lld frames written, %lld dropped%s", static_cast<long long>(m_written), dropped,
                failed ? "; writing the file failed" : "");
    } else {
      InfoPrint("Capture stopped: %lld frames written, %lld dropped", static_cast<long long>(m_written), dropped);
    }
    return failed ? -2 : 0;
  }

 private:
  bool WriteFailed() {
    MutexLock lock(m_pending_mutex);
    return m_writeFailed;
  }

  void Run() {
    std::vector<std::string> batch;
    long long dropped_reported = 0;
    auto last_report = std::chrono::steady_clock::now();
    for (;;) {
      bool stopping = false;
      size_t batch_bytes = 0;
      {
        MutexLock lock(m_pending_mutex);
        lock.WaitFor(m_wake, std::chrono::milliseconds(10), [this]() REQUIRES(m_pending_mutex) {
          return m_stopping || m_pendingBytes - m_writingBytes >= kWakeWriterBytes;
        });
        batch.swap(m_pending);
        // The batch stays counted against the bound until it is written, so
        // frames in memory never pass kMaxPendingBytes, however slow the file.
        batch_bytes = m_pendingBytes;  // the previous batch was taken off
        m_writingBytes = batch_bytes;
        stopping = m_stopping;
      }
      size_t done = 0;
      for (const std::string& entry : batch) {
        if (std::fwrite(entry.data(), 1, entry.size(), m_file) != entry.size()) break;
        ++done;
      }
      m_written += static_cast<long long>(done);
      const bool ok = done == batch.size();
      const size_t unwritten = batch.size() - done;
      batch.clear();
      {
        MutexLock lock(m_pending_mutex);
        m_pendingBytes -= batch_bytes;
        m_writingBytes = 0;
      }
      if (!ok) {
        ErrorPrint("Capture: writing '%s' failed: %s; frames from now on are dropped", m_path.c_str(),
                   std::strerror(errno));
        MutexLock lock(m_pending_mutex);
        m_writeFailed = true;
        // What the file could not take counts as dropped, as do later frames.
        m_dropped.fetch_add(static_cast<long long>(unwritten + m_pending.size()), std::memory_order_relaxed);
        m_pending.clear();
        m_pendingBytes = 0;
        m_writingBytes = 0;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now - last_report >= std::chrono::seconds(1)) {
        const long long dropped = m_dropped.load(std::memory_order_relaxed);
        if (dropped != dropped_reported) {
          WarnPrint("Capture buffer full: %lld frames dropped in the last second, %lld in all",
                    dropped - dropped_reported, dropped);
          dropped_reported = dropped;
        }
        last_report = now;
      }
      if (stopping) {
        std::fflush(m_file);
        return;
      }
    }
  }

  std::FILE* m_file;  // writer thread's while it runs
  const std::string m_path;
  std::thread m_thread;
  Mutex m_pending_mutex;  // guards the buffer, its size and the stop and failure flags
  std::condition_variable m_wake;
  std::vector<std::string> m_pending GUARDED_BY(m_pending_mutex);  // encoded entries, in arrival order
  size_t m_pendingBytes GUARDED_BY(m_pending_mutex) = 0;  // buffered plus the batch being written
  size_t m_writingBytes GUARDED_BY(m_pending_mutex) = 0;  // of which the batch being written
  bool m_stopping GUARDED_BY(m_pending_mutex) = false;
  bool m_writeFailed GUARDED_BY(m_pending_mutex) = false;
  std::atomic<long long> m_dropped{0};
  long long m_written = 0;  // writer thread's until it is joined
};

Mutex g_capture_mutex;  // guards g_recorder
std::unique_ptr<CaptureRecorder> g_recorder GUARDED_BY(g_capture_mutex);

}  // namespace

int CaptureFormatVersion() { return kFormatVersion; }

// The tap is process-wide: the factory makes one client per process, so its
// frames are all the process receives.
int StartCapture(ClientInterface* client, const char* path) {
  if (client == nullptr || path == nullptr || *path == '\0') return -1;
  MutexLock lock(g_capture_mutex);
  if (g_recorder) {
    ErrorPrint("Capture already running; StopCapture first");
    return -1;
  }
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    ErrorPrint("Capture: cannot open '%s': %s", path, std::strerror(errno));
    return -2;
  }
  auto recorder = std::make_unique<CaptureRecorder>(file, path);
  if (!recorder->Start()) {
    ErrorPrint("Capture: cannot write '%s': %s", path, std::strerror(errno));
    std::fclose(file);
    return -2;
  }
  g_recorder = std::move(recorder);
  SetFrameTap(g_recorder.get());
  InfoPrint("Capture started: '%s'", path);
  return 0;
}

int StopCapture(ClientInterface* client) {
  MutexLock lock(g_capture_mutex);
  if (!g_recorder) return -1;
  SetFrameTap(nullptr);  // no OnFrame call is under way once it returns
  const int result = g_recorder->Stop();
  g_recorder.reset();
  return result;
}

CaptureReader::CaptureReader(const std::string& path) {
  m_file = std::fopen(path.c_str(), "rb");
  if (m_file == nullptr) {
    m_error = "cannot open '" + path + "': " + std::strerror(errno);
    return;
  }
  char header[kFileHeaderSize];
  const size_t got = std::fread(header, 1, sizeof header, m_file);
  if (got < 8 || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    m_error = "'" + path + "' is not a capture file (no capture magic)";
    return;
  }
  if (got < sizeof header) {
    m_error = "'" + path + "' is cut short inside its file header";
    return;
  }
  m_version = static_cast<int>(GetLe(header + 8, 2));
  const unsigned flags = static_cast<unsigned>(GetLe(header + 10, 2));
  if (m_version > kFormatVersion) {
    m_error = "capture format version " + std::to_string(m_version) + " is newer than this reader's " +
              std::to_string(kFormatVersion);
  } else if (m_version < 1) {
    m_error = "capture format version 0 is not valid";
  } else if (flags != 0) {
    // Bit 0 is reserved for entries stored in LZ4-compressed blocks.
    m_error = "capture flags " + std::to_string(flags) + " are not known to this reader";
  }
}

CaptureReader::~CaptureReader() {
  if (m_file != nullptr) std::fclose(m_file);
}

CaptureReader::Result CaptureReader::Next(CaptureEntry* entry) {
  if (!ok() || m_file == nullptr) return Result::kError;
  const std::string where = "entry " + std::to_string(m_entries + 1);
  char length_bytes[4];
  const size_t got = std::fread(length_bytes, 1, sizeof length_bytes, m_file);
  if (got == 0 && std::feof(m_file)) return Result::kEnd;
  if (got < sizeof length_bytes) {
    m_error = "capture cut short: " + where + " has " + std::to_string(got) + " of its 4 length bytes; ignored";
    return Result::kTruncated;
  }
  const uint32_t length = static_cast<uint32_t>(GetLe(length_bytes, 4));
  if (length < kEntryFixedSize || length > kMaxEntryLength) {
    m_error = where + ": length " + std::to_string(length) + " is out of range; cannot read on";
    return Result::kError;
  }
  std::string body(length, '\0');
  const size_t body_got = std::fread(&body[0], 1, length, m_file);
  if (body_got < length) {
    m_error = "capture cut short: " + where + " has " + std::to_string(body_got) + " of its " +
              std::to_string(length) + " bytes; ignored";
    return Result::kTruncated;
  }
  entry->receive_time_ns = static_cast<int64_t>(GetLe(body.data(), 8));
  entry->site_type = static_cast<int32_t>(GetLe(body.data() + 8, 4));
  entry->frame.assign(body, kEntryFixedSize, std::string::npos);
  ++m_entries;
  return Result::kEntry;
}

int DecodeCaptureFrame(const std::string& frame, std::vector<com::quor::qel::model::MarketData>* records,
                       std::string* error) {
  if (frame.size() < static_cast<size_t>(MESSAGE_HEADER_LEN)) {
    *error = "frame of " + std::to_string(frame.size()) + " bytes is shorter than a frame header";
    return -1;
  }
  MessageHeader header;
  header.decode(frame.data());
  const uint32_t meta_length = static_cast<uint32_t>(header.m_metaLength);
  const uint32_t payload_length = static_cast<uint32_t>(header.m_payloadLength);
  if (static_cast<uint64_t>(MESSAGE_HEADER_LEN) + meta_length + payload_length != frame.size()) {
    *error = "frame lengths (metadata " + std::to_string(meta_length) + ", payload " +
             std::to_string(payload_length) + ") do not add up to its " + std::to_string(frame.size()) + " bytes";
    return -1;
  }
  com::quor::qel::model::MetaData meta;
  if (VentrixMessage::DecodeMsgMeatData(frame.data() + MESSAGE_HEADER_LEN, static_cast<int>(meta_length), meta) !=
      0) {
    *error = "frame metadata does not parse";
    return -2;
  }
  if (meta.sysmessagetype() != com::quor::qel::model::PUSH_MARKET_DATA &&
      meta.sysmessagetype() != com::quor::qel::model::PUSH_MARKET_DATA_STREAM) {
    return 0;
  }
  const char* data = frame.data() + MESSAGE_HEADER_LEN + meta_length;
  int64_t length = payload_length;
  std::unique_ptr<char[]> decompressed;
  if ((static_cast<uint16_t>(header.m_flags) & kCompressFlag) != 0) {
    if (length < 4) {
      *error = "compressed payload shorter than its length prefix";
      return -3;
    }
    const int32_t original = static_cast<int32_t>(GetLe(data, 4));
    if (original <= 0 || original > kMaxDecompressed) {
      *error = "decompressed length " + std::to_string(original) + " out of range";
      return -3;
    }
    decompressed.reset(new char[original]);
    const int result = LZ4_decompress_safe(data + 4, decompressed.get(), static_cast<int>(length - 4), original);
    if (result != original) {
      *error = "LZ4 block rejected (result " + std::to_string(result) + ", announced " + std::to_string(original) + ")";
      return -3;
    }
    data = decompressed.get();
    length = original;
  }
  std::string skipped;
  int64_t pos = 0;
  while (pos < length) {
    if (length - pos < 4) {
      *error = std::to_string(length - pos) + " bytes left after the last record";
      return -4;
    }
    const int32_t record_length = static_cast<int32_t>(GetLe(data + pos, 4));
    if (record_length < 0 || record_length > length - pos - 4) {
      *error = "record length " + std::to_string(record_length) + " at offset " + std::to_string(pos) +
               " runs past the payload";
      return -4;
    }
    // As the library does live: a record that does not parse is skipped and
    // the ones after it, framed by sound lengths, are kept.
    com::quor::qel::model::MarketData record;
    if (record.ParseFromArray(data + pos + 4, record_length)) {
      records->push_back(std::move(record));
    } else if (skipped.empty()) {
      skipped = "record at offset " + std::to_string(pos) + " does not parse";
    }
    pos += 4 + record_length;
  }
  if (!skipped.empty()) {
    *error = skipped;
    return -4;
  }
  return 0;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
