#include "sim_frame.h"

#include <lz4.h>

#include "MetaData.pb.h"

namespace qel {
namespace sim {

void EncodeHeader(const FrameHeader& h, char* out) {
  out[0] = static_cast<char>(h.version);
  out[1] = static_cast<char>(h.protocol);
  const auto f = static_cast<uint16_t>(h.flags);
  out[2] = static_cast<char>(f & 0xFF);
  out[3] = static_cast<char>((f >> 8) & 0xFF);
  PutI32(out + 4, h.meta_len);
  PutI32(out + 8, h.payload_len);
}

FrameHeader DecodeHeader(const char* in) {
  FrameHeader h;
  h.version = static_cast<int8_t>(in[0]);
  h.protocol = static_cast<int8_t>(in[1]);
  const auto* b = reinterpret_cast<const unsigned char*>(in);
  h.flags = static_cast<int16_t>(static_cast<uint16_t>(b[2] | (b[3] << 8)));
  h.meta_len = GetI32(in + 4);
  h.payload_len = GetI32(in + 8);
  return h;
}

void FrameCutter::Feed(const char* data, size_t len) {
  if (m_pos > 0 && m_pos == m_buf.size()) {
    m_buf.clear();
    m_pos = 0;
  } else if (m_pos > 65536 && m_pos * 2 > m_buf.size()) {
    m_buf.erase(0, m_pos);
    m_pos = 0;
  }
  m_buf.append(data, len);
}

FrameCutter::Status FrameCutter::Next(Frame* out, std::string* error) {
  if (m_failed) {
    if (error) *error = "stream already broken";
    return Status::kError;
  }
  if (buffered() < kHeaderLen) return Status::kNeedMore;
  const FrameHeader h = DecodeHeader(m_buf.data() + m_pos);
  if (h.meta_len < 0 || h.meta_len > kMaxSectionLen || h.payload_len < 0 ||
      h.payload_len > kMaxSectionLen) {
    m_failed = true;
    if (error) {
      *error = "abnormal frame lengths: meta " + std::to_string(h.meta_len) + ", payload " +
               std::to_string(h.payload_len);
    }
    return Status::kError;
  }
  const size_t total = kHeaderLen + static_cast<size_t>(h.meta_len) +
                       static_cast<size_t>(h.payload_len);
  if (buffered() < total) return Status::kNeedMore;
  const char* p = m_buf.data() + m_pos;
  out->header = h;
  out->meta.assign(p + kHeaderLen, static_cast<size_t>(h.meta_len));
  out->payload.assign(p + kHeaderLen + h.meta_len, static_cast<size_t>(h.payload_len));
  m_pos += total;
  return Status::kFrame;
}

namespace {

bool AppendFrameWith(std::string* out, const com::quor::qel::model::MetaData& meta,
                     const char* prefix, size_t prefix_len,
                     const google::protobuf::MessageLite* body, const char* raw, size_t raw_len,
                     int16_t flags) {
  const size_t meta_len = meta.ByteSizeLong();
  const size_t body_len = body ? body->ByteSizeLong() : raw_len;
  const size_t payload_len = prefix_len + body_len;
  if (meta_len > static_cast<size_t>(kMaxSectionLen) ||
      payload_len > static_cast<size_t>(kMaxSectionLen)) {
    return false;
  }
  const size_t start = out->size();
  out->resize(start + kHeaderLen + meta_len + payload_len);
  char* p = &(*out)[start];
  FrameHeader h;
  h.flags = flags;
  h.meta_len = static_cast<int32_t>(meta_len);
  h.payload_len = static_cast<int32_t>(payload_len);
  EncodeHeader(h, p);
  p += kHeaderLen;
  if (!meta.SerializeToArray(p, static_cast<int>(meta_len))) {
    out->resize(start);
    return false;
  }
  p += meta_len;
  if (prefix_len) std::memcpy(p, prefix, prefix_len);
  p += prefix_len;
  if (body) {
    if (!body->SerializeToArray(p, static_cast<int>(body_len))) {
      out->resize(start);
      return false;
    }
  } else if (raw_len) {
    std::memcpy(p, raw, raw_len);
  }
  return true;
}

}  // namespace

bool AppendResponseFrame(std::string* out, const com::quor::qel::model::MetaData& meta,
                         const google::protobuf::MessageLite& body, int16_t flags) {
  char prefix[4];
  PutI32(prefix, static_cast<int32_t>(body.ByteSizeLong()));
  return AppendFrameWith(out, meta, prefix, 4, &body, nullptr, 0, flags);
}

bool AppendRequestFrame(std::string* out, const com::quor::qel::model::MetaData& meta,
                        const google::protobuf::MessageLite& body, int16_t flags) {
  char prefix[4];
  PutI32(prefix, static_cast<int32_t>(body.ByteSizeLong() + 4));
  return AppendFrameWith(out, meta, prefix, 4, &body, nullptr, 0, flags);
}

bool ResponseBody(const std::string& payload, const char** body, size_t* body_len) {
  if (payload.size() < 4) return false;
  const int32_t prefix = GetI32(payload.data());
  if (prefix < 0 || static_cast<size_t>(prefix) != payload.size() - 4) return false;
  *body = payload.data() + 4;
  *body_len = payload.size() - 4;
  return true;
}

bool ResponseFitsFrame(const google::protobuf::MessageLite& body) {
  return body.ByteSizeLong() + 4 <= static_cast<size_t>(kMaxSectionLen);
}

bool AppendRawFrame(std::string* out, const com::quor::qel::model::MetaData& meta,
                    const char* payload, size_t payload_len, int16_t flags) {
  return AppendFrameWith(out, meta, nullptr, 0, nullptr, payload, payload_len, flags);
}

bool RequestBody(const std::string& payload, const char** body, size_t* body_len) {
  if (payload.size() < 4) return false;
  const int32_t prefix = GetI32(payload.data());
  const size_t len = payload.size() - 4;
  if (prefix < 0) return false;
  const auto p = static_cast<size_t>(prefix);
  if (p != len && p != len + 4) return false;
  *body = payload.data() + 4;
  *body_len = len;
  return true;
}

void RecordPayloadBuilder::Add(const char* data, size_t len) {
  std::memcpy(AddUninitialised(len), data, len);
}

char* RecordPayloadBuilder::AddUninitialised(size_t len) {
  const size_t at = m_raw.size();
  m_raw.resize(at + 4 + len);
  PutI32(&m_raw[at], static_cast<int32_t>(len));
  ++m_count;
  return &m_raw[at + 4];
}

const std::string& RecordPayloadBuilder::Finish(bool lz4) {
  if (!lz4) return m_raw;
  const int bound = LZ4_compressBound(static_cast<int>(m_raw.size()));
  m_comp.resize(4 + static_cast<size_t>(bound));
  PutI32(&m_comp[0], static_cast<int32_t>(m_raw.size()));
  const int n = LZ4_compress_default(m_raw.data(), &m_comp[4], static_cast<int>(m_raw.size()),
                                     bound);
  if (n <= 0) {
    m_comp.clear();
  } else {
    m_comp.resize(4 + static_cast<size_t>(n));
  }
  return m_comp;
}

bool SplitRecordPayload(int16_t flags, const std::string& payload, std::string* scratch,
                        std::string* error,
                        void (*on_record)(void* ctx, const char* data, size_t len), void* ctx) {
  const char* p = payload.data();
  size_t n = payload.size();
  if (flags & kFlagLz4) {
    if (payload.size() < 4) {
      if (error) *error = "compressed payload shorter than its length prefix";
      return false;
    }
    const int32_t raw_len = GetI32(payload.data());
    if (raw_len <= 0 || raw_len > (1 << 24)) {
      if (error) *error = "bad decompressed length " + std::to_string(raw_len);
      return false;
    }
    scratch->resize(static_cast<size_t>(raw_len));
    const int got = LZ4_decompress_safe(payload.data() + 4, &(*scratch)[0],
                                        static_cast<int>(payload.size() - 4), raw_len);
    if (got != raw_len) {
      if (error) *error = "LZ4 block does not decompress to the announced length";
      return false;
    }
    p = scratch->data();
    n = scratch->size();
  }
  while (n > 3) {
    const int32_t len = GetI32(p);
    if (len < 0 || static_cast<size_t>(len) + 4 > n) {
      if (error) *error = "record length " + std::to_string(len) + " runs past the payload";
      return false;
    }
    on_record(ctx, p + 4, static_cast<size_t>(len));
    p += 4 + len;
    n -= 4 + static_cast<size_t>(len);
  }
  if (n != 0) {
    if (error) *error = "trailing bytes after the last record";
    return false;
  }
  return true;
}

}  // namespace sim
}  // namespace qel
