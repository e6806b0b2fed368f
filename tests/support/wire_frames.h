// Server-side frames for reader and discovery tests, built with the feed
// simulator's framer (tools/feed_sim/sim_frame.h) rather than the library's
// codec, so a codec fault cannot hide a reader fault. Header() writes any
// lengths, also ones the bounds forbid, for tests of broken streams. The
// format: docs/wire-format.md.
#ifndef QEL_TESTS_SUPPORT_WIRE_FRAMES_H
#define QEL_TESTS_SUPPORT_WIRE_FRAMES_H

#include <event2/buffer.h>

#include <cstdint>
#include <string>
#include <vector>

#include "MarketData.pb.h"
#include "common/event_handles.h"
#include "MetaData.pb.h"
#include "sim_frame.h"

namespace qel_test {

// Owning deleter for an evbuffer the test feeds to the reader.
using EvbufferFree = com::quor::kbr::client::EvbufferFree;

inline void PutI32(std::string& out, int32_t v) { qel::sim::AppendI32(&out, v); }

inline std::string Header(int16_t flags, int32_t metaLength, int32_t payloadLength) {
  qel::sim::FrameHeader h;
  h.flags = flags;
  h.meta_len = metaLength;
  h.payload_len = payloadLength;
  std::string out(qel::sim::kHeaderLen, '\0');
  qel::sim::EncodeHeader(h, &out[0]);
  return out;
}

// header | meta | payload, lengths taken from the parts (not bounded, so a
// test can build an oversized frame).
inline std::string Frame(const com::quor::qel::model::MetaData& meta, const std::string& payload,
                         int16_t flags = qel::sim::kFlagManage) {
  const std::string m = meta.SerializeAsString();
  return Header(flags, static_cast<int32_t>(m.size()), static_cast<int32_t>(payload.size())) + m + payload;
}

inline com::quor::qel::model::MetaData Meta(com::quor::qel::model::ESysMessageType type,
                                            const std::string& trace = "", int32_t channel = 0,
                                            int64_t index = 0) {
  com::quor::qel::model::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_traceid(trace);
  meta.set_channelno(channel);
  meta.set_channelindex(index);
  meta.set_qelsysmessagenum(1);
  return meta;
}

// A response payload as a server writes it: int32 body length, then the body.
inline std::string ResponsePayload(const google::protobuf::Message& body) {
  std::string p;
  const std::string b = body.SerializeAsString();
  PutI32(p, static_cast<int32_t>(b.size()));
  return p + b;
}

// A market-data payload: records, each an int32 length and the serialised record.
inline std::string RecordsPayload(const std::vector<com::quor::qel::model::MarketData>& records) {
  qel::sim::RecordPayloadBuilder builder;
  for (const auto& r : records) {
    const std::string b = r.SerializeAsString();
    builder.Add(b.data(), b.size());
  }
  return builder.Finish(false);
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_WIRE_FRAMES_H
