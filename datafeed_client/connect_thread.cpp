#include "datafeed_client/connect_thread.h"

#include <event2/buffer.h>

#include <chrono>
#include <cstring>
#include <future>

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
constexpr size_t kBodyAreaLen = MAX_MSG_LENGTH;  // copy-out area for one whole frame
constexpr uint32_t kMaxFieldLength = 0xFFFF;     // bound of a header's meta and payload lengths

int64_t NowSeconds() { return StandardLibKits::GetInstance()->GetCurrentUnixTimestampSeconds(); }
int64_t NowMicros() { return StandardLibKits::GetInstance()->GetCurrentUnixTimestampMicros(); }
}  // namespace

SocketConnectThread::SocketConnectThread(MessageHandle* handle, ServerHostListType& SocketInfo,
                                         std::shared_ptr<RawDataQueue> rawDataQueue,
                                         std::shared_ptr<RawDataQueueBack> rawDataQueueBack,
                                         const std::string& userName, const std::string& pwdOrToken,
                                         uint32_t ipPart, SSL_CTX* ssl_ctx)
    : m_handle(handle),
      m_header(MESSAGE_HEADER_LEN, 0),
      m_body(kBodyAreaLen, 0),
      m_userAccount(userName),
      m_pwdOrToken(pwdOrToken),
      m_rawDataQueue(std::move(rawDataQueue)),
      m_rawDataQueueBack(std::move(rawDataQueueBack)),
      m_ipPart(static_cast<int32_t>(ipPart)),
      m_ssl_ctx(ssl_ctx) {
  EnableEventThreading();
  m_heartbeatInterval.tv_sec = static_cast<time_t>(BaseConfig::GetInstance().GetHeartBeatInterval());
  m_heartbeatInterval.tv_usec = 0;
  for (const auto& node : SocketInfo) m_serverHostVec.push_back(node.second);
  InfoPrint("Datafeed node num: %d", static_cast<int>(m_serverHostVec.size()));
}

SocketConnectThread::~SocketConnectThread() { Stop(); }

void SocketConnectThread::Start() {
  InfoPrint("Start connect thread for site type: %d", m_ipPart);
  m_state = NOT_CONNECTED;
  // Returns once the loop thread has its event base (or failed to make one),
  // so that a TryConnect right after Start never finds the base missing.
  std::promise<void> ready;
  std::future<void> loop_ready = ready.get_future();
  m_thread = std::thread(&SocketConnectThread::Run, this, std::move(ready));
  loop_ready.wait();
}

void SocketConnectThread::Run(std::promise<void> ready) {
  MarkLibraryThread();
  {
    std::lock_guard<std::mutex> lock(m_taskMutex);
    if (m_stopRequested) {
      ready.set_value();
      return;
    }
    m_base.reset(event_base_new());
    if (m_base) m_wakeEv.reset(event_new(m_base.get(), -1, 0, &SocketConnectThread::WakeCallback, this));
    if (!m_base || !m_wakeEv) {
      ErrorPrint("Create event_base_new faeiled for site type: %d", m_ipPart);
      m_wakeEv.reset();
      m_base.reset();
      ready.set_value();
      return;
    }
    m_loopThreadId = std::this_thread::get_id();
    m_loopAlive = true;
  }
  ready.set_value();
  if (event_base_loop(m_base.get(), EVLOOP_NO_EXIT_ON_EMPTY) != 0) {
    ErrorPrint("Socket is closed, an error occurred");
  }
  // Tear down under the task lock: callers that come later find no loop and
  // run their operation themselves, never alongside this teardown.
  std::lock_guard<std::mutex> lock(m_taskMutex);
  RunPendingTasks();
  m_heartbeatEv.reset();
  m_bev.reset();
  m_wakeEv.reset();
  m_base.reset();
  m_loopAlive = false;
  m_loopThreadId = std::thread::id();
}

void SocketConnectThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_taskMutex);
    m_stopRequested = true;
    // The break is issued from inside the loop: a break requested before the
    // loop starts would be forgotten when it does.
    if (m_loopAlive) event_active(m_wakeEv.get(), EV_READ, 1);
  }
  if (m_thread.joinable()) {
    if (m_thread.get_id() == std::this_thread::get_id()) {
      m_thread.detach();  // asked from a callback of this connection: the loop ends on return
    } else {
      m_thread.join();
    }
  }
  std::lock_guard<std::mutex> lock(m_taskMutex);
  if (!m_loopAlive) m_bev.reset();
}

void SocketConnectThread::WakeCallback(int, short, void* arg) {
  auto* self = static_cast<SocketConnectThread*>(arg);
  {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> lock(self->m_taskMutex);
      tasks.swap(self->m_tasks);
    }
    for (auto& task : tasks) task();
  }
  if (self->m_stopRequested) event_base_loopbreak(self->m_base.get());
}

void SocketConnectThread::RunPendingTasks() {
  std::deque<std::function<void()>> tasks;
  tasks.swap(m_tasks);
  for (auto& task : tasks) task();
}

void SocketConnectThread::RunOnLoop(const std::function<void()>& fn) {
  if (OnLoopThread()) {
    fn();
    return;
  }
  std::unique_lock<std::mutex> lock(m_taskMutex);
  if (!m_loopAlive) {
    fn();  // no loop thread exists: the lock keeps other callers out
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  m_tasks.emplace_back([&fn, done] {
    fn();
    done->set_value();
  });
  event_active(m_wakeEv.get(), EV_READ, 1);
  lock.unlock();
  finished.wait();
}

void SocketConnectThread::TryConnect() {
  RunOnLoop([this] { DoTryConnect(); });
}

int SocketConnectThread::Reset() {
  int result = 0;
  RunOnLoop([this, &result] { result = DoReset(); });
  return result;
}

void SocketConnectThread::CloseSocket() {
  RunOnLoop([this] { DoCloseSocket(); });
}

int SocketConnectThread::SendSubscribeMsg(SubscribeRequest* subReq) {
  int result = 0;
  RunOnLoop([this, subReq, &result] { result = DoSendSubscribeMsg(subReq); });
  return result;
}

// The node vector stays the one the connection was built with; only the
// rotation restarts (callers build a new connection to change nodes).
void SocketConnectThread::UpdateNodeList(ServerHostListType& dataNodeList) { m_serverIndex.store(0); }

std::string SocketConnectThread::getCurrentHostStr() const {
  const int32_t index = m_serverIndex.load();
  if (index < 0 || static_cast<size_t>(index) >= m_serverHostVec.size()) return std::string();
  return m_serverHostVec[static_cast<size_t>(index)].HostText();
}

std::string SocketConnectThread::GetTraceId() const {
  std::lock_guard<std::mutex> lock(m_traceIdMutex);
  return m_traceId;
}

bool SocketConnectThread::TraceIdMatches(const std::string& traceId) const {
  std::lock_guard<std::mutex> lock(m_traceIdMutex);
  return traceId == m_traceId;
}

void SocketConnectThread::SetTraceId(const std::string& traceId) {
  std::lock_guard<std::mutex> lock(m_traceIdMutex);
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
  if (!m_base) {
    ErrorPrint("event base is nullptr, pls check");
    return;
  }
  const char* ip = node.GetServerIp().c_str();
  const int port = node.GetServerPort();
  auto fail = [this](const char* format, const char* ip_text, int port_number) {
    ErrorPrint(format, ip_text, port_number);
    m_state = NOT_CONNECTED;
  };

  m_bev.reset();  // a socket left by an earlier failed start is replaced, not leaked
  const bool tls = BaseConfig::GetInstance().IsUseSSL() && node.IsSsl();
  if (tls && CreateSsl() != 0) {
    ErrorPrint("Please init ssl env before login datafeed service!");
    m_state = NOT_CONNECTED;
    return;
  }
  if (tls && !ExpectPeerAddress(m_ssl.get(), node.GetServerIp())) return fail("TLS peer check not set for %s:%d", ip, port);
  m_bev = NewClientBufferEvent(m_base.get(), tls ? &m_ssl : nullptr);
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
}

void SocketConnectThread::ReConnnect() {
  DoCloseSocket();
  const int pause_ms = m_reconnectPauseMs.load();
  if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  m_state = CONNECTING;
  m_subscribeState = NOT_SUBSCRIBE;
  m_serverIndex.fetch_add(1);
  InfoPrint("Connect to datafeed service failed, try to reconnect other node");
  DoTryConnect();
}

void SocketConnectThread::DoCloseSocket() {
  m_heartbeatCount = 0;
  if (m_heartbeatEv) event_del(m_heartbeatEv.get());  // no heartbeat without a socket
  if (m_bev) {
    DebugPrint("Close datafeed socket");
    m_bev.reset();  // closes the socket; a TLS bufferevent frees its TLS object too
  }
}

int SocketConnectThread::DoReset() {
  DebugPrint("Reset connect thread");
  DoCloseSocket();
  m_state = NOT_CONNECTED;
  m_subscribeState = NOT_SUBSCRIBE;
  m_serverIndex.store(0);
  return 0;
}

int SocketConnectThread::DoSendSubscribeMsg(SubscribeRequest* subReq) {
  if (!m_bev) {
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
    std::lock_guard<std::mutex> lock(m_sendMutex);
    bufferevent_write(m_bev.get(), frame, static_cast<size_t>(len));
    m_subscribeState = SUBSCRIBING;
  }
  delete[] frame;
  return 0;
}

void SocketConnectThread::EventCallback(bufferevent* bev, short events, void* user_data) {
  static_cast<SocketConnectThread*>(user_data)->OnEvent(bev, events);
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
    ErrorPrint("Connected to datafeed service closed by peer, site type: %d, service host: %s.", m_ipPart,
               host.c_str());
    ReConnnect();
  } else if (events & BEV_EVENT_ERROR) {
    const int err = EVUTIL_SOCKET_ERROR();
    if (m_handle != nullptr) m_handle->OnDisconnected(m_ipPart, host);
    ErrorPrint("Connected to datafeed service error, errno: %d, error msg: %s, site type: %d, service host: %s.", err,
               evutil_socket_error_to_string(err), m_ipPart, host.c_str());
    ReConnnect();
  } else {
    ReConnnect();
  }
}

void SocketConnectThread::SendLoginRequest(bufferevent* bev) {
  const std::string host = getCurrentHostStr();
  InfoPrint("Connected to datafeed service successfully, site type: %d, service host: %s.", m_ipPart, host.c_str());
  const std::string traceId = "sdk_login_" + std::to_string(NowMicros());
  SetTraceId(traceId);
  m_heartbeatCount = 0;
  const ServerHost& node = m_serverHostVec[static_cast<size_t>(m_serverIndex.load())];
  char* frame = nullptr;
  const int len =
      VentrixMessage::PrepareLoginRequest(frame, model::VENTRIX_LOGIN_FOR_DATAFEED, node.GetServerIp(),
                                          node.GetServerPort(), m_userAccount, m_pwdOrToken, true, traceId);
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
  if (m_base) m_heartbeatEv.reset(event_new(m_base.get(), -1, 0, &SocketConnectThread::SendHeartbeatWrapper, this));
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
  std::unique_lock<std::mutex> lock(m_sendMutex);
  if (m_bev && len > 0) {
    bufferevent_write(m_bev.get(), frame, static_cast<size_t>(len));
    lock.unlock();
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
    lock.unlock();
    delete[] frame;
  }
}

void SocketConnectThread::ReadCallback(bufferevent* bev, void* user_data) {
  static_cast<SocketConnectThread*>(user_data)->ProcessInput(bufferevent_get_input(bev));
}

void SocketConnectThread::FatalStreamError(const std::string& message) {
  ErrorPrint("%s", message.c_str());
  DoCloseSocket();
  if (m_handle != nullptr) m_handle->OnLoginDatafeedNodeFailed(m_ipPart, getCurrentHostStr());
  m_state = CONNECT_OR_LOGIN_FAILED;
}

void SocketConnectThread::ProcessInput(evbuffer* input) {
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
    if (totalLength > m_body.size()) {
      // Within the per-field bounds but larger than the copy-out area.
      FatalStreamError("msg parse fail, frame length " + std::to_string(totalLength) +
                       " exceeds the receive buffer of " + std::to_string(m_body.size()) + " bytes");
      return;
    }
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
  m_dataCountInThisPeriod += 1;
  m_dataSizeInThisPeriod += payloadLength;
  if (!m_rawDataQueue) return true;
  RawData* slot = m_rawDataQueue->alloc();
  if (slot == nullptr) {
    // Back-pressure: wait for the decompress thread to free a slot. Logged
    // once per stall, and abandoned only when the connection is stopping.
    ErrorPrint("RawDataQueue alloc failed");
    while ((slot = m_rawDataQueue->alloc()) == nullptr) {
      if (m_stopRequested) return false;
      std::this_thread::yield();
    }
  }
  slot->m_flags = flags;
  slot->m_channelNo = meta.channelno();
  slot->m_channelIdx = meta.channelindex();
  slot->m_qelDataType = meta.qeldatatype();
  slot->m_messageNum = meta.qelsysmessagenum();
  slot->m_payloadLength = payloadLength;
  slot->m_body = new char[static_cast<size_t>(payloadLength)];
  memcpy(slot->m_body, payload, static_cast<size_t>(payloadLength));
  m_rawDataQueue->push();

  if (m_rawDataQueueBack) {
    char** returned = m_rawDataQueueBack->front();
    if (returned != nullptr) {
      delete[] *returned;
      *returned = nullptr;
      m_rawDataQueueBack->pop();  // an empty slot is removed too, so it never blocks the queue
    }
  }
  return true;
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
  m_subscribeRsp.Clear();
  if (!length_ok ||
      VentrixMessage::DecodeMsgBody(payload + QEL_MSG_LEN_TYPE_SIZE, bodyLen, m_subscribeRsp) != 0) {
    ErrorPrint("Decode datafeed subscribe response body failed! Try to resubscribe");
    m_subscribeState = SUBSCRIBE_FAILED;
    DoCloseSocket();
    return false;
  }
  InfoPrint("Datafeed subscribe rsp: %s", ToLogJson(m_subscribeRsp).c_str());
  if (m_subscribeRsp.issuccess()) {
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
