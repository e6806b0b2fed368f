// The simulator's own frame reader and writer: 12-byte header, MetaData,
// payload. Written independently of the client library's codec so that a
// mistake in either shows up against the other. The tests' frame helpers and
// the benchmarks build and read frames with it too. Pure functions over
// bytes; no sockets, no shared state: callable from any thread. The format is
// described in docs/wire-format.md.
#ifndef QEL_TOOLS_FEED_SIM_SIM_FRAME_H
#define QEL_TOOLS_FEED_SIM_SIM_FRAME_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace google {
namespace protobuf {
class MessageLite;
}  // namespace protobuf
}  // namespace google

namespace com {
namespace quor {
namespace qel {
namespace model {
class MetaData;
}  // namespace model
}  // namespace qel
}  // namespace quor
}  // namespace com

namespace qel {
namespace sim {

constexpr size_t kHeaderLen = 12;
// Largest metadata or payload length a frame may announce.
constexpr int32_t kMaxSectionLen = 65535;
// Largest frame the length bounds allow: header, then metadata and payload
// each at their bound.
constexpr size_t kMaxFrameLen = kHeaderLen + 2 * static_cast<size_t>(kMaxSectionLen);
constexpr int16_t kFlagManage = 0x1000;  // set on every frame the simulator sends
constexpr int16_t kFlagLz4 = 0x4000;     // market-data payload is LZ4-compressed
// Upper bound of the uncompressed record bytes of one market-data frame, so
// that a whole frame always fits a 65,536-byte receive area.
constexpr size_t kMaxRecordBytesPerFrame = 60000;

// Little-endian fixed-width helpers (the wire is little-endian).
inline void PutI32(char* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  p[0] = static_cast<char>(u & 0xFF);
  p[1] = static_cast<char>((u >> 8) & 0xFF);
  p[2] = static_cast<char>((u >> 16) & 0xFF);
  p[3] = static_cast<char>((u >> 24) & 0xFF);
}
inline int32_t GetI32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                              (static_cast<uint32_t>(b[2]) << 16) |
                              (static_cast<uint32_t>(b[3]) << 24));
}
inline void AppendI32(std::string* out, int32_t v) {
  char b[4];
  PutI32(b, v);
  out->append(b, 4);
}

struct FrameHeader {
  int8_t version = 1;
  int8_t protocol = 1;
  int16_t flags = kFlagManage;
  int32_t meta_len = 0;
  int32_t payload_len = 0;
};

void EncodeHeader(const FrameHeader& h, char* out12);
FrameHeader DecodeHeader(const char* in12);

// One cut frame: its header and copies of its metadata and payload bytes.
struct Frame {
  FrameHeader header;
  std::string meta;
  std::string payload;
};

// Cuts frames out of a byte stream fed in pieces of any size (one byte at a
// time included). Owned and called by one thread.
class FrameCutter {
 public:
  enum class Status { kNeedMore, kFrame, kError };
  void Feed(const char* data, size_t len);
  // Takes the next whole frame. kError (with a reason) when the header
  // announces a negative length or one above kMaxSectionLen; the cutter is
  // then unusable.
  Status Next(Frame* out, std::string* error);
  size_t buffered() const { return m_buf.size() - m_pos; }

 private:
  std::string m_buf;
  size_t m_pos = 0;
  bool m_failed = false;
};

// Appends one response frame (login, subscribe, heartbeat response) to out:
// payload = int32 bare body length, then the body; payloadLength = body + 4.
// False if a message does not serialise.
bool AppendResponseFrame(std::string* out, const com::quor::qel::model::MetaData& meta,
                         const google::protobuf::MessageLite& body, int16_t flags = kFlagManage);

// Appends one request frame as the client library writes it: payload = int32
// prefix counting itself (body + 4), then the body; payloadLength = body + 4.
// False if a message does not serialise or a length passes its bound.
bool AppendRequestFrame(std::string* out, const com::quor::qel::model::MetaData& meta,
                        const google::protobuf::MessageLite& body, int16_t flags = kFlagManage);

// The body of a response payload: int32 bare body length, then exactly that
// many bytes. False for a payload under 4 bytes or a prefix that does not
// match the payload's size.
bool ResponseBody(const std::string& payload, const char** body, size_t* body_len);

// True when a response frame with this body respects the length bounds
// (payload = 4 + body bytes, at most kMaxSectionLen).
bool ResponseFitsFrame(const google::protobuf::MessageLite& body);

// Appends a frame with a raw payload (market data, malformed frames).
bool AppendRawFrame(std::string* out, const com::quor::qel::model::MetaData& meta,
                    const char* payload, size_t payload_len, int16_t flags);

// The body of a request frame: the payload minus its 4-byte prefix. Accepts a
// prefix equal to the body length or to the body length + 4 (the latter is how
// the client writes it); anything else, or a payload under 4 bytes, gives
// false.
bool RequestBody(const std::string& payload, const char** body, size_t* body_len);

// Market-data payload assembly: records as int32 length + bytes, optionally
// compressed to int32 decompressed length + LZ4 block. Reuses its buffers;
// owned by one thread.
class RecordPayloadBuilder {
 public:
  void Reset() { m_raw.clear(); m_count = 0; }
  // Appends one record given as serialised MarketData bytes.
  void Add(const char* data, size_t len);
  // Reserves room for a record of len bytes and returns where to write it.
  char* AddUninitialised(size_t len);
  size_t raw_size() const { return m_raw.size(); }
  int count() const { return m_count; }
  // The payload to send; with lz4, the compressed form (empty on failure).
  const std::string& Finish(bool lz4);

 private:
  std::string m_raw;
  std::string m_comp;
  int m_count = 0;
};

// Inverse of the above, for tests and tools: splits a market-data payload into
// its records' bytes. False with a reason on a corrupt LZ4 block or a record
// whose length runs past the end.
bool SplitRecordPayload(int16_t flags, const std::string& payload, std::string* scratch,
                        std::string* error,
                        void (*on_record)(void* ctx, const char* data, size_t len), void* ctx);

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_FRAME_H
