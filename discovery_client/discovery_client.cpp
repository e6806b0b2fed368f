#include "discovery_client/discovery_client.h"

#include <event2/buffer.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "config/base_config.h"
#include "config/error_define.h"
#include "kits/multi_platform_kits.h"
#include "kits/standard_lib_kits.h"
#include "log/base_log.h"
#include "protocol/message_log.h"
#include "protocol/ventrix_message.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::LoginResponse;

namespace {
// Bound of a header's metadata and payload lengths, each on its own; the
// response is read into a buffer sized for the lengths it announces.
constexpr int32_t kMaxSectionLength = 0xFFFF;
// A configured timeout of 0 means "none" to the socket; the attempt's
// deadline counts it as the default (30 s), so that an attempt always ends.
constexpr uint32_t kDefaultTimeoutSeconds = 30;

// An attempt's overall deadline: the connect may take up to the send timeout
// (the socket's write timeout bounds it), the TLS handshake and the answer up
// to the read timeout. A host that goes silent still meets its read timeout
// first; one that trickles bytes, each resetting that timeout, meets this.
uint32_t AttemptDeadlineSeconds() {
  const BaseConfig& config = BaseConfig::GetInstance();
  const auto or_default = [](uint32_t seconds) { return seconds > 0 ? seconds : kDefaultTimeoutSeconds; };
  return or_default(config.GetSendTimeout()) + or_default(config.GetReadTimeout());
}

}  // namespace

DiscoveryClient::DiscoveryClient(const MessageHandle* handle) : m_handle(handle) {}

DiscoveryClient::~DiscoveryClient() {
  m_is_need_reconnect = false;
  CloseSocket();
  FreeBaseEvent();
}

void DiscoveryClient::InitParams(const std::string& user_name, const std::string& passwd, bool use_ssl,
                                 ServerHost master_host, ServerHostVectorType backup_hosts) {
  m_user_account = user_name;
  m_passwd = passwd;
  m_use_ssl = use_ssl;
  m_discovery_hosts.clear();
  m_discovery_hosts.push_back(master_host);
  for (const auto& host : backup_hosts) m_discovery_hosts.push_back(host);
}

void DiscoveryClient::StopLoginCauseSuccess() {
  m_is_connected = true;
  m_is_need_reconnect = false;
}

void DiscoveryClient::StopLoginCauseFailed() {
  m_is_connected = false;
  m_is_need_reconnect = false;
}

void DiscoveryClient::ReLoginCauseFailed() {
  m_is_connected = false;
  m_is_need_reconnect = true;
}

std::string& DiscoveryClient::GetNewTraceId() {
  m_traceId = "sdk_login_" + std::to_string(StandardLibKits::GetInstance()->GetCurrentUnixTimestampMicros());
  return m_traceId;
}

int DiscoveryClient::TryLoginDiscovery() {
  bool expected = false;
  if (!m_is_checking.compare_exchange_strong(expected, true)) {
    WarnPrint("Discovery client is running");
    return LOGIN_DISCOVERY_FAILED_NEED_RECONNECT;
  }
  m_is_need_reconnect = true;
  // Each pass judges only its own attempts; the token and node map of an
  // earlier success stay until a new success replaces them.
  m_is_connected = false;
  bool any_usable_host = false;
  for (size_t i = 0; i < m_discovery_hosts.size() && m_is_need_reconnect && !m_interrupted; ++i) {
    m_curUsedHost = m_discovery_hosts[i];
    if (!IsValidPort(m_curUsedHost.GetServerPort())) {
      // Never contacted, so no pause after it; cut to 16 bits the port would
      // reach some other service.
      ErrorPrint("Discovery host %s refused: port outside 1..65535", m_curUsedHost.HostText().c_str());
      Handle()->OnLoginDiscoveryFailed(m_curUsedHost.GetServerIp());
      continue;
    }
    any_usable_host = true;
    TryConnect(m_curUsedHost.GetServerIp(), m_curUsedHost.GetServerPort());
    if (m_is_connected) {
      std::vector<int> site_types;
      for (const auto& entry : m_datafeed_node_map) site_types.push_back(entry.first);
      Handle()->OnLoginDiscoverySuccess(m_curUsedHost.GetServerIp(), site_types);
    } else {
      Handle()->OnLoginDiscoveryFailed(m_curUsedHost.GetServerIp());
      WarnPrint("Connect to discovery server: %s failed, will retry after 5 seconds if need",
                m_curUsedHost.GetServerIp().c_str());
    }
    if (!m_is_need_reconnect) break;
    std::unique_lock<std::mutex> lock(m_pause_mutex);
    m_pause_cv.wait_for(lock, std::chrono::seconds(m_host_retry_pause_s), [this] { return m_interrupted.load(); });
  }
  // Hosts given, none usable: a setup failure that no retry can mend.
  if (!m_discovery_hosts.empty() && !any_usable_host) m_is_need_reconnect = false;
  InfoPrint("The connection to discovery is over.");
  m_is_checking = false;
  if (m_is_connected) return 0;
  Handle()->OnNoDiscoveryServices();
  return m_is_need_reconnect ? LOGIN_DISCOVERY_FAILED_NEED_RECONNECT : LOGIN_DISCOVERY_FAILED_END;
}

int DiscoveryClient::CreateSsl() {
  if (m_ssl) return 0;
  SSL* ssl = m_ssl_ctx != nullptr ? SSL_new(m_ssl_ctx) : nullptr;
  if (ssl == nullptr) {
    ErrorPrint("Create ssl failed!");
    return INIT_SSL_FAILED;
  }
  m_ssl.reset(ssl);
  return 0;
}

void DiscoveryClient::TryConnect(const std::string& ip, const int port) {
  EnableEventThreading();
  m_base.reset(event_base_new());
  if (!m_base) {
    ErrorPrint("Create event base for discovery failed!");
    StopLoginCauseFailed();
    return;
  }
  if (m_use_ssl && CreateSsl() != 0) {
    ErrorPrint("Please init ssl env before login!");
    StopLoginCauseFailed();
    FreeBaseEvent();
    return;
  }
  if (m_use_ssl && !ExpectPeerAddress(m_ssl.get(), ip)) {
    StopLoginCauseFailed();
    FreeBaseEvent();
    return;
  }
  if (!ArmAttemptEvents()) {
    ErrorPrint("Create discovery attempt timers failed!");
    StopLoginCauseFailed();
    FreeBaseEvent();
    return;
  }
  m_event = NewClientBufferEvent(m_base.get(), m_use_ssl ? &m_ssl : nullptr);
  if (!m_event) {
    ErrorPrint(m_use_ssl ? "Create ssl socket to discovery error!" : "Create socket to discovery error!");
    StopLoginCauseFailed();
    FreeBaseEvent();
    return;
  }
  struct sockaddr_in addr;
  const bool address_ok = MakeIpv4Address(ip, port, addr);
  bufferevent_setcb(m_event.get(), DiscoveryReadCb, nullptr, DiscoveryEventCb, this);
  bufferevent_enable(m_event.get(), EV_READ | EV_WRITE);

  InfoPrint("Try to connect discovery server: %s:%d", ip.c_str(), port);
  if (!address_ok ||
      bufferevent_socket_connect(m_event.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    ErrorPrint("Launch a connect failed!");
    StopLoginCauseFailed();
  } else {
    event_base_dispatch(m_base.get());
    InfoPrint("Close discovery socket connect to %s", ip.c_str());
  }
  FreeBaseEvent();
}

bool DiscoveryClient::ArmAttemptEvents() {
  const struct timeval deadline = {static_cast<time_t>(AttemptDeadlineSeconds()), 0};
  m_deadline.reset(evtimer_new(m_base.get(), &DiscoveryClient::OnAttemptDeadline, this));
  if (!m_deadline || evtimer_add(m_deadline.get(), &deadline) != 0) return false;
  MutexLock lock(m_interrupt_mutex);
  m_interrupt_event.reset(event_new(m_base.get(), -1, 0, &DiscoveryClient::OnInterruptEvent, this));
  if (!m_interrupt_event) return false;
  // An Interrupt that came before this event existed still ends the attempt:
  // an active event runs as soon as the loop starts, where a loop break
  // requested before the loop runs would be forgotten.
  if (m_interrupted) event_active(m_interrupt_event.get(), 0, 0);
  return true;
}

void DiscoveryClient::OnAttemptDeadline(evutil_socket_t, short, void* argv) {
  auto* self = static_cast<DiscoveryClient*>(argv);
  ErrorPrint("Discovery server %s did not complete the login in time! Try to relogin",
             self->m_curUsedHost.HostText().c_str());
  self->ReLoginCauseFailed();
  self->CloseSocket();
}

void DiscoveryClient::OnInterruptEvent(evutil_socket_t, short, void* argv) {
  auto* self = static_cast<DiscoveryClient*>(argv);
  InfoPrint("Discovery login to %s interrupted", self->m_curUsedHost.HostText().c_str());
  self->ReLoginCauseFailed();
  self->CloseSocket();
}

void DiscoveryClient::Interrupt() {
  {
    std::lock_guard<std::mutex> lock(m_pause_mutex);
    m_interrupted = true;
  }
  m_pause_cv.notify_all();
  // The loop runs on the thread of the pass: the event wakes it (libevent
  // threading is on) and the loop breaks itself from its callback.
  MutexLock lock(m_interrupt_mutex);
  if (m_interrupt_event) event_active(m_interrupt_event.get(), 0, 0);
}

void DiscoveryClient::CloseSocket() {
  if (m_base) event_base_loopbreak(m_base.get());
}

void DiscoveryClient::FreeBaseEvent() {
  m_event.reset();  // closes the socket and frees the TLS object with it
  m_deadline.reset();
  {
    MutexLock lock(m_interrupt_mutex);
    m_interrupt_event.reset();
  }
  m_base.reset();
}

void DiscoveryClient::UpdateDatafeedNodes(const google::protobuf::RepeatedPtrField<ServerInfo>* serverInfoList) {
  m_datafeed_node_map.clear();
  if (serverInfoList == nullptr || serverInfoList->empty()) return;
  for (const ServerInfo& info : *serverInfoList) {
    if (!IsValidPort(info.port())) {
      ErrorPrint("Datafeed node %s:%d of site type %d refused: port outside 1..65535", info.ip().c_str(),
                 info.port(), info.sitetype());
      continue;
    }
    // emplace keeps the first entry of a (site type, priority) pair.
    m_datafeed_node_map[info.sitetype()].emplace(info.ippriority(),
                                                 ServerHost(info.ip(), info.port(), info.isssl()));
  }
  InfoPrint("Receive datafeed service node info:");
  for (const auto& site : m_datafeed_node_map) {
    for (const auto& node : site.second) {
      InfoPrint("Datafeed service site type: %d, node priority: %d, host: %s", site.first, node.first,
                node.second.HostText().c_str());
    }
  }
}

void DiscoveryEventCb(bufferevent* bev, short events, void* argv) {
  static_cast<DiscoveryClient*>(argv)->OnEvent(events);
}

void DiscoveryReadCb(bufferevent* bev, void* argv) { static_cast<DiscoveryClient*>(argv)->OnRead(bev); }

void DiscoveryClient::OnEvent(short events) {
  if ((events & (BEV_EVENT_READING | BEV_EVENT_TIMEOUT)) == (BEV_EVENT_READING | BEV_EVENT_TIMEOUT)) {
    ErrorPrint("Discovery socket READ IDLE!");
  } else if ((events & (BEV_EVENT_WRITING | BEV_EVENT_TIMEOUT)) == (BEV_EVENT_WRITING | BEV_EVENT_TIMEOUT)) {
    ErrorPrint("Discovery socket Write IDLE!");
  } else if (events & BEV_EVENT_ERROR) {
    const int err = errno;
    ErrorPrint("Discovery socket occurs errno: %d, cause: %s", err, strerror(err));
  } else if (events & BEV_EVENT_CONNECTED) {
    InfoPrint("Connect to discovery server successfully! Try to send login request");
    char* frame = nullptr;
    const int len = VentrixMessage::PrepareLoginRequest(
        frame, com::quor::qel::model::VENTRIX_LOGIN_FOR_DISCOVERY, m_curUsedHost.GetServerIp(),
        m_curUsedHost.GetServerPort(), m_user_account, m_passwd, false, GetNewTraceId());
    if (len > 0) {
      bufferevent_write(m_event.get(), frame, static_cast<size_t>(len));
      delete[] frame;
      return;
    }
    delete[] frame;
    // Building the request depends on nothing the host said (a password too
    // long to encode, say): another host would fail the same way.
    ErrorPrint("Prepare login message failed! Login stopped");
    StopLoginCauseFailed();
    CloseSocket();
    return;
  } else if (events & BEV_EVENT_EOF) {
    ErrorPrint("Discovery socket closed by peers");
  } else {
    WarnPrint("Unknow discovery socket event: %d", events);
  }
  ReLoginCauseFailed();
  CloseSocket();
}

void DiscoveryClient::OnRead(bufferevent* bev) {
  evbuffer* input = bufferevent_get_input(bev);
  const size_t available = evbuffer_get_length(input);
  // A response may arrive in pieces: wait until the whole frame is buffered.
  if (available < static_cast<size_t>(MESSAGE_HEADER_LEN)) return;

  char header_bytes[MESSAGE_HEADER_LEN];
  evbuffer_copyout(input, header_bytes, MESSAGE_HEADER_LEN);
  MessageHeader header;
  VentrixMessage::DecodeMsgHeader(header_bytes, header);
  DebugPrint("Decode login rsp success, %s", header.toString().c_str());
  if (header.m_metaLength < 0 || header.m_metaLength > kMaxSectionLength || header.m_payloadLength < 0 ||
      header.m_payloadLength > kMaxSectionLength) {
    ErrorPrint("Read discovery login response header failed! Try to relogin");
    ReLoginCauseFailed();
    CloseSocket();
    return;
  }
  const size_t total = MESSAGE_HEADER_LEN + static_cast<size_t>(header.m_metaLength) +
                       static_cast<size_t>(header.m_payloadLength);
  if (available < total) return;

  std::vector<char> frame(total);
  evbuffer_remove(input, frame.data(), total);
  MetaData meta;
  if (VentrixMessage::DecodeMsgMeatData(frame.data() + MESSAGE_HEADER_LEN, header.m_metaLength, meta) != 0) {
    ErrorPrint("Read discovery login response meta data failed! Try to relogin");
    ReLoginCauseFailed();
    CloseSocket();
    return;
  }
  InfoPrint("Receive discovery login response, meta data: %s", ToLogJson(meta).c_str());
  if (meta.sysmessagetype() != com::quor::qel::model::LOGIN_RESPONSE || meta.qelsysmessagenum() != 1 ||
      meta.traceid() != m_traceId) {
    ErrorPrint("Check discovery login response meta data failed! Try to relogin");
    ReLoginCauseFailed();
    CloseSocket();
    return;
  }

  const char* payload = frame.data() + MESSAGE_HEADER_LEN + header.m_metaLength;
  int32_t body_len = -1;
  if (!ReadResponseBodyLength(payload, header.m_payloadLength, body_len)) {
    ErrorPrint("Read discovery login response body failed! Try to relogin");
    ReLoginCauseFailed();
    CloseSocket();
    return;
  }
  DebugPrint("discovery login response body len: %d", body_len);
  LoginResponse response;
  if (VentrixMessage::DecodeMsgBody(payload + QEL_MSG_LEN_TYPE_SIZE, body_len, response) != 0) {
    // A garbled answer from one host is no verdict on the login: try the next.
    ErrorPrint("Decode discovery login response body failed! Try to relogin");
    ReLoginCauseFailed();
    CloseSocket();
    return;
  }
  InfoPrint("Receive discovery login response, payload: %s", ToLogJson(response).c_str());
  if (response.issuccess()) {
    Handle()->OnLoginDiscoveryResponse(response);
    m_token = response.token();
    UpdateDatafeedNodes(&response.servers());
    StopLoginCauseSuccess();
    CloseSocket();
    InfoPrint("Login discovery server successfully!");
  } else {
    ErrorPrint("Login discovery server successfully, but meet error: %s, please check",
               response.errorcontext().message().c_str());
    StopLoginCauseFailed();
    CloseSocket();
  }
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
