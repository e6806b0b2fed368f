#include "datafeed_client/connect_thread.h"

#include <event2/buffer.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/frame_tap.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "kits/standard_lib_kits.h"
#include "log/base_log.h"
#include "protocol/message_log.h"
#include "protocol/ventrix_message.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::LoginResponse;
namespace model = com::quor::qel::model;

namespace {
constexpr uint32_t kMaxFieldLength = 0xFFFF;  // bound of a header's meta and payload lengths
// Copy-out area for one whole frame: the largest frame the per-field bounds
// let through, so that no valid frame is ever refused for its total size.
constexpr size_t kBodyAreaLen = MESSAGE_HEADER_LEN + 2 * static_cast<size_t>(kMaxFieldLength);
// How often a paused reader looks whether the decode thread has caught up.
constexpr struct timeval kResumePoll = {0, 1000};

// Index arithmetic in unsigned 64 bits: a node's indexes are not trusted, and
// the step past INT64_MAX, or a jump from a negative index, must not overflow.
int64_t IndexAfter(int64_t index) { return static_cast<int64_t>(static_cast<uint64_t>(index) + 1u); }

int64_t NowSeconds() { return StandardLibKits::GetInstance()->GetCurrentUnixTimestampSeconds(); }
int64_t NowMicros() { return StandardLibKits::GetInstance()->GetCurrentUnixTimestampMicros(); }
int64_t NowUnixNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}
}  // namespace

SocketConnectThread::SocketConnectThread(MessageHandle* handle, ServerHostListType& SocketInfo,
                                         std::shared_ptr<RawDataQueue> rawDataQueue,
                                         std::shared_ptr<RawDataQueueBack> rawDataQueueBack,
                                         const std::string& userName, const std::string& pwdOrToken,
                                         uint32_t ipPart, SSL_CTX* ssl_ctx,
                                         std::shared_ptr<DecodeLink> decodeLink)
    : m_handle(handle),
      m_header(MESSAGE_HEADER_LEN, 0),
      m_body(kBodyAreaLen, 0),
      m_rawDataQueue(std::move(rawDataQueue)),
      m_rawDataQueueBack(std::move(rawDataQueueBack)),
      m_decodeLink(std::move(decodeLink)),
      m_ipPart(static_cast<int32_t>(ipPart)),
      m_ssl_ctx(ssl_ctx) {
  EnableEventThreading();
  SetCredentials(userName, pwdOrToken);
  m_heartbeatInterval.tv_sec = static_cast<time_t>(BaseConfig::GetInstance().GetHeartBeatInterval());
  m_heartbeatInterval.tv_usec = 0;
  m_serverHostVec = ValidNodes(SocketInfo);
  InfoPrint("Datafeed node num: %d", static_cast<int>(m_serverHostVec.size()));
}

SocketConnectThread::~SocketConnectThread() {
  if (m_loop.InLoopThread()) {
    // Released from one of its own callbacks: the thread cannot be joined
    // here. Objects on the event base go now (this is the loop thread); the
    // loop ends when the running callback returns and its thread frees the
    // base (EventLoop's destructor).
    ErrorPrint("Datafeed connection for site type %d released from its own loop thread (a callback of this connection); "
               "release connections from another thread",
               m_ipPart);
    m_resumeEv.reset();
    m_heartbeatEv.reset();
    m_loginDeadlineEv.reset();
    m_bev.reset();
    return;
  }
  Stop();
}

ServerHostVectorType SocketConnectThread::ValidNodes(const ServerHostListType& dataNodeList) const {
  ServerHostVectorType nodes;
  for (const auto& node : dataNodeList) {
    if (!IsValidPort(node.second.GetServerPort())) {
      ErrorPrint("Datafeed node %s of site type %d refused: port out of range 1..65535",
                 node.second.HostText().c_str(), m_ipPart);
      continue;
    }
    nodes.push_back(node.second);
  }
  return nodes;
}

void SocketConnectThread::Start() {
  InfoPrint("Start connect thread for site type: %d", m_ipPart);
  m_state = NOT_CONNECTED;
  // Returns once the loop thread has its event base (or failed to make one),
  // so that a TryConnect right after Start never finds the base missing.
  if (!m_loop.Start()) {
    ErrorPrint("Create event_base_new faeiled for site type: %d", m_ipPart);
    return;
  }
  const std::string name = "qel-conn-" + std::to_string(m_ipPart);
  m_loop.Post([name] { MarkLibraryThread(name); });  // the first work the loop runs
}

void SocketConnectThread::Stop() {
  if (m_loop.InLoopThread()) {
    ErrorPrint("Stop of the datafeed connection for site type %d refused: called from its own loop thread "
               "(a callback of this connection); stop it from another thread",
               m_ipPart);
    return;
  }
  // The socket and timers are freed on the loop thread, last, before the base.
  m_loop.Stop([this] {
    m_resumeEv.reset();
    m_heartbeatEv.reset();
    m_loginDeadlineEv.reset();
    m_bev.reset();
  });
  RunOnLoop([this] { m_bev.reset(); });  // no loop ran: nothing else touches the socket
}

void SocketConnectThread::TryConnect() {
  RunOnLoop([this] { DoTryConnect(); });
}

int SocketConnectThread::Reset() {
  return RunOnLoop([this] { return DoReset(); });
}

void SocketConnectThread::CloseSocket() {
  RunOnLoop([this] { DoCloseSocket(); });
}

int SocketConnectThread::SendSubscribeMsg(SubscribeRequest* subReq) {
  return RunOnLoop([this, subReq] { return DoSendSubscribeMsg(subReq); });
}

void SocketConnectThread::UpdateNodeList(ServerHostListType& dataNodeList) {
  RunOnLoop([this, &dataNodeList] { DoUpdateNodeList(dataNodeList); });
}

// The connected socket, if any, stays: it is the caller's to reset. The next
// attempt goes to the first node of the new list.
void SocketConnectThread::DoUpdateNodeList(const ServerHostListType& dataNodeList) {
  ServerHostVectorType nodes = ValidNodes(dataNodeList);
  InfoPrint("Datafeed node list updated for site type: %d, node num: %d", m_ipPart, static_cast<int>(nodes.size()));
  MutexLock lock(m_nodesMutex);
  m_serverHostVec.swap(nodes);
  m_serverIndex.store(0);
}

SubscribeResponse SocketConnectThread::getSubscribeRsp() const {
  MutexLock lock(m_subscribeRspMutex);
  return m_subscribeRsp;
}

std::string SocketConnectThread::getCurrentHostStr() const {
  MutexLock lock(m_nodesMutex);
  const int32_t index = m_serverIndex.load();
  if (index < 0 || static_cast<size_t>(index) >= m_serverHostVec.size()) return std::string();
  return m_serverHostVec[static_cast<size_t>(index)].HostText();
}

std::string SocketConnectThread::GetTraceId() const {
  MutexLock lock(m_traceIdMutex);
  return m_traceId;
}

bool SocketConnectThread::TraceIdMatches(const std::string& traceId) const {
  MutexLock lock(m_traceIdMutex);
  return traceId == m_traceId;
}

void SocketConnectThread::SetTraceId(const std::string& traceId) {
  MutexLock lock(m_traceIdMutex);
  m_traceId = traceId;
}

int SocketConnectThread::CreateSsl() {
  if (m_ssl) return 0;
  if (m_ssl_ctx == nullptr) {
    ErrorPrint("Create ssl failed!, m_ssl_ctx is nullptr");
    return INIT_SSL_FAILED;
  }
  SSL* ssl = SSL_new(m_ssl_ctx);
  if (ssl == nullptr) {
    ErrorPrint("Create ssl failed!");
    return INIT_SSL_FAILED;
  }
  m_ssl.reset(ssl);
  return 0;
}

void SocketConnectThread::DoTryConnect() {
  InfoPrint("Try to connect datafeed node, site type: %d, server index: %d, current host: %s", m_ipPart,
            m_serverIndex.load(), getCurrentHostStr().c_str());
  if (m_state == LOGIN_SUCCESS) {
    InfoPrint("Is already connected");
    return;
  }
  const int32_t index = m_serverIndex.load();
  if (index < 0 || static_cast<size_t>(index) >= m_serverHostVec.size()) {
    WarnPrint("Try to connect to all datafeed node for site type: %d, but still failed", m_ipPart);
    m_state = CONNECT_OR_LOGIN_FAILED;
    return;
  }
  const ServerHost node = m_serverHostVec[static_cast<size_t>(index)];
  event_base* base = m_loop.base();
  if (base == nullptr) {
    ErrorPrint("event base is nullptr, pls check");
    return;
  }
  const char* ip = node.GetServerIp().c_str();
  const int port = node.GetServerPort();
  // A connection that could not be started keeps no socket: a half-made
  // bufferevent would fire its read timeout later and move nodes by itself.
  auto fail = [this](const char* format, const char* ip_text, int port_number) {
    ErrorPrint(format, ip_text, port_number);
    m_bev.reset();
    m_state = NOT_CONNECTED;
  };

  // A connect still under way is replaced by this one, not leaked.
  EndPause();
  m_bev.reset();
  const bool tls = BaseConfig::GetInstance().IsUseSSL() && node.IsSsl();
  if (tls && CreateSsl() != 0) {
    ErrorPrint("Please init ssl env before login datafeed service!");
    m_state = NOT_CONNECTED;
    return;
  }
  if (tls && !ExpectPeerAddress(m_ssl.get(), node.GetServerIp())) return fail("TLS peer check not set for %s:%d", ip, port);
  m_bev = NewClientBufferEvent(base, tls ? &m_ssl : nullptr);
  if (!m_bev) return fail(tls ? "Create ssl bufferevent failed for %s:%d" : "Create bufferevent failed for %s:%d", ip, port);
  bufferevent_setcb(m_bev.get(), &SocketConnectThread::ReadCallback, nullptr, &SocketConnectThread::EventCallback,
                    this);
  bufferevent_enable(m_bev.get(), EV_READ | EV_WRITE);

  struct sockaddr_in addr;
  if (!MakeIpv4Address(node.GetServerIp(), port, addr)) return fail("Call inet_pton for %s:%d", ip, port);
  if (bufferevent_socket_connect(m_bev.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    return fail("Call bufferevent_socket_connect to %s:%d faild", ip, port);
  }
  m_state = CONNECTING;
  ArmLoginDeadline();
}

// One deadline over the whole attempt (connect, TLS handshake, login answer):
// a node that keeps the socket busy without ever finishing the login would
// otherwise hold the connection in CONNECTING for good, since the read
// timeout only catches a socket that falls silent.
void SocketConnectThread::ArmLoginDeadline() {
  if (!m_loginDeadlineEv && m_loop.base() != nullptr) {
    m_loginDeadlineEv.reset(evtimer_new(m_loop.base(), &SocketConnectThread::LoginDeadlineCallback, this));
  }
  if (!m_loginDeadlineEv) {
    ErrorPrint("Create login deadline timer failed for site type: %d", m_ipPart);
    return;
  }
  const struct timeval bound = {static_cast<time_t>(LoginDeadlineSeconds()), 0};
  event_add(m_loginDeadlineEv.get(), &bound);
}

void SocketConnectThread::CancelLoginDeadline() {
  if (m_loginDeadlineEv) event_del(m_loginDeadlineEv.get());
}

uint32_t SocketConnectThread::LoginDeadlineSeconds() {
  return std::max<uint32_t>(1, BaseConfig::GetInstance().GetReadTimeout());
}

void SocketConnectThread::LoginDeadlineCallback(evutil_socket_t, short, void* arg) {
  auto* self = static_cast<SocketConnectThread*>(arg);
  const std::shared_ptr<SocketConnectThread> keep = self->weak_from_this().lock();
  if (self->m_state != CONNECTING) return;
  ErrorPrint("Datafeed node of site type %d, service host: %s, not logged in within %u seconds. Try the next node...",
             self->m_ipPart, self->getCurrentHostStr().c_str(), LoginDeadlineSeconds());
  self->ReConnnect();
}

void SocketConnectThread::ReConnnect() {
  const bool endedPending = DoCloseSocket(CONNECTING);
  const int pause_ms = m_reconnectPauseMs.load();
  if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  m_state = CONNECTING;
  // A subscription left pending by the close stays SUBSCRIBE_FAILED, so a
  // caller polling for its answer sees it ended.
  if (!endedPending) m_subscribeState = NOT_SUBSCRIBE;
  m_serverIndex.fetch_add(1);
  InfoPrint("Connect to datafeed service failed, try to reconnect other node");
  DoTryConnect();
}

// Every path that closes the socket comes through here: a closed connection is
// never reported as logged in (nor as still connecting), and a subscription
// waiting for its answer ends as failed. Callers that go on name the state they
// stand for (ReConnnect: CONNECTING, Reset: NOT_CONNECTED), set in the same
// step so that no poller sees a passing CONNECT_OR_LOGIN_FAILED. A
// subscription does not outlive its socket: a success is cleared (the next
// socket has subscribed nothing) and a failure stays one.
bool SocketConnectThread::DoCloseSocket(ConnectState closedState) {
  m_heartbeatCount = 0;
  CancelLoginDeadline();
  if (m_heartbeatEv) event_del(m_heartbeatEv.get());  // no heartbeat without a socket
  EndPause();
  if (m_bev) {
    DebugPrint("Close datafeed socket");
    m_bev.reset();  // closes the socket; a TLS bufferevent frees its TLS object too
  }
  if (closedState != CONNECT_OR_LOGIN_FAILED) {
    m_state = closedState;
  } else if (m_state == LOGIN_SUCCESS || m_state == CONNECTING) {
    m_state = CONNECT_OR_LOGIN_FAILED;
  }
  SubscribeState succeeded = SUBSCRIBE_SUCCESS;
  m_subscribeState.compare_exchange_strong(succeeded, NOT_SUBSCRIBE);
  SubscribeState pending = SUBSCRIBING;
  return m_subscribeState.compare_exchange_strong(pending, SUBSCRIBE_FAILED);
}

int SocketConnectThread::DoReset() {
  DebugPrint("Reset connect thread");
  const bool endedPending = DoCloseSocket(NOT_CONNECTED);
  if (!endedPending) m_subscribeState = NOT_SUBSCRIBE;
  m_serverIndex.store(0);
  return 0;
}

int SocketConnectThread::DoSendSubscribeMsg(SubscribeRequest* subReq) {
  // A closed connection still being drained has a socket but no peer.
  if (!m_bev || m_peerGone) {
    ErrorPrint("Not connect, cannt send subscribe msg to this datafeed node");
    m_subscribeState = SUBSCRIBE_FAILED;
    return INVALID_DATAFEED_SOCKET;
  }
  const std::string traceId = "sdk_subscribe_" + std::to_string(NowMicros());
  SetTraceId(traceId);
  char* frame = nullptr;
  const int len = VentrixMessage::PrepareSubscribeRequest(frame, subReq, traceId);
  if (len <= 0) {
    delete[] frame;
    ErrorPrint("Prepare subscribe message failed!");
    m_subscribeState = SUBSCRIBE_FAILED;
    return len < 0 ? len : SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED;
  }
  {
    MutexLock lock(m_sendMutex);
    bufferevent_write(m_bev.get(), frame, static_cast<size_t>(len));
    m_subscribeState = SUBSCRIBING;
  }
  delete[] frame;
  return 0;
}

// Each entry from the event loop holds a reference for the length of the
// callback, so a user callback that releases the connection's last reference
// leaves it alive until the callback has returned.
void SocketConnectThread::EventCallback(bufferevent* bev, short events, void* user_data) {
  auto* self = static_cast<SocketConnectThread*>(user_data);
  const std::shared_ptr<SocketConnectThread> keep = self->weak_from_this().lock();
  self->OnEvent(bev, events);
}

void SocketConnectThread::OnEvent(bufferevent* bev, short events) {
  const std::string host = getCurrentHostStr();
  if ((events & BEV_EVENT_READING) && (events & BEV_EVENT_TIMEOUT)) {
    ErrorPrint("Datafeed Read IDLE, site type: %d, service host: %s. Try to reconnect...", m_ipPart, host.c_str());
    ReConnnect();
  } else if ((events & BEV_EVENT_WRITING) && (events & BEV_EVENT_TIMEOUT)) {
    ErrorPrint("Datafeed Write IDLE, site type: %d, service host: %s. Try to reconnect...", m_ipPart, host.c_str());
    ReConnnect();
  } else if (events & BEV_EVENT_CONNECTED) {
    SendLoginRequest(bev);
  } else if (events & BEV_EVENT_EOF) {
    // Reported once per connection: a read that ends a drain already under way is its last step.
    if (!m_peerGone) {
      ErrorPrint("Connected to datafeed service closed by peer, site type: %d, service host: %s.", m_ipPart,
                 host.c_str());
    }
    DeliverThenReconnect(events);
  } else if (events & BEV_EVENT_ERROR) {
    const int err = EVUTIL_SOCKET_ERROR();
    if (!m_peerGone) {
      if (m_handle != nullptr) m_handle->OnDisconnected(m_ipPart, host);
      ErrorPrint("Connected to datafeed service error, errno: %d, error msg: %s, site type: %d, service host: %s.",
                 err, evutil_socket_error_to_string(err), m_ipPart, host.c_str());
    }
    DeliverThenReconnect(events);
  } else {
    ReConnnect();
  }
}

void SocketConnectThread::SetCredentials(const std::string& userName, const std::string& pwdOrToken) {
  MutexLock lock(m_credentialsMutex);
  m_userAccount = userName;
  m_pwdOrToken = pwdOrToken;
}

void SocketConnectThread::SendLoginRequest(bufferevent* bev) {
  const std::string host = getCurrentHostStr();
  InfoPrint("Connected to datafeed service successfully, site type: %d, service host: %s.", m_ipPart, host.c_str());
  const std::string traceId = "sdk_login_" + std::to_string(NowMicros());
  SetTraceId(traceId);
  m_heartbeatCount = 0;
  const ServerHost& node = m_serverHostVec[static_cast<size_t>(m_serverIndex.load())];
  std::string user;
  std::string pwdOrToken;
  {
    MutexLock lock(m_credentialsMutex);
    user = m_userAccount;
    pwdOrToken = m_pwdOrToken;
  }
  char* frame = nullptr;
  const int len = VentrixMessage::PrepareLoginRequest(frame, model::VENTRIX_LOGIN_FOR_DATAFEED, node.GetServerIp(),
                                                      node.GetServerPort(), user, pwdOrToken, true, traceId);
  if (len <= 0) {
    delete[] frame;
    ReConnnect();
    return;
  }
  InfoPrint("Send login request to datafeed service");
  bufferevent_write(bev, frame, static_cast<size_t>(len));
  delete[] frame;
}

int SocketConnectThread::StartHeartbeat() {
  InfoPrint("Start send heatbeat to datafeed service, site type: %d, service host: %s.", m_ipPart,
            getCurrentHostStr().c_str());
  m_heartbeatEv.reset();
  if (m_loop.base() != nullptr) {
    m_heartbeatEv.reset(event_new(m_loop.base(), -1, 0, &SocketConnectThread::SendHeartbeatWrapper, this));
  }
  if (!m_heartbeatEv) {
    ErrorPrint("Create heartbeat event failed");
    return SEND_HEARTBEAT_FAILED;
  }
  m_preHeartbeatSendTime = NowSeconds();
  if (event_add(m_heartbeatEv.get(), &m_heartbeatInterval) != 0) {
    ErrorPrint("Create heartbeat timer failed");
    m_heartbeatEv.reset();
    return SEND_HEARTBEAT_FAILED;
  }
  return 0;
}

void SocketConnectThread::SendHeartbeatWrapper(int fd, short what, void* arg) {
  auto* self = static_cast<SocketConnectThread*>(arg);
  const std::shared_ptr<SocketConnectThread> keep = self->weak_from_this().lock();
  // While reading is paused the answers wait, unread, behind market data:
  // they are not missing, so they are not counted.
  if (self->m_readPaused) self->m_heartbeatCount = 0;
  // Buffers handed back after the last frame are not kept until more data comes.
  self->ReleaseReturnedBuffers();
  if (self->m_heartbeatCount.load() >= BaseConfig::GetInstance().GetHeartbeatMaxCount()) {
    ErrorPrint("Not receive heartbeat from datafeed service");
    self->DoReset();
  }
  self->SendHeartbeat();
}

void SocketConnectThread::HeartbeatRates(int64_t bytes, int64_t frames, int64_t interval, int32_t& traffic,
                                         int32_t& tps) {
  traffic = static_cast<int32_t>(static_cast<double>(bytes) * (1.0 / 1024) / static_cast<double>(interval));
  tps = static_cast<int32_t>(frames / interval);
}

void SocketConnectThread::SendHeartbeat() {
  DebugPrint("Send Hearbeat to datafeed node, site type: %d, current host: %s", m_ipPart,
             getCurrentHostStr().c_str());
  m_heartbeatCount.fetch_add(1);
  m_curTime = NowSeconds();
  const int64_t interval = m_curTime - m_preHeartbeatSendTime;
  if (interval <= 0) {
    // Fired within the second its period began (or the clock stepped back):
    // send nothing this time, but keep the heartbeat alive.
    if (m_heartbeatEv) event_add(m_heartbeatEv.get(), &m_heartbeatInterval);
    return;
  }
  int32_t traffic = 0;
  int32_t tps = 0;
  HeartbeatRates(m_dataSizeInThisPeriod, m_dataCountInThisPeriod, interval, traffic, tps);
  char* frame = nullptr;
  const int len = VentrixMessage::PrepareHeartBeat(frame, traffic, tps);
  MutexLock lock(m_sendMutex);
  if (m_bev && len > 0) {
    bufferevent_write(m_bev.get(), frame, static_cast<size_t>(len));
    lock.Unlock();
    delete[] frame;
    if (!m_heartbeatEv || event_add(m_heartbeatEv.get(), &m_heartbeatInterval) != 0) {
      ErrorPrint("Create heartbeat event failed");
      m_heartbeatEv.reset();
    }
    DebugPrint("Send heartbeat success, traffic: %d KB/s, tps: %d/s, interval: %d(s)", traffic, tps,
               static_cast<int>(interval));
    m_dataSizeInThisPeriod = 0;
    m_dataCountInThisPeriod = 0;
    m_preHeartbeatSendTime = m_curTime;
  } else {
    ErrorPrint("Send heartbeat msg failed");
    lock.Unlock();
    delete[] frame;
  }
}

void SocketConnectThread::ReadCallback(bufferevent* bev, void* user_data) {
  auto* self = static_cast<SocketConnectThread*>(user_data);
  const std::shared_ptr<SocketConnectThread> keep = self->weak_from_this().lock();
  self->ProcessInput(bufferevent_get_input(bev));
}

void SocketConnectThread::FatalStreamError(const std::string& message) {
  ErrorPrint("%s", message.c_str());
  DoCloseSocket();
  if (m_handle != nullptr) m_handle->OnLoginDatafeedNodeFailed(m_ipPart, getCurrentHostStr());
  m_state = CONNECT_OR_LOGIN_FAILED;
}

void SocketConnectThread::ProcessInput(evbuffer* input) {
  const uint64_t framesBefore = m_framesReceived.load(std::memory_order_relaxed);
  ProcessFrames(input);
  // One clock read per read, not per frame: frames of one read arrived together.
  if (m_framesReceived.load(std::memory_order_relaxed) != framesBefore) {
    m_lastFrameNs.store(NowUnixNanos(), std::memory_order_relaxed);
  }
}

void SocketConnectThread::ProcessFrames(evbuffer* input) {
  size_t readAbleLength = evbuffer_get_length(input);
  if (readAbleLength <= static_cast<size_t>(MESSAGE_HEADER_LEN)) return;
  for (;;) {
    if (evbuffer_copyout(input, m_header.data(), MESSAGE_HEADER_LEN) < MESSAGE_HEADER_LEN) {
      DebugPrint("Data in buff not enough for msg header");
      return;
    }
    MessageHeader header;
    header.decode(m_header.data());
    const uint32_t metaLength = static_cast<uint32_t>(header.m_metaLength);
    const uint32_t payloadLength = static_cast<uint32_t>(header.m_payloadLength);
    if (metaLength > kMaxFieldLength || payloadLength > kMaxFieldLength) {
      FatalStreamError("msg parse fail,Message length is abnormal");
      return;
    }
    const size_t totalLength = MESSAGE_HEADER_LEN + static_cast<size_t>(metaLength) + payloadLength;
    if (readAbleLength < totalLength) return;
    if (evbuffer_copyout(input, m_body.data(), totalLength) != static_cast<ev_ssize_t>(totalLength)) {
      FatalStreamError("Read data failed");
      return;
    }
    if (VentrixMessage::DecodeMsgMeatData(m_body.data() + MESSAGE_HEADER_LEN, static_cast<int>(metaLength),
                                          m_meta) != 0 ||
        (!m_meta.traceid().empty() && !TraceIdMatches(m_meta.traceid()))) {
      FatalStreamError("Read datafeed response meta data failed!");
      return;
    }
    const char* payload = m_body.data() + MESSAGE_HEADER_LEN + metaLength;
    if (!Dispatch(m_meta, payload, static_cast<int32_t>(payloadLength), header.m_flags)) return;
    // Once queued (a frame held back is read again later and tapped then).
    if (FrameTapInstalled() && (m_meta.sysmessagetype() == model::PUSH_MARKET_DATA ||
                                m_meta.sysmessagetype() == model::PUSH_MARKET_DATA_STREAM)) {
      TapFrameSlow(m_ipPart, m_body.data(), totalLength);
    }
    BumpOwned(m_bytesReceived, totalLength);
    evbuffer_drain(input, totalLength);
    readAbleLength -= totalLength;
    if (readAbleLength <= static_cast<size_t>(MESSAGE_HEADER_LEN)) return;
  }
}

bool SocketConnectThread::Dispatch(const MetaData& meta, const char* payload, int32_t payloadLength,
                                   int16_t flags) {
  switch (meta.sysmessagetype()) {
    case model::PUSH_MARKET_DATA:
    case model::PUSH_MARKET_DATA_STREAM:
      return QueueMarketData(meta, payload, payloadLength, flags);
    case model::HEARTBEAT_RESPONSE:
      DebugPrint("Receive heatbeat from :%s", getCurrentHostStr().c_str());
      m_heartbeatCount = 0;
      return true;
    case model::LOGIN_RESPONSE:
      HandleLoginResponse(payload, payloadLength);
      return m_state == LOGIN_SUCCESS;  // a refused login moved to another socket
    case model::SUBSCRIBE_RESPONSE:
      return HandleSubscribeResponse(payload, payloadLength);
    default:
      DebugPrint("Receive not known qelsysmessagetype: %d, channelNo: %d, channelIdx: %lld, ",
                 static_cast<int>(meta.sysmessagetype()), meta.channelno(),
                 static_cast<long long>(meta.channelindex()));
      return true;
  }
}

bool SocketConnectThread::QueueMarketData(const MetaData& meta, const char* payload, int32_t payloadLength,
                                          int16_t flags) {
  if (!m_rawDataQueue) return true;
  ReleaseReturnedBuffers();
  const uint32_t length = static_cast<uint32_t>(payloadLength);
  RawData* slot = m_rawDataQueue->alloc();
  if (MustHoldBack(length, slot == nullptr)) {
    // The frame stays unread in the input; reading resumes from it.
    PauseReading(length, slot == nullptr);
    return false;
  }
  m_dataCountInThisPeriod += 1;
  m_dataSizeInThisPeriod += payloadLength;
  slot->m_flags = flags;
  slot->m_channelNo = meta.channelno();
  slot->m_channelIdx = meta.channelindex();
  slot->m_qelDataType = meta.qeldatatype();
  slot->m_messageNum = meta.qelsysmessagenum();
  slot->m_payloadLength = payloadLength;
  slot->m_sendTime = meta.sendtime();
  slot->m_body = new char[length];
  memcpy(slot->m_body, payload, length);
  m_inflight.emplace_back(slot->m_body, length);
  m_inflightBytes += length;
  m_rawDataQueue->push();
  if (m_decodeLink) m_decodeLink->wake.Notify();
  BumpOwned(m_framesReceived);
  const uint64_t depth = m_rawDataQueue->approxSize();
  if (depth > m_queueHighWater.load(std::memory_order_relaxed)) {
    m_queueHighWater.store(depth, std::memory_order_relaxed);
  }
  // Here, once the frame is taken: a frame held back above is read again
  // later and checked only then. After the hand-over, so a warning line
  // never delays the decode thread.
  CheckSequence(meta.channelno(), meta.channelindex());
  if (m_readPaused && !m_resumeArmed) FinishPause();  // caught up without the timer (a later read)
  return true;
}

void SocketConnectThread::CheckSequence(int32_t channel, int64_t index) {
  ChannelSequence& seq = m_channelSequence[channel];  // allocates only for a channel's first frame
  if (seq.login == m_sequenceLogin && index == seq.next) {
    seq.next = IndexAfter(index);
    return;
  }
  if (seq.login != m_sequenceLogin) {
    // The first frame of the channel since the login: nothing to compare with.
    seq.login = m_sequenceLogin;
    seq.next = IndexAfter(index);
    return;
  }
  ReportSequenceBreak(channel, seq.next, index);
  // A repeated or earlier index leaves the expectation where it is, so the
  // frames that follow it in order are not reported as well.
  if (index > seq.next) seq.next = IndexAfter(index);
}

void SocketConnectThread::ReportSequenceBreak(int32_t channel, int64_t expected, int64_t index) {
  if (index > expected) {
    const uint64_t missing = static_cast<uint64_t>(index) - static_cast<uint64_t>(expected);
    m_sequenceGaps.store(m_sequenceGaps.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const uint64_t before = static_cast<uint64_t>(m_framesMissing.load(std::memory_order_relaxed));
    const uint64_t room = static_cast<uint64_t>(INT64_MAX) - before;  // the total saturates
    m_framesMissing.store(static_cast<int64_t>(before + std::min(missing, room)), std::memory_order_relaxed);
    WarnPrint("Datafeed sequence gap, site type: %d, channel: %d, expected index: %lld, received index: %lld, "
              "frames missing: %llu",
              m_ipPart, channel, static_cast<long long>(expected), static_cast<long long>(index),
              static_cast<unsigned long long>(missing));
    return;
  }
  m_indexRepeats.store(m_indexRepeats.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  WarnPrint("Datafeed sequence index repeated or behind, site type: %d, channel: %d, expected index: %lld, "
            "received index: %lld",
            m_ipPart, channel, static_cast<long long>(expected), static_cast<long long>(index));
}

SocketConnectThread::GapStats SocketConnectThread::GetGapStats() const {
  GapStats stats;
  stats.gaps = m_sequenceGaps.load(std::memory_order_relaxed);
  stats.frames_missing = m_framesMissing.load(std::memory_order_relaxed);
  stats.duplicates_or_backwards = m_indexRepeats.load(std::memory_order_relaxed);
  return stats;
}

void SocketConnectThread::FillStats(SiteTypeStats& out) const {
  out.site_type = m_ipPart;
  out.connection_state = static_cast<int>(m_state.load(std::memory_order_relaxed));
  out.node = getCurrentHostStr();
  out.frames_received = m_framesReceived.load(std::memory_order_relaxed);
  out.bytes_received = m_bytesReceived.load(std::memory_order_relaxed);
  const GapStats gaps = GetGapStats();
  out.gaps = static_cast<uint64_t>(gaps.gaps);
  out.frames_missing = static_cast<uint64_t>(gaps.frames_missing);
  out.duplicates_or_backwards = static_cast<uint64_t>(gaps.duplicates_or_backwards);
  out.reader_pauses = m_readerPauses.load(std::memory_order_relaxed);
  const uint64_t logins = m_logins.load(std::memory_order_relaxed);
  out.reconnects = logins > 0 ? logins - 1 : 0;
  if (m_rawDataQueue) {
    // Both indexes are atomics: from another thread the difference is a
    // snapshot, bounded by the queue's size.
    out.raw_queue_depth = (m_rawDataQueue->writeIndex() - m_rawDataQueue->readIndex()) & RawDataQueue::kMask;
  }
  out.raw_queue_high_water = m_queueHighWater.load(std::memory_order_relaxed);
  const int64_t inflight = m_inflightBytes.load(std::memory_order_relaxed);
  out.payload_bytes_in_flight = static_cast<uint64_t>(std::max<int64_t>(0, inflight));
  out.decoded_record_bytes_held = static_cast<uint64_t>(std::max<int64_t>(0, HeldRecordBytes()));
  out.last_frame_unix_ns = m_lastFrameNs.load(std::memory_order_relaxed);
  if (m_decodeLink) {
    out.records_decoded = m_decodeLink->recordsDecoded.load(std::memory_order_relaxed);
    out.records_delivered = m_decodeLink->recordsDelivered.load(std::memory_order_relaxed);
    out.decode_failures = m_decodeLink->decodeFailures.load(std::memory_order_relaxed);
    out.delay_p50_us = m_decodeLink->sendToHandover.Percentile(0.50);
    out.delay_p99_us = m_decodeLink->sendToHandover.Percentile(0.99);
  }
}

// A frame is held back while the queue has no slot, or while it would take
// what the site type holds past the budget: the payloads in flight and the
// charge of the decoded records not yet released, so a slow callback pushes
// back on the socket instead of growing the heap. With nothing held a frame
// always goes, so a budget below one frame still lets data through.
bool SocketConnectThread::MustHoldBack(uint32_t payloadLength, bool queueFull) const {
  if (queueFull) return true;
  const int64_t inflight = m_inflightBytes.load() + HeldRecordBytes();
  const int64_t budget = BaseConfig::GetInstance().GetMaxInflightBytes();
  return inflight > 0 && inflight + payloadLength > budget;
}

void SocketConnectThread::ReleaseReturnedBuffers() {
  if (!m_rawDataQueueBack) return;
  while (char** returned = m_rawDataQueueBack->front()) {
    char* body = *returned;
    if (body != nullptr) {
      // Buffers come back in the order they were queued; older ones not seen
      // here were released by the decode thread itself (its back queue was full).
      auto it = std::find_if(m_inflight.begin(), m_inflight.end(),
                             [body](const std::pair<const char*, uint32_t>& entry) { return entry.first == body; });
      if (it != m_inflight.end()) {
        ++it;
        int64_t released = 0;
        for (auto entry = m_inflight.begin(); entry != it; ++entry) released += entry->second;
        m_inflight.erase(m_inflight.begin(), it);
        m_inflightBytes -= released;
      }
      delete[] body;
      *returned = nullptr;
    }
    m_rawDataQueueBack->pop();  // an empty slot is removed too, so it never blocks the queue
  }
}

void SocketConnectThread::PauseReading(uint32_t payloadLength, bool queueFull) {
  m_heldPayloadLength = payloadLength;
  if (!m_readPaused.exchange(true)) {
    BumpOwned(m_readerPauses);
    if (queueFull) ErrorPrint("RawDataQueue alloc failed");
    WarnPrint("Datafeed reading paused for site type: %d, payload bytes in flight: %lld, decoded records held: %lld "
              "bytes, budget: %u, queue full: %d; resumes when the decode thread and the callbacks catch up",
              m_ipPart, static_cast<long long>(m_inflightBytes.load()), static_cast<long long>(HeldRecordBytes()),
              BaseConfig::GetInstance().GetMaxInflightBytes(), queueFull ? 1 : 0);
  }
  if (m_bev) bufferevent_disable(m_bev.get(), EV_READ);  // TCP holds the node back meanwhile
  if (!m_resumeEv && m_loop.base() != nullptr) {
    m_resumeEv.reset(event_new(m_loop.base(), -1, 0, &SocketConnectThread::ResumeCallback, this));
  }
  if (m_resumeEv && !m_resumeArmed) m_resumeArmed = event_add(m_resumeEv.get(), &kResumePoll) == 0;
}

void SocketConnectThread::StopPause() {
  if (m_resumeEv) event_del(m_resumeEv.get());
  m_resumeArmed = false;
  m_readPaused = false;
}

void SocketConnectThread::EndPause() {
  StopPause();
  m_peerGone = false;
  m_inputEnded = false;
}

void SocketConnectThread::ResumeCallback(evutil_socket_t, short, void* arg) {
  auto* self = static_cast<SocketConnectThread*>(arg);
  const std::shared_ptr<SocketConnectThread> keep = self->weak_from_this().lock();
  self->OnResume();
}

void SocketConnectThread::OnResume() {
  m_resumeArmed = false;
  if (!m_bev) {
    EndPause();
    return;
  }
  ReleaseReturnedBuffers();
  if (MustHoldBack(m_heldPayloadLength, m_rawDataQueue->alloc() == nullptr)) {
    m_resumeArmed = event_add(m_resumeEv.get(), &kResumePoll) == 0;
    return;
  }
  // Once a read has found the end of a closed connection there is nothing more to read.
  if (!m_inputEnded) bufferevent_enable(m_bev.get(), EV_READ);
  ProcessInput(bufferevent_get_input(m_bev.get()));
  if (m_readPaused && !m_resumeArmed) FinishPause();
  if (m_peerGone && !m_readPaused) ContinueDrain();
}

void SocketConnectThread::FinishPause() {
  StopPause();
  m_heartbeatCount = 0;  // answers that waited behind the data are read from here on
  InfoPrint("Datafeed reading resumed for site type: %d", m_ipPart);
}

void SocketConnectThread::DeliverThenReconnect(short events) {
  if (!m_bev) return;
  if (!m_peerGone) {
    // While reading runs, every read has been cut into frames as it came, and
    // an end found by a read leaves nothing behind; nor does a failed connect.
    const bool readEnded = (events & BEV_EVENT_READING) != 0;
    const bool writeFailed = (events & BEV_EVENT_WRITING) != 0;
    if (!m_readPaused && (readEnded || !writeFailed)) {
      ReConnnect();
      return;
    }
    m_peerGone = true;
    m_inputEnded = false;
    bufferevent_disable(m_bev.get(), EV_WRITE);  // nothing more goes out on a closed connection
    WarnPrint("Datafeed connection of site type %d closed with %zu bytes read and not yet queued%s; they are queued "
              "before reconnecting",
              m_ipPart, evbuffer_get_length(bufferevent_get_input(m_bev.get())),
              m_readPaused ? " (reading held back: the decode thread is behind)" : "");
  }
  if (events & BEV_EVENT_READING) m_inputEnded = true;
  ContinueDrain();
}

void SocketConnectThread::ContinueDrain() {
  evbuffer* input = bufferevent_get_input(m_bev.get());
  if (!m_readPaused) {
    ProcessInput(input);
    if (!m_peerGone) return;  // the frames closed or replaced the socket themselves
  }
  if (m_readPaused) return;  // OnResume goes on once the decode thread has room
  if (!m_inputEnded) {
    // The kernel may still hold what the node sent: read it; the read ends in EOF or an error.
    bufferevent_enable(m_bev.get(), EV_READ);
    return;
  }
  const size_t partial = evbuffer_get_length(input);
  if (partial > 0) {
    WarnPrint("Datafeed connection of site type %d closed inside a frame: %zu bytes of it dropped", m_ipPart, partial);
  }
  ReConnnect();
}

void SocketConnectThread::HandleLoginResponse(const char* payload, int32_t payloadLength) {
  int32_t bodyLen = 0;
  const bool length_ok = ReadResponseBodyLength(payload, payloadLength, bodyLen);
  DebugPrint("Datafeed login response body len: %d", bodyLen);
  LoginResponse response;
  if (!length_ok ||
      VentrixMessage::DecodeMsgBody(payload + QEL_MSG_LEN_TYPE_SIZE, bodyLen, response) != 0) {
    ErrorPrint("Decode datafeed login response body failed! Try to relogin");
    ReConnnect();
    return;
  }
  InfoPrint("Datafeed login response: %s", ToLogJson(response).c_str());
  const std::string host = getCurrentHostStr();
  if (response.issuccess()) {
    InfoPrint("Login datafeed node success, site type: %d", m_ipPart);
    if (m_handle != nullptr) {
      m_handle->OnLoginDatafeedNodeSuccess(m_ipPart, host);
      m_handle->OnLoginDataServiceResponse(response);
    }
    CancelLoginDeadline();
    // Each login numbers its channels afresh: an index that starts over
    // after a reconnect is not a break (the outage has its own log lines).
    if (++m_sequenceLogin == 0) m_sequenceLogin = 1;  // 0 marks a channel without frames
    BumpOwned(m_logins);
    m_state = LOGIN_SUCCESS;
    StartHeartbeat();
  } else {
    ErrorPrint("Login datafeed node failed, site type: %d", m_ipPart);
    if (m_handle != nullptr) m_handle->OnLoginDatafeedNodeFailed(m_ipPart, host);
    ReConnnect();
  }
}

bool SocketConnectThread::HandleSubscribeResponse(const char* payload, int32_t payloadLength) {
  int32_t bodyLen = 0;
  const bool length_ok = ReadResponseBodyLength(payload, payloadLength, bodyLen);
  DebugPrint("Datafeed subscribe response body len: %d", bodyLen);
  SubscribeResponse response;
  const bool decoded =
      length_ok && VentrixMessage::DecodeMsgBody(payload + QEL_MSG_LEN_TYPE_SIZE, bodyLen, response) == 0;
  // Read before the response moves into the shared copy.
  const bool success = decoded && response.issuccess();
  const std::string logText = decoded ? ToLogJson(response) : std::string();
  {
    MutexLock lock(m_subscribeRspMutex);
    m_subscribeRsp.Swap(&response);  // cleared when undecodable
    if (!decoded) m_subscribeRsp.Clear();
  }
  if (!decoded) {
    ErrorPrint("Decode datafeed subscribe response body failed! Try to resubscribe");
    m_subscribeState = SUBSCRIBE_FAILED;
    DoCloseSocket();
    return false;
  }
  InfoPrint("Datafeed subscribe rsp: %s", logText.c_str());
  if (success) {
    m_subscribeState = SUBSCRIBE_SUCCESS;  // after the response is stored: readers poll this state
    InfoPrint("Receive subscribe response, subscribe success");
    return true;
  }
  m_subscribeState = SUBSCRIBE_FAILED;
  ErrorPrint("Receive subscribe response, subscribe failed");
  DoCloseSocket();
  return false;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
