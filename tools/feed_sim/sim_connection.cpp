// One simulator connection, discovery or datafeed; its site's loop thread only.
#include "sim_connection.h"

#include <event2/buffer.h>

#include <algorithm>

#include "SysHeartbeat.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "sim_discovery.h"
#include "sim_faults.h"
#include "sim_impl.h"
#include "sim_site.h"

namespace qel {
namespace sim {

namespace model = com::quor::qel::model;
using com::quor::kbr::client::MutexLock;

namespace {

// Output kept queued per connection: the push path fills up to the high mark
// and resumes when the socket has taken it down to the low mark.
constexpr size_t kHighWater = 512 * 1024;
constexpr size_t kLowWater = 128 * 1024;
// Market data overshoots the high mark by at most one frame; answers may take
// the queue that far and no further.
static_assert(kMaxQueuedOutput == kHighWater + kMaxFrameLen,
              "the output bound is the push path's high mark plus one largest frame");
constexpr size_t kSplitCompactBytes = 64 * 1024;  // sent split bytes kept before the queue is compacted

}  // namespace


Connection::Connection(SimulatorImpl* sim, Site* site, uint64_t id, int node_index,
                       bufferevent* bev, std::shared_ptr<StatsCell> cell)
    : m_sim(sim), m_site(site), m_id(id), m_node_index(node_index), m_bev(bev),
      m_cell(std::move(cell)), m_pacer(&site->streams()) {}

Connection::~Connection() {
  // Timers first: they point at this object.
  m_tick.reset();
  m_close_timer.reset();
  m_split_timer.reset();
  m_bev.reset();
  MutexLock lk(m_cell->mu);
  m_cell->s.open = false;
}

void Connection::Start() {
  bufferevent_setcb(m_bev.get(), &Connection::OnRead, &Connection::OnWrite, &Connection::OnEvent,
                    this);
  bufferevent_setwatermark(m_bev.get(), EV_WRITE, kLowWater, 0);
  bufferevent_enable(m_bev.get(), EV_READ | EV_WRITE);
}

void Connection::Close() {
  if (!m_bev) return;
  if (m_tick) event_del(m_tick.get());
  if (m_close_timer) event_del(m_close_timer.get());
  if (m_split_timer) event_del(m_split_timer.get());
  m_bev.reset();
  m_logged_in = false;
  {
    MutexLock lk(m_cell->mu);
    m_cell->s.open = false;
    m_cell->s.logged_in = false;
  }
  m_site->ScheduleReap(m_id);
}

const Faults& Connection::CurrentFaults() {
  const uint64_t v = m_sim->faults_version();
  if (v != m_faults_version) {
    m_faults = FaultsForSite(m_sim->GetFaults(), m_site->discovery(), m_site->site_type());
    m_faults_version = v;
    ApplyWatermark();
  }
  return m_faults;
}

void Connection::ApplyWatermark() {
  if (!m_bev) return;
  const bool split = m_faults.split_write_bytes > 0;
  // Split writes and a pending close both need to hear when output is empty.
  const bool want_zero = split || m_closing;
  if (want_zero != m_watermark_split) {
    bufferevent_setwatermark(m_bev.get(), EV_WRITE, want_zero ? 0 : kLowWater, 0);
    m_watermark_split = want_zero;
  }
}

void Connection::OnRead(bufferevent* bev, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  evbuffer* in = bufferevent_get_input(bev);
  char buf[16384];
  int n;
  while ((n = evbuffer_remove(in, buf, sizeof buf)) > 0) {
    self->m_cutter.Feed(buf, static_cast<size_t>(n));
  }
  self->CurrentFaults();
  std::string error;
  for (;;) {
    const FrameCutter::Status st = self->m_cutter.Next(&self->m_frame, &error);
    if (st == FrameCutter::Status::kNeedMore) break;
    if (st == FrameCutter::Status::kError) {
      self->ProtocolError();
      return;
    }
    {
      MutexLock lk(self->m_cell->mu);
      ++self->m_cell->s.frames_received;
    }
    self->HandleFrame(self->m_frame);
    if (!self->m_bev) return;
  }
}

void Connection::OnWrite(bufferevent*, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  self->CurrentFaults();
  if (self->m_split_off < self->m_split_pending.size()) {
    if (self->m_faults.split_delay_us > 0) {
      if (!self->m_split_timer) {
        self->m_split_timer.reset(
            evtimer_new(self->m_site->loop().base(), &Connection::OnSplitTimer, self));
      }
      if (!evtimer_pending(self->m_split_timer.get(), nullptr)) {
        timeval tv{self->m_faults.split_delay_us / 1000000, self->m_faults.split_delay_us % 1000000};
        evtimer_add(self->m_split_timer.get(), &tv);
      }
    } else {
      self->WriteNextChunk();
    }
    return;
  }
  if (self->m_closing) {
    self->Close();
    return;
  }
  self->Pump();
}

void Connection::OnSplitTimer(evutil_socket_t, short, void* arg) {
  static_cast<Connection*>(arg)->WriteNextChunk();
}

void Connection::OnEvent(bufferevent*, short what, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) self->Close();
}

void Connection::ProtocolError() {
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.protocol_errors;
  }
  Close();
}

void Connection::HandleFrame(const Frame& frame) {
  model::MetaData meta;
  if (!meta.ParseFromString(frame.meta)) {
    ProtocolError();
    return;
  }
  const char* body = nullptr;
  size_t len = 0;
  const int type = meta.sysmessagetype();
  const bool needs_body = type == model::LOGIN_REQUEST || type == model::SUBSCRIBE_REQUEST;
  if (needs_body && !RequestBody(frame.payload, &body, &len)) {
    ProtocolError();
    return;
  }
  if (m_site->discovery()) {
    if (type == model::LOGIN_REQUEST) HandleDiscoveryLogin(meta, body, len);
    return;  // anything else is ignored by the discovery service
  }
  switch (type) {
    case model::LOGIN_REQUEST: HandleDatafeedLogin(meta, body, len); break;
    case model::HEARTBEAT_REQUEST: HandleHeartbeat(); break;
    case model::SUBSCRIBE_REQUEST: HandleSubscribe(meta, body, len); break;
    default: break;
  }
}

void Connection::SendResponse(model::ESysMessageType type, const std::string& trace,
                              const google::protobuf::MessageLite& body) {
  model::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_qelsysmessagenum(1);
  meta.set_traceid(trace);
  meta.set_sendtime(NowNanos());
  m_out.clear();
  if (!AppendResponseFrame(&m_out, meta, body)) {
    m_sim->Log("connection " + std::to_string(m_id) + ": answer of type " +
               std::to_string(type) + " (" + std::to_string(body.ByteSizeLong()) +
               " body bytes) does not fit a frame and was not sent");
    return;
  }
  Write(m_out);
}

void Connection::CountLogin(const std::string& user, bool ok) {
  MutexLock lk(m_cell->mu);
  ++m_cell->s.login_requests;
  m_cell->s.user = user;
  ok ? ++m_cell->s.logins_ok : ++m_cell->s.logins_refused;
  m_cell->s.logged_in = ok;
}

std::string Connection::ReplyTrace(const model::MetaData& request, bool wrong) {
  return wrong ? request.traceid() + "_other" : request.traceid();
}

void Connection::HandleDiscoveryLogin(const model::MetaData& meta, const char* body, size_t len) {
  model::LoginRequest req;
  if (!req.ParseFromArray(body, static_cast<int>(len))) {
    ProtocolError();
    return;
  }
  const Faults& f = m_faults;
  std::string user;
  const bool ok = AcceptDiscoveryLogin(req, f, m_sim->credentials(), &user);
  CountLogin(user, ok);
  if (f.no_discovery_response) return;
  model::LoginResponse rsp;
  FillDiscoveryLoginAnswer(ok, user, f, &m_sim->credentials(), &rsp);
  if (ok) m_sim->FillServers(&rsp);
  SendResponse(model::LOGIN_RESPONSE, ReplyTrace(meta, f.wrong_trace_id_discovery), rsp);
}

void Connection::HandleDatafeedLogin(const model::MetaData& meta, const char* body, size_t len) {
  model::LoginRequest req;
  if (!req.ParseFromArray(body, static_cast<int>(len))) {
    ProtocolError();
    return;
  }
  const Faults& f = m_faults;
  const std::string& user = req.uwt().username();
  const bool ok = !f.refuse_datafeed_login && req.has_uwt() &&
                  m_sim->credentials().CheckToken(user, req.uwt().token());
  if (f.no_datafeed_login_response) {
    // Read and left unanswered: the connection is not logged in.
    MutexLock lk(m_cell->mu);
    ++m_cell->s.login_requests;
    m_cell->s.user = user;
    return;
  }
  CountLogin(user, ok);
  model::LoginResponse rsp;
  rsp.set_issuccess(ok);
  if (ok) {
    rsp.set_token(req.uwt().token());
    rsp.mutable_accountinfo()->set_username(user);
  } else {
    rsp.mutable_errorcontext()->set_errorcode(1003);
    rsp.mutable_errorcontext()->set_message("token not accepted");
  }
  SendResponse(model::LOGIN_RESPONSE, ReplyTrace(meta, f.wrong_trace_id_datafeed), rsp);
  m_logged_in = ok && m_bev;  // a refused second login stops the push too
  if (!m_logged_in) return;
  if (m_pacer.paced() && !m_tick) {
    m_tick.reset(event_new(m_site->loop().base(), -1, EV_PERSIST, &Connection::OnTick, this));
    const int tick_us = std::max(1, m_sim->scenario().pace_tick_us);
    timeval tv{tick_us / 1000000, tick_us % 1000000};
    event_add(m_tick.get(), &tv);
    m_pacer.StartClock();
  }
  if (f.close_after_ms > 0) {
    m_close_timer.reset(evtimer_new(m_site->loop().base(), &Connection::OnCloseTimer, this));
    timeval tv{static_cast<time_t>(f.close_after_ms / 1000),
               static_cast<suseconds_t>((f.close_after_ms % 1000) * 1000)};
    evtimer_add(m_close_timer.get(), &tv);
  }
}

void Connection::OnCloseTimer(evutil_socket_t, short, void* arg) {
  static_cast<Connection*>(arg)->Close();
}

void Connection::HandleHeartbeat() {
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.heartbeats_received;
  }
  if (m_faults.no_heartbeat_response) return;
  model::SysHeartbeat hb;
  SendResponse(model::HEARTBEAT_RESPONSE, "", hb);
  MutexLock lk(m_cell->mu);
  ++m_cell->s.heartbeats_answered;
}

namespace {

using SubscribedIds = std::map<int, std::set<std::string>>;

// Applies one request's action to a subscription (types and ids per type).
void ApplySubscribeAction(const model::SubscribeRequest& req, std::set<int>* types,
                          SubscribedIds* ids) {
  switch (req.subscribeactiontype()) {
    case model::CANCEL:
      types->clear();
      ids->clear();
      break;
    case model::COVERAGE:
      types->clear();
      ids->clear();
      [[fallthrough]];  // coverage is a clean add
    case model::ADD:
    default:
      for (int t : req.subscribebydatatype().qeldatatypes()) types->insert(t);
      for (const auto& d : req.subscribebyid().subscribebyiddetails()) {
        for (const auto& id : d.quorsecurityid()) (*ids)[d.qeldatatype()].insert(id);
      }
      break;
    case model::DECREASE:
      for (int t : req.subscribebydatatype().qeldatatypes()) types->erase(t);
      for (const auto& d : req.subscribebyid().subscribebyiddetails()) {
        auto it = ids->find(d.qeldatatype());
        if (it == ids->end()) continue;
        for (const auto& id : d.quorsecurityid()) it->second.erase(id);
        if (it->second.empty()) ids->erase(it);
      }
      break;
  }
}

size_t CountIds(const SubscribedIds& ids) {
  size_t n = 0;
  for (const auto& kv : ids) n += kv.second.size();
  return n;
}

}  // namespace

void Connection::HandleSubscribe(const model::MetaData& meta, const char* body, size_t len) {
  model::SubscribeRequest req;
  if (!req.ParseFromArray(body, static_cast<int>(len))) {
    ProtocolError();
    return;
  }
  {
    ReceivedSubscribe received;
    received.action = static_cast<int>(req.subscribeactiontype());
    for (int t : req.subscribebydatatype().qeldatatypes()) received.data_types.push_back(t);
    for (const auto& d : req.subscribebyid().subscribebyiddetails()) {
      received.id_details.emplace_back(d.qeldatatype(),
                                       std::vector<std::string>(d.quorsecurityid().begin(), d.quorsecurityid().end()));
    }
    MutexLock lk(m_cell->mu);
    std::vector<ReceivedSubscribe>& kept = m_cell->s.subscribes_received;
    if (kept.size() >= kMaxRecordedSubscribes) kept.erase(kept.begin());
    kept.push_back(std::move(received));
  }
  const Faults& f = CurrentFaults();
  if (f.no_subscribe_response) return;  // a node that never answers
  model::SubscribeResponse rsp;
  int refusal = 0;
  std::string reason;
  if (!m_logged_in) {
    refusal = 2002;
    reason = "not logged in";
  } else if (f.refuse_subscribe) {
    refusal = 2001;
    reason = "subscription refused";
  }
  // The request is applied to a copy; the connection's subscription changes
  // only when the request is accepted.
  std::set<int> types = m_sub_types;
  SubscribedIds ids = m_sub_ids;
  if (refusal == 0) {
    ApplySubscribeAction(req, &types, &ids);
    const size_t id_count = CountIds(ids);
    if (id_count > static_cast<size_t>(kMaxSubscribedIds)) {
      refusal = 2003;
      reason = "too many security ids: " + std::to_string(id_count) + ", at most " +
               std::to_string(kMaxSubscribedIds) + " per connection";
    } else if (types.size() > static_cast<size_t>(kMaxSubscribedTypes)) {
      refusal = 2004;
      reason = "too many data types: " + std::to_string(types.size()) + ", at most " +
               std::to_string(kMaxSubscribedTypes) + " per connection";
    }
  }
  if (refusal == 0) {
    rsp.set_issuccess(true);
    const std::vector<int> permitted = m_sim->Permitted();
    auto allowed = [&](int t) {
      return permitted.empty() || std::find(permitted.begin(), permitted.end(), t) != permitted.end();
    };
    if (!permitted.empty()) {
      for (int t : permitted) rsp.add_permitteddatatypes(t);
    } else {
      std::set<int> all(types);
      for (const auto& kv : ids) all.insert(kv.first);
      for (int t : all) rsp.add_permitteddatatypes(t);
    }
    for (const auto& kv : ids) {
      if (!allowed(kv.first)) continue;
      model::SubscribeByIdDetail* d = rsp.add_permittediddetails();
      d->set_qeldatatype(kv.first);
      for (const auto& id : kv.second) d->add_quorsecurityid(id);
    }
    // The answer lists everything in force; when that list does not fit one
    // frame's payload the request is refused rather than left unanswered.
    if (!ResponseFitsFrame(rsp)) {
      refusal = 2005;
      reason = "the subscription's answer would not fit one frame (" +
               std::to_string(rsp.ByteSizeLong() + 4) + " payload bytes, at most " +
               std::to_string(kMaxSectionLen) + ")";
    }
  }
  const bool ok = refusal == 0;
  if (ok) {
    m_sub_types.swap(types);
    m_sub_ids.swap(ids);
  } else {
    rsp.Clear();
    rsp.set_issuccess(false);
    rsp.mutable_errorcontext()->set_errorcode(refusal);
    rsp.mutable_errorcontext()->set_message(reason);
  }
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.subscribe_requests;
    if (!ok) ++m_cell->s.subscribes_refused;
    m_cell->s.subscribed_ids = static_cast<int64_t>(CountIds(m_sub_ids));
    m_cell->s.subscribed_types = static_cast<int64_t>(m_sub_types.size());
  }
  SendResponse(model::SUBSCRIBE_RESPONSE, ReplyTrace(meta, f.wrong_trace_id_datafeed), rsp);
  if (ok) {
    RebuildSlots();
    Pump();
  }
}

void Connection::RebuildSlots() { m_pacer.Rebuild(m_sim->Permitted(), m_sub_types, m_sub_ids); }

void Connection::OnTick(evutil_socket_t, short, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  self->m_pacer.Tick(self->m_sim->scenario().pace_max_backlog_ms);
  self->Pump();
}

size_t Connection::Queued() const {
  return evbuffer_get_length(bufferevent_get_output(m_bev.get())) +
         (m_split_pending.size() - m_split_off);
}

void Connection::Pump() {
  if (!m_bev || !m_logged_in || m_closing || m_pacer.empty()) return;
  const Faults& f = CurrentFaults();
  int frames = 0;
  while (m_bev && !m_closing && Queued() < kHighWater && frames < 256) {
    size_t idx = 0;
    int64_t want = 0;
    if (!m_pacer.Next(&idx, &want)) break;
    if (f.malformed_after_frames > 0 && !m_malformed_done &&
        m_md_frames_sent >= f.malformed_after_frames) {
      m_malformed_done = true;
      SendMalformed(f.malformed_kind);
    } else {
      SendMarketFrame(idx, static_cast<int>(want));
    }
    ++frames;
  }
}

void Connection::SendMarketFrame(size_t slot_index, int max_records) {
  const PacedFrame sent = m_pacer.BuildFrame(slot_index, max_records, m_faults, &m_out);
  ++m_md_frames_sent;
  {
    MutexLock lk(m_cell->mu);
    ConnectionStats& s = m_cell->s;
    ++s.md_frames_sent;
    s.records_sent += sent.records;
    ChannelStats& ch = s.channels[sent.channel];
    ++ch.frames;
    ch.records += sent.records;
    ch.last_frame_index = sent.frame_index;
    ch.last_record_seq = sent.last_record_seq;
    if (sent.index_skipped) {
      ++ch.index_jumps;
      ch.indexes_skipped += m_faults.skip_index_count;
    }
    if (sent.index_repeated) ++ch.indexes_repeated;
  }
  Write(m_out);
  SendUnaskedHeartbeats();
}

void Connection::SendUnaskedHeartbeats() {
  const int n = m_faults.unasked_heartbeats_per_frame;
  if (n <= 0 || !m_bev) return;
  // One write of n frames: counted as one frame by Write, so the statistic
  // below is the number of heartbeats.
  Write(UnaskedHeartbeats(m_faults));
  if (!m_bev) return;
  MutexLock lk(m_cell->mu);
  m_cell->s.unasked_heartbeats_sent += n;
}

bool Connection::SendMalformed(Malformed kind) {
  if (!m_bev) return false;
  const std::string out = MalformedFrame(kind, m_pacer.first_channel());
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.malformed_sent;
    if (m_cell->s.records_before_malformed < 0) m_cell->s.records_before_malformed = m_cell->s.records_sent;
  }
  Write(out);
  return true;
}

void Connection::Write(const std::string& bytes) {
  if (!m_bev) return;
  // Market data stops below this bound by itself (Pump); only answers to a
  // client that keeps asking and never reads can reach it.
  if (Queued() + bytes.size() > kMaxQueuedOutput) {
    CloseOverOutputLimit(bytes.size());
    return;
  }
  const Faults& f = CurrentFaults();
  const bool split_pending = m_split_off < m_split_pending.size();
  if (f.split_write_bytes > 0 || split_pending) {
    // Bytes still queued for split writing go first, even when the fault has
    // just been switched off, so the stream never reorders.
    if (!split_pending) {
      m_split_pending.clear();
      m_split_off = 0;
    } else if (m_split_off >= kSplitCompactBytes) {
      m_split_pending.erase(0, m_split_off);  // keep the queue to what is still unsent
      m_split_off = 0;
    }
    m_split_pending += bytes;
    if (evbuffer_get_length(bufferevent_get_output(m_bev.get())) == 0) WriteNextChunk();
  } else {
    bufferevent_write(m_bev.get(), bytes.data(), bytes.size());
  }
  ++m_frames_sent;
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.frames_sent;
    m_cell->s.bytes_sent += static_cast<int64_t>(bytes.size());
  }
  AfterFrameSent();
}

void Connection::CloseOverOutputLimit(size_t next_frame) {
  m_sim->Log("connection " + std::to_string(m_id) + " closed: " + std::to_string(Queued()) +
             " bytes queued unread and a frame of " + std::to_string(next_frame) +
             " more would pass the output limit of " + std::to_string(kMaxQueuedOutput) +
             " bytes");
  {
    MutexLock lk(m_cell->mu);
    m_cell->s.closed_over_output_limit = true;
  }
  Close();
}

void Connection::WriteNextChunk() {
  if (!m_bev || m_split_off >= m_split_pending.size()) return;
  const size_t left = m_split_pending.size() - m_split_off;
  // With the fault switched off the rest leaves in one write.
  const size_t n = SplitWriteBytes(m_faults, left);
  bufferevent_write(m_bev.get(), m_split_pending.data() + m_split_off, n);
  m_split_off += n;
}

void Connection::AfterFrameSent() {
  if (m_faults.close_after_frames > 0 && m_frames_sent >= m_faults.close_after_frames &&
      !m_closing) {
    m_closing = true;
    ApplyWatermark();
    if (Queued() == 0) Close();
  }
}

}  // namespace sim
}  // namespace qel
