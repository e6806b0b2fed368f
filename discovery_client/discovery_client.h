// Login to the discovery service: one pass over the master and backup hosts,
// each attempt a short-lived event loop on the calling thread, yielding the
// login token and the datafeed node map.
//
// Thread-safety: a pass and every callback it fires run on the thread that
// calls TryLoginDiscovery (the application's or the daemon's); one pass at a
// time (a concurrent caller gets -1030). The flags are atomics that other
// threads may read; Interrupt may be called from any thread.
#ifndef QEL_DISCOVERY_CLIENT_DISCOVERY_CLIENT_H
#define QEL_DISCOVERY_CLIENT_DISCOVERY_CLIENT_H

#include <google/protobuf/repeated_field.h>
#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "SysLogin.pb.h"
#include "common/event_handles.h"
#include "common/mutex.h"
#include "common/server_host.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::ServerInfo;

void DiscoveryEventCb(bufferevent* bev, short events, void* argv);
void DiscoveryReadCb(bufferevent* bev, void* argv);

// Owned by the TCP client; owns the event base, bufferevent, TLS object and
// events of the attempt in progress (none between attempts). Borrows the
// handle and the TLS context.
class DiscoveryClient {
 public:
  explicit DiscoveryClient(const MessageHandle* handle);
  ~DiscoveryClient();
  DiscoveryClient(const DiscoveryClient&) = delete;
  DiscoveryClient& operator=(const DiscoveryClient&) = delete;

  void RegisterSslCtx(SSL_CTX* ssl_ctx) { m_ssl_ctx = ssl_ctx; }
  void InitParams(const std::string& user_name, const std::string& passwd, bool use_ssl, ServerHost master_host,
                  ServerHostVectorType backup_hosts);

  // One pass over the hosts: 0, -1030 (worth retrying) or -1031 (refused, or
  // a local setup failure).
  int TryLoginDiscovery();
  // One attempt with its own event loop; returns when everything is released.
  // The attempt as a whole (connect, TLS handshake, answer) ends by its
  // deadline, the configured send plus read timeouts, however slowly the
  // host answers.
  void TryConnect(const std::string& ip, const int port);
  int CreateSsl();
  void CloseSocket();
  void FreeBaseEvent();

  std::string& GetNewTraceId();
  std::string& GetCurTraceId() { return m_traceId; }
  const std::string GetUserAccount() { return m_user_account; }
  const std::string GetPasswd() { return m_passwd; }
  const std::string GetToken() { return m_token; }
  void StoreToken(const std::string& token) { m_token = token; }
  const MessageHandle* GetMessageHandle() { return m_handle; }
  ServerHost& GetCurrentUsedHost() { return m_curUsedHost; }
  IdToServerHostMapType& GetDatafeedNodes() { return m_datafeed_node_map; }
  void UpdateDatafeedNodes(const google::protobuf::RepeatedPtrField<ServerInfo>* serverInfoList);

  bool IsConnected() const { return m_is_connected.load(); }
  bool IsNeedReconnect() const { return m_is_need_reconnect.load(); }

  // Outcomes of one attempt.
  void StopLoginCauseSuccess();
  void StopLoginCauseFailed();
  void ReLoginCauseFailed();

  // Pause between two hosts of a pass; 5 seconds unless a test shortens it.
  void SetHostRetryPauseForTest(int seconds) { m_host_retry_pause_s = seconds; }
  // Ends the attempt in progress and the pause between hosts at once, and
  // lets no further host be tried, in this pass or any later one; for the
  // owner's destruction. Any thread.
  void Interrupt();

 private:
  friend void DiscoveryEventCb(bufferevent* bev, short events, void* argv);
  friend void DiscoveryReadCb(bufferevent* bev, void* argv);
  void OnEvent(short events);
  void OnRead(bufferevent* bev);
  static void OnAttemptDeadline(evutil_socket_t, short, void* argv);
  static void OnInterruptEvent(evutil_socket_t, short, void* argv);
  // Adds the attempt's deadline and interrupt events to m_base; false when
  // they cannot be made.
  bool ArmAttemptEvents();
  MessageHandle* Handle() const { return const_cast<MessageHandle*>(m_handle); }

  const MessageHandle* m_handle;
  std::string m_user_account;
  std::string m_passwd;
  std::string m_token;
  std::string m_traceId;
  ServerHostVectorType m_discovery_hosts;
  IdToServerHostMapType m_datafeed_node_map;
  ServerHost m_curUsedHost;
  bool m_use_ssl = false;
  SslPtr m_ssl;                 // TLS object until a bufferevent takes it over
  SSL_CTX* m_ssl_ctx = nullptr;  // borrowed from the TCP client
  std::atomic<bool> m_is_connected{false};
  std::atomic<bool> m_is_checking{false};
  std::atomic<bool> m_is_need_reconnect{true};
  EventBasePtr m_base;     // the attempt's event loop
  BufferEventPtr m_event;  // declared after m_base so it is always freed first
  EventPtr m_deadline;     // the attempt's overall deadline, on m_base
  Mutex m_interrupt_mutex;  // guards m_interrupt_event against Interrupt on another thread
  // Activated by Interrupt to end the running loop from inside; on m_base.
  EventPtr m_interrupt_event GUARDED_BY(m_interrupt_mutex);
  int m_host_retry_pause_s = 5;
  std::mutex m_pause_mutex;  // pairs with m_pause_cv for the pause between hosts
  std::condition_variable m_pause_cv;
  std::atomic<bool> m_interrupted{false};
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DISCOVERY_CLIENT_DISCOVERY_CLIENT_H
