#include "client/ventrix_tcp_client.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "common/event_loop.h"
#include "common/library_threads.h"
#include "common/server_host.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "log/base_log.h"
#include "protocol/message_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

int verify_callback(int ok, X509_STORE_CTX* /*ctx*/) { return ok; }

namespace {

// A try count of 0 would skip a login stage and pass it untried: every login
// stage makes at least one attempt. Read anew at each use.
uint32_t LoginTryCount() { return std::max<uint32_t>(1, BaseConfig::GetInstance().GetLoginTryCount()); }

}  // namespace

class VentrixTcpClient::CallGuard {
 public:
  explicit CallGuard(VentrixTcpClient& client) : m_client(client) {
    MutexLock lock(m_client.m_quit_mutex);
    ++m_client.m_calls_in_flight;
  }
  // Notifies under the lock: once it is released the destructor may run
  // and the client be gone.
  ~CallGuard() {
    MutexLock lock(m_client.m_quit_mutex);
    --m_client.m_calls_in_flight;
    m_client.m_quit_cv.notify_all();
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  VentrixTcpClient& m_client;
};

VentrixTcpClient::VentrixTcpClient(MessageHandle* handle)
    : m_handle(handle),
      m_datafeed_client(new DatafeedClient(handle)),
      m_discovery_client(new DiscoveryClient(handle)) {}

VentrixTcpClient::~VentrixTcpClient() {
  {
    MutexLock lock(m_quit_mutex);
    m_check_quit = true;
  }
  m_quit_cv.notify_all();
  // Every wait below the client ends at once: login and subscription waits,
  // and the pause between discovery hosts.
  m_datafeed_client->Interrupt();
  m_discovery_client->Interrupt();
  {
    // An operation still running on an application thread uses the members
    // below; it returns promptly now that every wait is interrupted.
    MutexLock lock(m_quit_mutex);
    lock.Wait(m_quit_cv, [this] { return m_calls_in_flight.load() == 0; });
  }
  if (m_deamon_thread) {
    m_deamon_thread->join();
    m_deamon_thread.reset();
  }
  m_datafeed_client.reset();
  m_discovery_client.reset();
  m_use_ssl = false;
  m_ssl_ctx.reset();
  m_is_logindiscovery = false;
  MutexLock lock(m_subscribe_mutex);
  m_subcribe_requests.clear();
}

bool VentrixTcpClient::SleepUnlessQuit(std::chrono::milliseconds duration) {
  MutexLock lock(m_quit_mutex);
  return !lock.WaitFor(m_quit_cv, duration, [this] { return m_check_quit.load(); });
}

int VentrixTcpClient::SslEnvInit() {
  if (m_ssl_ctx) return 0;
  const std::string cert_file = BaseConfig::GetInstance().GetSSLCertfolder();
  if (!cert_file.empty()) {
    InfoPrint("cert_folder:%s", cert_file.c_str());
  } else {
    InfoPrint("11cert_folder:%s", cert_file.c_str());
  }
  // The helper logs what failed: the context, or loading the CA file.
  m_ssl_ctx = NewClientSslContext(cert_file);
  if (!m_ssl_ctx) return INIT_SSL_FAILED;
  m_use_ssl = true;
  return 0;
}

bool VentrixTcpClient::LoadCustomCertificate(const std::string& cert_path) {
  if (!m_ssl_ctx) return false;
  if (SSL_CTX_load_verify_locations(m_ssl_ctx.get(), cert_path.c_str(), nullptr) != 1) {
    ErrorPrint("Failed to load verify locations\n");
    ERR_print_errors_fp(stderr);
    return false;
  }
  SSL_CTX_set_verify(m_ssl_ctx.get(), SSL_VERIFY_PEER, verify_callback);
  SSL_CTX_set_verify_depth(m_ssl_ctx.get(), 4);
  return true;
}

int VentrixTcpClient::LoginByServiceDiscovery(const std::string& user, const std::string& pwd_or_token,
                                              const std::string& ip, int port,
                                              std::vector<std::string> backup_list) {
  CallGuard guard(*this);
  MutexLock login(m_login_mutex);
  if (m_deamon_thread) {
    // One daemon per client: a second login would race the first one's.
    ErrorPrint("Already logged in: LoginByServiceDiscovery refused on a client that is logged in");
    return LOGIN_DISCOVERY_FAILED_END;
  }
  ServerHostVectorType backup_hosts;
  for (const std::string& entry : backup_list) {
    ServerHost host(entry);
    if (entry.find(':') == std::string::npos || !IsValidPort(host.GetServerPort())) {
      ErrorPrint("Backup discovery host \"%s\" skipped: not ip:port with a port in 1..65535", entry.c_str());
      continue;
    }
    backup_hosts.push_back(host);
  }
  m_discovery_client->RegisterSslCtx(m_ssl_ctx.get());
  m_discovery_client->InitParams(user, pwd_or_token, m_use_ssl, ServerHost(ip, port, false), backup_hosts);

  const int count = static_cast<int>(LoginTryCount());
  int ret = LOGIN_DISCOVERY_FAILED_NEED_RECONNECT;
  for (int i = 1; i <= count && !m_check_quit; ++i) {
    InfoPrint("=== try to login discovery service [%d/%d] ... ===", i, count);
    ret = m_discovery_client->TryLoginDiscovery();
    if (ret == 0 || ret == LOGIN_DISCOVERY_FAILED_END) break;
    if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetLoginTryInterval())) break;
  }
  if (ret == LOGIN_DISCOVERY_FAILED_END) return ret;
  if (ret != 0) {
    m_discovery_client->CloseSocket();
    return ret;
  }

  m_is_logindiscovery = true;
  m_datafeed_client->Init(user, m_discovery_client->GetToken(), m_discovery_client->GetDatafeedNodes());
  m_datafeed_client->RegisterSslCtx(m_ssl_ctx.get());
  m_datafeed_client->Start();

  ret = LOGIN_DATAFEED_FAILED_END;
  for (int i = 1; i <= count && !m_check_quit; ++i) {
    InfoPrint("Try to login datafeed service [%d/%d]", i, count);
    ret = m_datafeed_client->TryLoginDatafeed();
    if (ret == 0) break;
    ErrorPrint("Login datafeed service failed, ret=%d", ret);
    if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetLoginTryInterval())) break;
  }
  if (ret != 0 || m_check_quit) {
    m_discovery_client->CloseSocket();
    m_datafeed_client->CloseSocket();
    return ret != 0 ? ret : LOGIN_DATAFEED_FAILED_END;
  }
  m_deamon_thread.reset(new std::thread(&VentrixTcpClient::DaemonThreadWorkFunc, this));
  SleepUnlessQuit(m_login_pause);
  return 0;
}

int VentrixTcpClient::SubscribeByDatatype(ESubscribeActionType action_type, SubscribeByDataType data_type) {
  CallGuard guard(*this);
  auto request = new SubscribeRequest();
  request->set_subscribeactiontype(action_type);
  *request->mutable_subscribebydatatype() = data_type;
  return SubscribeWithRetries(request, "SubscribeByDatatype");
}

int VentrixTcpClient::SubscribeById(ESubscribeActionType action_type, com::quor::qel::model::SubscribeById id) {
  CallGuard guard(*this);
  auto request = new SubscribeRequest();
  request->set_subscribeactiontype(action_type);
  *request->mutable_subscribebyid() = id;
  return SubscribeWithRetries(request, "SubscribeById");
}

int VentrixTcpClient::SubscribeWithRetries(SubscribeRequest* raw_request, const char* operation) {
  std::unique_ptr<SubscribeRequest> request(raw_request);
  if (EventLoop::OnAnyLoopThread()) {
    // The answer is read by a loop thread; waiting for it (or sleeping between
    // tries) on one would hold that connection's loop for the whole bound.
    ErrorPrint("%s refused: called from a library thread (a connection callback), which cannot wait for the "
               "answer; subscribe from an application thread",
               operation);
    return SUBSCRIBE_RESPONSE_REJECT;
  }
  InfoPrint("%s, request: %s", operation, ToLogJson(*request).c_str());
  const uint32_t tries = BaseConfig::GetInstance().GetSubscribeTryCount();
  for (uint32_t i = 1; i <= tries && !m_check_quit; ++i) {
    const int ret = Subscribe(request.get(), false);
    if (ret == 0) {
      request.release();  // remembered by Subscribe
      InfoPrint("%s success", operation);
      return 0;
    }
    InfoPrint("%s failed, ret=%d, try again[%u/%u]", operation, ret, i, tries);
    if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetSubscirbeTryInterval())) break;
  }
  WarnPrint("%s failed", operation);
  return SUBSCRIBE_RESPONSE_REJECT;
}

int VentrixTcpClient::Subscribe(SubscribeRequest* sub_request, bool re_subscribe) {
  if (sub_request == nullptr) return INVALID_SUBSCRIBE_INPUT;
  const int ret = m_datafeed_client->TrySubscribe(sub_request);
  if (ret == 0 && !re_subscribe) AddSubscribeRequest(sub_request);
  return ret;
}

void VentrixTcpClient::AddSubscribeRequest(SubscribeRequest* subscribe_message) {
  MutexLock lock(m_subscribe_mutex);
  m_subcribe_requests.emplace_back(subscribe_message);
}

size_t VentrixTcpClient::SubscribeRequestCount() {
  MutexLock lock(m_subscribe_mutex);
  return m_subcribe_requests.size();
}

int VentrixTcpClient::RedoSubscribe(int siteType) {
  // Walked as a snapshot: the application may append meanwhile. Requests are
  // released only at destruction, after the daemon has ended.
  std::vector<SubscribeRequest*> requests;
  {
    MutexLock lock(m_subscribe_mutex);
    for (const auto& request : m_subcribe_requests) requests.push_back(request.get());
  }
  const uint32_t tries = BaseConfig::GetInstance().GetSubscribeTryCount();
  for (SubscribeRequest* request : requests) {
    int ret = SUBSCRIBE_RESPONSE_REJECT;
    for (uint32_t i = 1; i <= tries; ++i) {
      if (m_check_quit) return ret;
      ret = m_datafeed_client->TrySubscribeSiteType(siteType, request);
      if (ret == 0) break;
      if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetSubscirbeTryInterval())) return ret;
    }
    // The site type is reset and all its requests are sent again after its
    // next login, so the rest need not be tried now.
    if (ret != 0) return ret;
  }
  return 0;
}

void VentrixTcpClient::ResubscribeOrReset(int siteType) {
  if (SubscribeRequestCount() == 0 || RedoSubscribe(siteType) == 0 || m_check_quit) return;
  WarnPrint("Resubscription of site type %d failed: it is reset and retried at the next check", siteType);
  m_datafeed_client->ResetSiteType(siteType);
}

void VentrixTcpClient::StartRecovery(int siteType, bool relogin) {
  auto recovery = std::make_unique<SiteRecovery>();
  SiteRecovery* state = recovery.get();
  recovery->thread = std::thread([this, siteType, relogin, state] {
    MarkLibraryThread("qel-recover-" + std::to_string(siteType));
    if (relogin) {
      Reconnect(siteType);
    } else {
      ResubscribeOrReset(siteType);
    }
    state->done = true;
  });
  m_recoveries[siteType] = std::move(recovery);
}

void VentrixTcpClient::ReapRecoveries(bool every) {
  for (auto it = m_recoveries.begin(); it != m_recoveries.end();) {
    if (!every && !it->second->done.load()) {
      ++it;
      continue;
    }
    it->second->thread.join();
    it = m_recoveries.erase(it);
  }
}

void VentrixTcpClient::DaemonThreadWorkFunc() {
  MarkLibraryThread("qel-daemon");
  InfoPrint("=== daemon thread start ===");
  time_t remembered = time(nullptr);
  while (!m_check_quit) {
    const time_t now = time(nullptr);
    if (now < remembered) {
      DebugPrint("Back in time, reset heartbeat time");
      remembered = now;
    }
    // Each site type on its own: one that is still being recovered is left
    // to its recovery, and never holds up the check of the others.
    ReapRecoveries(false);
    const bool anyRemembered = SubscribeRequestCount() > 0;
    for (int siteType : m_datafeed_client->SiteTypes()) {
      if (m_check_quit) break;
      if (m_recoveries.count(siteType) != 0) continue;
      // A closed connection still queueing the frames it received reconnects
      // by itself afterwards; a reset now would drop those frames.
      if (m_datafeed_client->IsDraining(siteType)) continue;
      if (!m_datafeed_client->IsLoggedIn(siteType)) {
        ErrorPrint("In daemon thread, client need reconnect after check, try to close socket");
        InfoPrint("Recovery of site type %d: logging in again", siteType);
        StartRecovery(siteType, true);
      } else if (anyRemembered && !m_datafeed_client->IsSubscribed(siteType)) {
        InfoPrint("In daemon thread, Some datafeed need redo subscibe");
        InfoPrint("Recovery of site type %d: subscribing again", siteType);
        StartRecovery(siteType, false);
      }
    }
    m_daemon_checks_done.fetch_add(1, std::memory_order_release);
    SleepUnlessQuit(BaseConfig::GetInstance().GetDaemonCheckInterval());
  }
  // Every wait of a recovery ends at once now that destruction has begun.
  ReapRecoveries(true);
  InfoPrint("=== daemon thread quit ===");
}

void VentrixTcpClient::Reconnect(int siteType) {
  InfoPrint("Reconnect, try to login datafeed service directly");
  uint64_t relogins_seen = 0;
  {
    MutexLock relogin(m_relogin_mutex);
    relogins_seen = m_discovery_relogins;
  }
  for (uint32_t i = 1; i <= LoginTryCount() && !m_check_quit; ++i) {
    InfoPrint("Retry to login datafeed service [%u/%u]", i, LoginTryCount());
    const int ret = m_datafeed_client->TryLoginSiteType(siteType);
    if (ret == 0) {
      InfoPrint("Relogin datafeed service by pre token successfully! Try to redo subcribe...");
      ResubscribeOrReset(siteType);
      return;
    }
    ErrorPrint("Login datafeed service failed, ret=%d", ret);
    if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetLoginTryInterval())) return;
  }
  if (m_check_quit) return;
  InfoPrint("Reconnect, try to login datafeed service directly failed, try to login discovery service");

  {
    MutexLock relogin(m_relogin_mutex);
    // Another site type's recovery logged in through discovery meanwhile:
    // its token and node map serve this site type too.
    if (m_discovery_relogins == relogins_seen) {
      // No bound on the attempts, but destruction ends the loop. Every failed
      // pass waits the login interval, a refused one too: a refusal repeated at
      // once would only hammer the discovery service.
      for (int attempt = 1;; ++attempt) {
        if (m_check_quit) return;
        InfoPrint("=== try to relogin discovery service [%d] ... ===", attempt);
        if (m_discovery_client->TryLoginDiscovery() == 0) break;
        if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetLoginTryInterval())) return;
      }

      InfoPrint("Reconnect, try to login discovery service directly success, try to login datafeed service again");
      m_datafeed_client->Init(m_discovery_client->GetUserAccount(), m_discovery_client->GetToken(),
                              m_discovery_client->GetDatafeedNodes());
      m_datafeed_client->UpdateDatafeedNode();
      ++m_discovery_relogins;
    }
  }
  const std::vector<int> siteTypes = m_datafeed_client->SiteTypes();
  if (std::find(siteTypes.begin(), siteTypes.end(), siteType) == siteTypes.end()) {
    InfoPrint("Site type %d is no longer served: not logged in again", siteType);
    return;
  }
  for (uint32_t i = 1; i <= LoginTryCount() && !m_check_quit; ++i) {
    InfoPrint("Try to login datafeed service [%u/%u]", i, LoginTryCount());
    const int ret = m_datafeed_client->TryLoginSiteType(siteType);
    if (ret == 0) {
      ResubscribeOrReset(siteType);
      return;
    }
    ErrorPrint("Login datafeed service failed, ret=%d", ret);
    if (!SleepSecondsUnlessQuit(BaseConfig::GetInstance().GetLoginTryInterval())) return;
  }
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
