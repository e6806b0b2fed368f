#include "datafeed_client/datafeed_client.h"

#include <sys/prctl.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "config/base_config.h"
#include "config/error_define.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {

// Sets the calling thread's timer slack to 1 µs for the life of the object,
// so a poll of a few microseconds sleeps that long and not the kernel's
// default 50 µs on top; the caller's own slack is restored afterwards.
class FineTimerSlack {
 public:
  FineTimerSlack() : m_saved(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) { prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0); }
  ~FineTimerSlack() {
    if (m_saved > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_saved), 0, 0, 0);
  }
  FineTimerSlack(const FineTimerSlack&) = delete;
  FineTimerSlack& operator=(const FineTimerSlack&) = delete;

 private:
  int m_saved;
};

}  // namespace

DatafeedClient::DatafeedClient(MessageHandle* handle) : m_handle(handle) {}

DatafeedClient::~DatafeedClient() {
  Interrupt();
  // Connections first: a reader waiting for room in a full raw-data queue is
  // released only by its consumer, so consumers must outlive the producers.
  StopConnections();
  StopPipeline();
  MutexLock lock(m_poolMutex);
  m_threadPool.clear();
  // No producer and no consumer is left: what is still queued is released.
  DrainRawDataQueues(m_dataQueue, m_dataQueueBack);
}

void DatafeedClient::Init(const std::string& userName, const std::string& pwdOrToken,
                          const IdToServerHostMapType& serverHostMap) {
  // Copies first: the arguments may come from another object's members.
  const std::string user = userName;
  const std::string pwd = pwdOrToken;
  MutexLock lock(m_poolMutex);
  m_userAccount = user;
  m_pwdOrToken = pwd;
  if (&serverHostMap != &m_serverHostMap) m_serverHostMap = serverHostMap;
  for (const auto& entry : m_threadPool) entry.second->SetCredentials(user, pwd);
}

void DatafeedClient::CreateSiteType(int siteType, ServerHostListType& nodes) {
  const uint32_t key = static_cast<uint32_t>(siteType);
  auto queue = std::make_shared<RawDataQueue>();
  auto back = std::make_shared<RawDataQueueBack>();
  m_dataQueue[key] = queue;
  m_dataQueueBack[key] = back;
  auto link = std::make_shared<DecodeLink>();
  m_decodeLinks[key] = link;
  auto conn = std::make_shared<SocketConnectThread>(m_handle, nodes, queue, back, m_userAccount, m_pwdOrToken,
                                                    key, m_ssl_ctx, link);
  m_threadPool[siteType] = conn;
  // Returns once the connection's event loop runs, so it can be connected at
  // once: no fixed pause is needed before the first login.
  conn->Start();
}

void DatafeedClient::Start() {
  InfoPrint("Start datafeed client");
  // Earlier connections are stopped before their queues are replaced, so no
  // thread ever works on a queue that is being released.
  StopConnections();
  StopPipeline();
  MutexLock lock(m_poolMutex);
  m_threadPool.clear();
  DrainRawDataQueues(m_dataQueue, m_dataQueueBack);
  for (auto& entry : m_serverHostMap) {
    // A site type's queues take long to create; once the owner is being
    // destroyed no further one is made, so shutdown does not wait for them.
    if (m_interrupted.load()) {
      InfoPrint("Start datafeed client interrupted");
      break;
    }
    CreateSiteType(entry.first, entry.second);
  }
  m_disruptor = std::make_unique<DataDisruptor>(m_handle, m_dataQueue, m_dataQueueBack, &m_decodeLinks);
  m_disruptor->Start();
}

void DatafeedClient::StopPipeline() {
  std::unique_ptr<DataDisruptor> old;
  {
    MutexLock lock(m_poolMutex);
    old = std::move(m_disruptor);
  }
  if (old) old->Stop();
}

void DatafeedClient::StopConnections() {
  for (const ConnectionPtr& conn : Connections()) conn->Stop();
}

void DatafeedClient::Stop() {
  InfoPrint("Stop datafeed client");
  StopConnections();
  StopPipeline();
}

std::vector<DatafeedClient::ConnectionPtr> DatafeedClient::Connections() const {
  MutexLock lock(m_poolMutex);
  std::vector<ConnectionPtr> out;
  out.reserve(m_threadPool.size());
  for (const auto& entry : m_threadPool) out.push_back(entry.second);
  return out;
}

std::vector<SiteTypeStats> DatafeedClient::GetStats() const {
  std::vector<ConnectionPtr> connections = Connections();
  connections.erase(std::remove(connections.begin(), connections.end(), nullptr), connections.end());
  std::sort(connections.begin(), connections.end(),
            [](const ConnectionPtr& a, const ConnectionPtr& b) { return a->GetSiteType() < b->GetSiteType(); });
  std::vector<SiteTypeStats> out(connections.size());
  for (size_t i = 0; i < connections.size(); ++i) connections[i]->FillStats(out[i]);
  return out;
}

std::vector<DatafeedClient::ConnectionPtr> DatafeedClient::MapConnections() const {
  MutexLock lock(m_poolMutex);
  std::vector<ConnectionPtr> out;
  out.reserve(m_serverHostMap.size());
  for (const auto& entry : m_serverHostMap) {
    auto it = m_threadPool.find(entry.first);
    out.push_back(it == m_threadPool.end() ? nullptr : it->second);
  }
  return out;
}

DatafeedClient::ConnectionPtr DatafeedClient::GetConnection(int siteType) const {
  MutexLock lock(m_poolMutex);
  auto it = m_threadPool.find(siteType);
  return it == m_threadPool.end() ? nullptr : it->second;
}

std::shared_ptr<RawDataQueue> DatafeedClient::GetDataQueue(uint32_t siteType) const {
  MutexLock lock(m_poolMutex);
  auto it = m_dataQueue.find(siteType);
  return it == m_dataQueue.end() ? nullptr : it->second;
}

std::shared_ptr<RawDataQueueBack> DatafeedClient::GetDataQueueBack(uint32_t siteType) const {
  MutexLock lock(m_poolMutex);
  auto it = m_dataQueueBack.find(siteType);
  return it == m_dataQueueBack.end() ? nullptr : it->second;
}

void DatafeedClient::Interrupt() {
  {
    MutexLock lock(m_waitMutex);
    m_interrupted = true;
  }
  m_waitCv.notify_all();
}

bool DatafeedClient::WaitFor(std::chrono::milliseconds duration) {
  MutexLock lock(m_waitMutex);
  return !lock.WaitFor(m_waitCv, duration, [this] { return m_interrupted.load(); });
}

std::vector<int> DatafeedClient::SiteTypes() const {
  MutexLock lock(m_poolMutex);
  std::vector<int> out;
  out.reserve(m_serverHostMap.size());
  for (const auto& entry : m_serverHostMap) out.push_back(entry.first);
  return out;
}

bool DatafeedClient::IsLoggedIn(int siteType) const {
  const ConnectionPtr conn = GetConnection(siteType);
  return conn && conn->m_state.load() == SocketConnectThread::LOGIN_SUCCESS;
}

bool DatafeedClient::IsSubscribed(int siteType) const {
  const ConnectionPtr conn = GetConnection(siteType);
  return conn && conn->m_subscribeState.load() == SocketConnectThread::SUBSCRIBE_SUCCESS;
}

bool DatafeedClient::IsDraining(int siteType) const {
  const ConnectionPtr conn = GetConnection(siteType);
  return conn && conn->IsDraining();
}

int DatafeedClient::TryLoginDatafeed() { return LoginSiteTypes(SiteTypes()); }

int DatafeedClient::TryLoginSiteType(int siteType) { return LoginSiteTypes({siteType}); }

int DatafeedClient::LoginSiteTypes(const std::vector<int>& siteTypes) {
  if (siteTypes.empty()) return LOGIN_DATAFEED_FAILED_END;
  // A site type left without a connection (a start cut short by shutdown,
  // or dropped from the node map meanwhile) is a failed login, never a success.
  std::vector<ConnectionPtr> connections;
  for (int siteType : siteTypes) connections.push_back(GetConnection(siteType));
  for (const ConnectionPtr& conn : connections) {
    if (!conn || conn->m_state.load() == SocketConnectThread::LOGIN_SUCCESS) continue;
    conn->Reset();
    conn->TryConnect();
  }
  // Every attempt has its own deadline (the connection's login deadline) and
  // each failure moves to the next node, so the wait ends; destruction ends it
  // at once. A connection dropped from the pool meanwhile is no longer waited for.
  auto stillLogging = [this, &siteTypes, &connections] {
    for (size_t i = 0; i < connections.size(); ++i) {
      const ConnectionPtr& conn = connections[i];
      if (conn && conn->m_state.load() == SocketConnectThread::CONNECTING && GetConnection(siteTypes[i]) == conn) {
        return true;
      }
    }
    return false;
  };
  const auto poll = std::chrono::milliseconds(10);
  int polls = 0;
  while (stillLogging()) {
    if (!WaitFor(poll)) return LOGIN_DATAFEED_FAILED_END;
    if (++polls % 100 == 0) InfoPrint("Watting for successful login to all datafeed service");
  }
  for (size_t i = 0; i < connections.size(); ++i) {
    const ConnectionPtr& conn = connections[i];
    if (!conn || conn->m_state.load() != SocketConnectThread::LOGIN_SUCCESS ||
        GetConnection(siteTypes[i]) != conn) {
      m_handle->OnLoginDataServiceFailed();
      return LOGIN_DATAFEED_FAILED_END;
    }
  }
  m_handle->OnLoginDataServiceSuccess();
  return 0;
}

int DatafeedClient::TrySubscribe(SubscribeRequest* subReq) { return SubscribeOn(Connections(), subReq); }

int DatafeedClient::TrySubscribeSiteType(int siteType, SubscribeRequest* subReq) {
  const ConnectionPtr conn = GetConnection(siteType);
  std::vector<ConnectionPtr> connections;
  if (conn) connections.push_back(conn);
  return SubscribeOn(std::move(connections), subReq);
}

int DatafeedClient::SubscribeOn(std::vector<ConnectionPtr> connections, SubscribeRequest* subReq) {
  if (subReq == nullptr) return INVALID_SUBSCRIBE_INPUT;
  if (EventLoop::OnAnyLoopThread()) {
    ErrorPrint("Subscription refused: called from a library thread (a connection callback), which cannot wait for "
               "the answer it would have to read; subscribe from an application thread");
    return SUBSCRIBE_RESPONSE_REJECT;
  }
  if (connections.empty()) {
    WarnPrint("No datafeed connection, subscribe request not sent");
    return SUBSCRIBE_RESPONSE_REJECT;
  }
  // Each connection is taken in its own turn: a site type whose previous
  // subscription still waits for its answer delays only itself. A turn held
  // elsewhere is waited for at most one bound (the holder's own wait ends
  // within it); an answer at most one bound after its send.
  enum class Step { kWaitingTurn, kSent, kDone };
  struct Attempt {
    ConnectionPtr conn;
    Step step = Step::kWaitingTurn;
    bool success = false;
    SubscribeResponse response;
    std::chrono::steady_clock::time_point sentAt;
  };
  std::vector<Attempt> attempts(connections.size());
  for (size_t i = 0; i < connections.size(); ++i) attempts[i].conn = std::move(connections[i]);

  FineTimerSlack slack;
  const uint32_t boundSeconds = std::max<uint32_t>(1, BaseConfig::GetInstance().GetReadTimeout());
  const auto bound = std::chrono::seconds(boundSeconds);
  const auto start = std::chrono::steady_clock::now();
  size_t pending = attempts.size();
  while (pending > 0) {
    const bool interrupted = m_interrupted.load();
    const auto now = std::chrono::steady_clock::now();
    for (Attempt& attempt : attempts) {
      SocketConnectThread& conn = *attempt.conn;
      if (attempt.step == Step::kWaitingTurn) {
        if (interrupted || now - start >= bound) {
          if (!interrupted) {
            ErrorPrint("Subscribe request not sent to site type %d: an earlier subscription held it for %u seconds",
                       conn.GetSiteType(), boundSeconds);
          }
          attempt.step = Step::kDone;
          --pending;
          continue;
        }
        if (!conn.m_subscribeTurn.TryLock()) continue;
        if (conn.m_state.load() != SocketConnectThread::LOGIN_SUCCESS || conn.SendSubscribeMsg(subReq) != 0) {
          if (conn.m_state.load() != SocketConnectThread::LOGIN_SUCCESS) {
            WarnPrint("Datafeed node not connect, dont send subscribe request to this service ");
          }
          conn.m_subscribeTurn.Unlock();
          attempt.step = Step::kDone;
          --pending;
          continue;
        }
        attempt.step = Step::kSent;
        attempt.sentAt = now;
        continue;
      }
      if (attempt.step != Step::kSent) continue;
      const SocketConnectThread::SubscribeState state = conn.m_subscribeState.load();
      if (state == SocketConnectThread::SUBSCRIBING) {
        // A node that never answers must not hold the caller (or the daemon)
        // forever: after the bound its subscription counts as failed.
        if (!interrupted && now - attempt.sentAt < bound) continue;
        auto expected = SocketConnectThread::SUBSCRIBING;
        if (conn.m_subscribeState.compare_exchange_strong(expected, SocketConnectThread::SUBSCRIBE_FAILED) &&
            !interrupted) {
          ErrorPrint("No subscribe response from site type %d within %u seconds", conn.GetSiteType(), boundSeconds);
        }
      } else if (state == SocketConnectThread::SUBSCRIBE_SUCCESS) {
        // Copied while the turn is held: the next subscription replaces it.
        attempt.success = true;
        attempt.response = conn.getSubscribeRsp();
      }
      conn.m_subscribeTurn.Unlock();
      attempt.step = Step::kDone;
      --pending;
    }
    if (pending > 0) std::this_thread::sleep_for(BaseConfig::GetInstance().GetThreadIdleSleepTime());
  }
  bool anyFailed = false;
  for (const Attempt& attempt : attempts) {
    if (attempt.success) {
      m_handle->OnSubscribeResponse(attempt.response);
    } else {
      anyFailed = true;
    }
  }
  return anyFailed ? SUBSCRIBE_RESPONSE_REJECT : 0;
}

void DatafeedClient::UpdateDatafeedNode() {
  DropUnlistedSiteTypes();
  MutexLock lock(m_poolMutex);
  for (auto& entry : m_serverHostMap) {
    const int siteType = entry.first;
    auto conn = m_threadPool.find(siteType);
    if (conn != m_threadPool.end() && m_dataQueue.count(static_cast<uint32_t>(siteType)) != 0) {
      conn->second->UpdateNodeList(entry.second);
      continue;
    }
    if (conn != m_threadPool.end()) {
      // Stopped before its queues are replaced (see Start).
      conn->second->Stop();
      m_threadPool.erase(conn);
    }
    CreateSiteType(siteType, entry.second);
    // A site type first seen in this login gets its own decompress thread.
    if (m_disruptor) m_disruptor->AddSiteType(static_cast<uint32_t>(siteType));
  }
}

void DatafeedClient::DropUnlistedSiteTypes() {
  std::vector<std::pair<int, ConnectionPtr>> dropped;
  // Replaced only by Start and released by Stop and the destructor, none of
  // which runs while the daemon (the caller here) does.
  DataDisruptor* disruptor = nullptr;
  {
    MutexLock lock(m_poolMutex);
    disruptor = m_disruptor.get();
    for (auto it = m_threadPool.begin(); it != m_threadPool.end();) {
      if (m_serverHostMap.count(it->first) != 0) {
        ++it;
        continue;
      }
      dropped.emplace_back(it->first, it->second);
      it = m_threadPool.erase(it);
    }
  }
  if (dropped.empty()) return;
  // The same order as shutdown: producer, then consumer, then the queues.
  // Both stop outside the lock: a callback still running may call back into
  // this client.
  for (const auto& entry : dropped) {
    InfoPrint("Site type %d is no longer in the datafeed node map: its connection is stopped and removed", entry.first);
    entry.second->Stop();
    if (disruptor != nullptr) disruptor->RemoveSiteType(static_cast<uint32_t>(entry.first));
  }
  MutexLock lock(m_poolMutex);
  for (const auto& entry : dropped) {
    const uint32_t key = static_cast<uint32_t>(entry.first);
    RawDataQueueMap queues;
    RawDataQueueBackMap backs;
    auto queue = m_dataQueue.find(key);
    if (queue != m_dataQueue.end()) {
      queues.insert(*queue);
      m_dataQueue.erase(queue);
    }
    auto back = m_dataQueueBack.find(key);
    if (back != m_dataQueueBack.end()) {
      backs.insert(*back);
      m_dataQueueBack.erase(back);
    }
    m_decodeLinks.erase(key);
    // No producer and no consumer is left: what is still queued is released.
    DrainRawDataQueues(queues, backs);
  }
}

bool DatafeedClient::isAllConnected() const {
  for (const ConnectionPtr& conn : Connections()) {
    if (conn->m_state.load() != SocketConnectThread::LOGIN_SUCCESS) return false;
  }
  return true;
}

bool DatafeedClient::isAllSubscibed() const {
  for (const ConnectionPtr& conn : Connections()) {
    if (conn->m_subscribeState.load() != SocketConnectThread::SUBSCRIBE_SUCCESS) return false;
  }
  return true;
}

bool DatafeedClient::isAnyStillSubscibing() const {
  for (const ConnectionPtr& conn : Connections()) {
    if (conn->m_subscribeState.load() == SocketConnectThread::SUBSCRIBING) return true;
  }
  return false;
}

bool DatafeedClient::isAnyStillLogging() const {
  for (const ConnectionPtr& conn : MapConnections()) {
    if (conn && conn->m_state.load() == SocketConnectThread::CONNECTING) return true;
  }
  return false;
}

bool DatafeedClient::isAnyLoginFailed() const {
  for (const ConnectionPtr& conn : MapConnections()) {
    if (!conn || conn->m_state.load() == SocketConnectThread::CONNECT_OR_LOGIN_FAILED) return true;
  }
  return false;
}

bool DatafeedClient::isAnySubscribeFailed() const {
  for (const ConnectionPtr& conn : MapConnections()) {
    if (!conn || conn->m_subscribeState.load() != SocketConnectThread::SUBSCRIBE_SUCCESS) return true;
  }
  return false;
}

void DatafeedClient::ResetAll() {
  for (const ConnectionPtr& conn : Connections()) conn->Reset();
}

void DatafeedClient::ResetSiteType(int siteType) {
  const ConnectionPtr conn = GetConnection(siteType);
  if (conn) conn->Reset();
}

void DatafeedClient::ResetAllNotConnect() {
  for (const ConnectionPtr& conn : Connections()) {
    if (conn->m_state.load() != SocketConnectThread::LOGIN_SUCCESS) conn->Reset();
  }
}

void DatafeedClient::CloseSocket() {
  for (const ConnectionPtr& conn : Connections()) conn->CloseSocket();
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
