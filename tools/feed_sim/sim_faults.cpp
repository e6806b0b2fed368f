// Fault application helpers; pure functions called on the loop threads.
#include "sim_faults.h"

#include <algorithm>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysHeartbeat.pb.h"
#include "sim_frame.h"
#include "sim_loop.h"

namespace qel {
namespace sim {

namespace model = com::quor::qel::model;

Faults FaultsForSite(const Faults& all, bool discovery, int site_type) {
  if (all.only_site_type > 0 && !discovery && site_type != all.only_site_type) return Faults{};
  return all;
}

IndexFault IndexFaultFor(const Faults& f, int64_t nth_frame) {
  IndexFault out;
  out.repeat = f.repeat_index_every > 0 && nth_frame > 1 && nth_frame % f.repeat_index_every == 0;
  out.skip = !out.repeat && f.skip_index_every > 0 && nth_frame % f.skip_index_every == 0;
  return out;
}

size_t SplitWriteBytes(const Faults& f, size_t left) {
  return f.split_write_bytes > 0 ? std::min(static_cast<size_t>(f.split_write_bytes), left) : left;
}

std::string MalformedFrame(Malformed kind, int32_t channel) {
  model::MetaData meta;
  meta.set_sysmessagetype(model::PUSH_MARKET_DATA);
  meta.set_qelsysmessagenum(1);
  meta.set_channelno(channel);
  meta.set_sendtime(NowNanos());
  std::string out;
  char hdr[kHeaderLen];
  FrameHeader h;
  switch (kind) {
    case Malformed::kMetaTooLong:
    case Malformed::kPayloadTooLong:
    case Malformed::kNegativeLength: {
      const std::string m = meta.SerializeAsString();
      h.meta_len = kind == Malformed::kMetaTooLong ? kMaxSectionLen + 1
                                                   : static_cast<int32_t>(m.size());
      h.payload_len = kind == Malformed::kPayloadTooLong ? 70000
                      : kind == Malformed::kNegativeLength ? -8
                                                           : 0;
      EncodeHeader(h, hdr);
      out.assign(hdr, kHeaderLen);
      out += m;
      out.append(64, '\0');
      break;
    }
    case Malformed::kGarbageMeta: {
      // 0x0F is field 1 with the invalid wire type 7: no parser accepts it.
      const std::string garbage("\x0F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
      h.meta_len = static_cast<int32_t>(garbage.size());
      h.payload_len = 8;
      EncodeHeader(h, hdr);
      out.assign(hdr, kHeaderLen);
      out += garbage;
      out.append(8, '\0');
      break;
    }
    case Malformed::kTruncatedRecord: {
      // One record prefix announcing 1,000 bytes with only 10 behind it.
      std::string payload;
      AppendI32(&payload, 1000);
      payload.append(10, '\x08');
      AppendRawFrame(&out, meta, payload.data(), payload.size(), kFlagManage);
      break;
    }
    case Malformed::kCorruptLz4: {
      // Claims 1,000 decompressed bytes; 0xFF tokens make literal runs longer
      // than the block, which a safe decompressor rejects.
      std::string payload;
      AppendI32(&payload, 1000);
      payload.append(24, '\xFF');
      AppendRawFrame(&out, meta, payload.data(), payload.size(),
                     static_cast<int16_t>(kFlagManage | kFlagLz4));
      break;
    }
    case Malformed::kUnknownMessageType:
    case Malformed::kNoMessageType:
    case Malformed::kForeignTraceId: {
      // A well-formed record behind a type the reader has no handler for, or
      // behind a trace id it never sent.
      if (kind == Malformed::kUnknownMessageType) {
        meta.set_sysmessagetype(static_cast<model::ESysMessageType>(99));
      } else if (kind == Malformed::kNoMessageType) {
        meta.clear_sysmessagetype();
      } else {
        meta.set_traceid("sdk_trace_nobody_sent");
      }
      model::MarketData record;
      record.set_qelmessagechannel(meta.channelno());
      const std::string bytes = record.SerializeAsString();
      std::string payload;
      AppendI32(&payload, static_cast<int32_t>(bytes.size()));
      payload += bytes;
      AppendRawFrame(&out, meta, payload.data(), payload.size(), kFlagManage);
      break;
    }
    case Malformed::kUndecodableRecord: {
      model::MarketData record;
      record.set_qelmessagechannel(meta.channelno());
      const std::string first = record.SerializeAsString();
      // 0x0F is field 1 with the invalid wire type 7.
      const std::string garbage("\x0F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
      std::string payload;
      AppendI32(&payload, static_cast<int32_t>(first.size()));
      payload += first;
      AppendI32(&payload, static_cast<int32_t>(garbage.size()));
      payload += garbage;
      AppendI32(&payload, static_cast<int32_t>(first.size()));
      payload += first;
      meta.set_qelsysmessagenum(3);
      AppendRawFrame(&out, meta, payload.data(), payload.size(), kFlagManage);
      break;
    }
  }
  return out;
}

std::string UnaskedHeartbeats(const Faults& f) {
  const int n = f.unasked_heartbeats_per_frame;
  if (n <= 0) return std::string();
  model::MetaData meta;
  meta.set_sysmessagetype(f.unasked_heartbeat_requests ? model::HEARTBEAT_REQUEST
                                                       : model::HEARTBEAT_RESPONSE);
  meta.set_qelsysmessagenum(1);
  model::SysHeartbeat hb;
  std::string frame;
  AppendResponseFrame(&frame, meta, hb);
  std::string out;
  out.reserve(frame.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out += frame;
  return out;
}

}  // namespace sim
}  // namespace qel
