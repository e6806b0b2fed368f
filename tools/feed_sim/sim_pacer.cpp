// Stream pacing of one datafeed connection; its loop thread only.
#include "sim_pacer.h"

#include <algorithm>

#include "sim_faults.h"
#include "sim_loop.h"

namespace qel {
namespace sim {

namespace model = com::quor::qel::model;

Pacer::Pacer(const std::vector<StreamRuntime>* streams)
    : m_streams(streams), m_stream_state(streams->size()) {}

bool Pacer::paced() const {
  for (const auto& s : *m_streams) {
    if (s.spec.rate_per_sec > 0) return true;
  }
  return false;
}

void Pacer::StartClock() { m_last_tick = NowSeconds(); }

void Pacer::Rebuild(const std::vector<int>& permitted, const std::set<int>& types,
                    const std::map<int, std::set<std::string>>& ids) {
  m_slots.clear();
  m_next_slot = 0;
  const auto& streams = *m_streams;
  for (size_t si = 0; si < streams.size(); ++si) {
    const StreamRuntime& s = streams[si];
    const int dt = s.spec.data_type;
    if (!permitted.empty() && std::find(permitted.begin(), permitted.end(), dt) == permitted.end()) {
      continue;
    }
    const bool all = types.count(dt) > 0;
    auto type_ids = ids.find(dt);
    std::map<int64_t, Slot> by_channel;
    for (const RecordTemplate& t : s.templates) {
      if (!all && (type_ids == ids.end() || type_ids->second.count(t.security_id()) == 0)) continue;
      Slot& slot = by_channel[t.channel()];
      slot.stream = si;
      slot.channel = t.channel();
      slot.records.push_back(&t);
    }
    for (auto& kv : by_channel) m_slots.push_back(std::move(kv.second));
  }
}

void Pacer::Tick(int max_backlog_ms) {
  const double now = NowSeconds();
  const double dt = now - m_last_tick;
  m_last_tick = now;
  const auto& streams = *m_streams;
  for (size_t i = 0; i < streams.size(); ++i) {
    const double rate = streams[i].spec.rate_per_sec;
    if (rate <= 0) continue;
    StreamState& st = m_stream_state[i];
    // At most max_backlog_ms of backlog, so a slow reader does not get a burst.
    const double cap = rate * max_backlog_ms / 1000.0;
    st.tokens = std::min(st.tokens + rate * dt, std::max(cap, 1.0 * streams[i].spec.batch));
  }
}

bool Pacer::Next(size_t* slot, int64_t* want_out) {
  for (size_t k = 0; k < m_slots.size(); ++k) {
    const size_t idx = (m_next_slot + k) % m_slots.size();
    const Slot& s = m_slots[idx];
    const StreamSpec& spec = (*m_streams)[s.stream].spec;
    const StreamState& st = m_stream_state[s.stream];
    int64_t want = spec.batch;
    if (spec.max_records > 0) want = std::min<int64_t>(want, spec.max_records - st.sent);
    if (spec.rate_per_sec > 0) {
      const auto avail = static_cast<int64_t>(st.tokens);
      // Whole batches when one accrues within 100 ms; otherwise what is due.
      if (avail < want && spec.rate_per_sec * 0.1 >= static_cast<double>(want)) continue;
      want = std::min(want, avail);
    }
    if (want <= 0) continue;
    m_next_slot = (idx + 1) % m_slots.size();
    *slot = idx;
    *want_out = want;
    return true;
  }
  return false;
}

PacedFrame Pacer::BuildFrame(size_t slot_index, int max_records, const Faults& f,
                             std::string* out) {
  Slot& slot = m_slots[slot_index];
  const StreamSpec& spec = (*m_streams)[slot.stream].spec;
  ChannelCounter& cc = m_channels[slot.channel];
  m_payload.Reset();
  int64_t seq = cc.record_seq;
  // One stamp per frame: the frame is handed to the socket as a whole.
  const int64_t stamp = std::max<int64_t>(0, SendStampNow(spec.send_stamp));
  for (int i = 0; i < max_records; ++i) {
    const RecordTemplate* t = slot.records[slot.cursor];
    const size_t sz = t->EncodedSize(seq + 1, stamp);
    if (m_payload.count() > 0 && m_payload.raw_size() + 4 + sz > kMaxRecordBytesPerFrame) break;
    t->Encode(++seq, m_payload.AddUninitialised(sz), stamp);
    if (++slot.cursor == slot.records.size()) slot.cursor = 0;
  }
  const int n = m_payload.count();
  bool lz4 = spec.lz4;
  const std::string* payload = &m_payload.Finish(lz4);
  if (lz4 && payload->empty()) {
    lz4 = false;
    payload = &m_payload.Finish(false);
  }
  cc.record_seq = seq;
  const IndexFault fault = IndexFaultFor(f, ++cc.frames);
  if (fault.skip) cc.frame_index += f.skip_index_count;
  const int64_t frame_index = fault.repeat ? cc.frame_index : ++cc.frame_index;
  m_meta.Clear();
  m_meta.set_qeldatatype(spec.data_type);
  m_meta.set_channelno(static_cast<int32_t>(slot.channel));
  m_meta.set_channelindex(frame_index);
  m_meta.set_sysmessagetype(model::PUSH_MARKET_DATA);
  m_meta.set_qelsysmessagenum(n);
  m_meta.set_sendtime(NowNanos());
  out->clear();
  AppendRawFrame(out, m_meta, payload->data(), payload->size(),
                 static_cast<int16_t>(kFlagManage | (lz4 ? kFlagLz4 : 0)));
  StreamState& st = m_stream_state[slot.stream];
  st.sent += n;
  if (spec.rate_per_sec > 0) st.tokens -= n;
  PacedFrame sent;
  sent.records = n;
  sent.channel = slot.channel;
  sent.frame_index = frame_index;
  sent.last_record_seq = seq;
  sent.index_skipped = fault.skip;
  sent.index_repeated = fault.repeat;
  return sent;
}

int32_t Pacer::first_channel() const {
  return m_slots.empty() ? 0 : static_cast<int32_t>(m_slots[0].channel);
}

}  // namespace sim
}  // namespace qel
