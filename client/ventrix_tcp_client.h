// The one client: TLS context, discovery login, datafeed login and
// subscriptions with their retries, and the daemon thread that keeps the
// datafeed connections logged in and subscribed.
//
// Thread-safety: the operations of ClientInterface are called from the
// application's threads, the daemon runs on its own thread and recovers each
// site type on a thread of its own; subscriptions of all of them are
// serialised per site type by the datafeed client. Destruction (through
// ClientFactory::Uninstance) ends every wait at once: all sleeps wait on one
// condition that the destructor signals, and it waits for operations still
// running on application threads to return before anything is released.
#ifndef QEL_CLIENT_VENTRIX_TCP_CLIENT_H
#define QEL_CLIENT_VENTRIX_TCP_CLIENT_H

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SysSubscribe.pb.h"
#include "client_interface.h"
#include "common/event_handles.h"
#include "common/mutex.h"
#include "datafeed_client/datafeed_client.h"
#include "discovery_client/discovery_client.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::SubscribeRequest;

// Installed as the TLS verification callback: OpenSSL's own verdict stands.
int verify_callback(int ok, X509_STORE_CTX* ctx);

// Owned by the factory. Owns the daemon thread, the TLS context, the
// discovery and datafeed clients and the remembered requests; borrows the
// handle.
class VentrixTcpClient : public ClientInterface {
 public:
  explicit VentrixTcpClient(MessageHandle* handle);
  ~VentrixTcpClient() override;
  VentrixTcpClient(const VentrixTcpClient&) = delete;
  VentrixTcpClient& operator=(const VentrixTcpClient&) = delete;

  // Creates the TLS context from the configured CA file: 0 or -2402.
  int SslEnvInit();
  bool LoadCustomCertificate(const std::string& cert_path);

  int LoginByServiceDiscovery(const std::string& user, const std::string& pwd_or_token, const std::string& ip,
                              int port, std::vector<std::string> backup_list) override;
  int SubscribeByDatatype(ESubscribeActionType action_type, SubscribeByDataType data_type) override;
  int SubscribeById(ESubscribeActionType action_type, com::quor::qel::model::SubscribeById id) override;

  // One attempt on every site type; a success is remembered unless
  // re_subscribe. Takes ownership of sub_request only when it is remembered.
  int Subscribe(SubscribeRequest* sub_request, bool re_subscribe);
  void AddSubscribeRequest(SubscribeRequest* subscribe_message);
  // Sends every remembered request again to one site type: 0, or the code
  // of the first request that failed every try (the rest are not sent).
  int RedoSubscribe(int siteType);
  void DaemonThreadWorkFunc();
  // Logs one site type in again (through discovery when its token no longer
  // serves) and resubscribes it; resets it when the resubscription fails.
  void Reconnect(int siteType);

  bool IsUseSsl() const { return m_use_ssl; }
  size_t SubscribeRequestCount();

  // The pause after a successful login before it returns (5 seconds);
  // tests shorten it. Set before logging in.
  void SetLoginPauseForTest(std::chrono::milliseconds pause) { m_login_pause = pause; }
  DiscoveryClient* GetDiscoveryClient() { return m_discovery_client.get(); }
  // Daemon checks completed since login (read from any thread): a caller that
  // changes the peers' behaviour can first wait for the check that follows login.
  uint64_t DaemonChecksDone() const { return m_daemon_checks_done.load(std::memory_order_acquire); }
  DatafeedClient* GetDatafeedClient() { return m_datafeed_client.get(); }

 private:
  // Waits up to duration; false once destruction has begun.
  bool SleepUnlessQuit(std::chrono::milliseconds duration);
  bool SleepSecondsUnlessQuit(uint32_t seconds) { return SleepUnlessQuit(std::chrono::seconds(seconds)); }
  int SubscribeWithRetries(SubscribeRequest* request, const char* operation);
  // Resends the remembered requests to a site type that has just logged in;
  // a failure resets that site type alone, for the next check to retry it.
  void ResubscribeOrReset(int siteType);
  // Starts the recovery of a site type on its own thread (Reconnect when
  // relogin, else the resubscription alone). Daemon thread only.
  void StartRecovery(int siteType, bool relogin);
  // Joins the recoveries that ended (all of them when every is set, which
  // waits for those still at work). Daemon thread only.
  void ReapRecoveries(bool every);
  // Counts an application call in progress; destruction waits for none left.
  class CallGuard;

  std::atomic<bool> m_check_quit{false};
  std::unique_ptr<std::thread> m_deamon_thread;
  // At most one recovery per site type, each on its own thread, so that one
  // site type's stuck login or unanswered subscription never delays another
  // site type's recovery. Owned and joined by the daemon thread.
  struct SiteRecovery {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::map<int, std::unique_ptr<SiteRecovery>> m_recoveries;
  // One discovery relogin at a time: recoveries of several site types may
  // want one together, and the first one's fresh token serves them all.
  Mutex m_relogin_mutex;
  uint64_t m_discovery_relogins GUARDED_BY(m_relogin_mutex) = 0;  // completed relogins
  Mutex m_subscribe_mutex;  // guards m_subcribe_requests
  std::vector<std::unique_ptr<SubscribeRequest>> m_subcribe_requests GUARDED_BY(m_subscribe_mutex);
  MessageHandle* m_handle;
  bool m_use_ssl = false;
  SslCtxPtr m_ssl_ctx;
  std::unique_ptr<DatafeedClient> m_datafeed_client;
  std::unique_ptr<DiscoveryClient> m_discovery_client;
  std::atomic<bool> m_is_logindiscovery{false};
  std::atomic<uint64_t> m_daemon_checks_done{0};  // passes of the daemon loop that ended

  Mutex m_quit_mutex;  // pairs with m_quit_cv; m_check_quit and m_calls_in_flight change under it
  std::condition_variable m_quit_cv;  // signalled when m_check_quit is set and when a call ends
  std::atomic<int> m_calls_in_flight{0};  // application calls inside the client
  Mutex m_login_mutex;  // one LoginByServiceDiscovery at a time
  std::chrono::milliseconds m_login_pause{5000};
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_CLIENT_VENTRIX_TCP_CLIENT_H
