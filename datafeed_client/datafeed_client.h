// Everything between the datafeed node map of a discovery login and the data
// pipeline: the datafeed credentials, one connection per site type, and the
// raw-data queue and back queue of each site type.
//
// Thread-safety: operations run on the calling thread (the application's
// during login and subscription, afterwards the TCP client's daemon and its
// per-site-type recoveries); the connections' loop threads only change the
// states polled here. The pool and the queue maps are guarded by one lock, so
// every walk is over a snapshot; subscriptions are serialised per connection
// (its subscription turn), so that site types never wait for each other;
// Interrupt may be called from any thread.
#ifndef QEL_DATAFEED_CLIENT_DATAFEED_CLIENT_H
#define QEL_DATAFEED_CLIENT_DATAFEED_CLIENT_H

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "SysSubscribe.pb.h"
#include "common/common_def.h"
#include "common/mutex.h"
#include "common/server_host.h"
#include "datafeed_client/connect_thread.h"
#include "disruptor/data_disruptor.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::SubscribeRequest;

// Owned by the TCP client. Owns the connections (shared with callers that
// hold a snapshot) and both queues of every site type; borrows the handle
// and the TLS context.
class DatafeedClient {
 public:
  using ConnectionPtr = std::shared_ptr<SocketConnectThread>;

  explicit DatafeedClient(MessageHandle* handle);
  // Stops every connection first, then releases what is still queued.
  ~DatafeedClient();
  DatafeedClient(const DatafeedClient&) = delete;
  DatafeedClient& operator=(const DatafeedClient&) = delete;

  // Credentials and node map for the next logins. Each running connection
  // gets its own copy of the credentials, so its next login sends the new ones
  // while nothing it reads on its loop thread is written here.
  void Init(const std::string& userName, const std::string& pwdOrToken, const IdToServerHostMapType& serverHostMap);
  void RegisterSslCtx(SSL_CTX* ssl_ctx) { m_ssl_ctx = ssl_ctx; }
  // One started connection (not yet connected) and two new queues per site
  // type of the node map. A repeated Start stops the earlier connections
  // before their queues are replaced.
  void Start();
  void Stop();
  // Connects every site type that is not logged in and waits for the
  // outcome: 0, or -1033 (also when interrupted).
  int TryLoginDatafeed();
  // The same for one site type of the node map; the wait concerns it alone.
  int TryLoginSiteType(int siteType);
  // Sends subReq to every site type and waits for the answers: 0 when every
  // site type accepted it, -1026 (null) or -1040 otherwise. A site type that
  // is not logged in counts as failed; with none at all nothing is sent.
  // Each answer is awaited at most the configured read timeout after its
  // send. Refused (-1040, error line) on a library loop thread: the answer
  // could never be read while that thread waits.
  int TrySubscribe(SubscribeRequest* subReq);
  // The same for one site type; subscriptions of different site types never
  // wait for each other.
  int TrySubscribeSiteType(int siteType, SubscribeRequest* subReq);
  // Gives the existing connections the new node lists; a site type new to
  // the map gets its queues and a started connection; a site type the map no
  // longer lists is stopped and released with its queues.
  void UpdateDatafeedNode();
  // The site types of the node map, in ascending order.
  std::vector<int> SiteTypes() const;
  bool IsLoggedIn(int siteType) const;
  bool IsSubscribed(int siteType) const;
  // The site type's closed connection is still queueing what it received.
  bool IsDraining(int siteType) const;

  std::string GetUserAccount() const {
    MutexLock lock(m_poolMutex);
    return m_userAccount;
  }
  std::string GetPasswd() const {
    MutexLock lock(m_poolMutex);
    return m_pwdOrToken;
  }

  bool isAllConnected() const;
  bool isAllSubscibed() const;
  bool isAnyStillSubscibing() const;
  // Over the site types of the node map; a site type without a connection
  // counts as failed and not logging.
  bool isAnyStillLogging() const;
  bool isAnyLoginFailed() const;
  bool isAnySubscribeFailed() const;

  void ResetAll();
  void ResetSiteType(int siteType);
  void ResetAllNotConnect();
  void CloseSocket();

  // Ends the login and subscription waits in progress and every later one at
  // once; called when the owner is being destroyed. Any thread.
  void Interrupt();
  bool IsInterrupted() const { return m_interrupted.load(); }

  // One entry per site type with a connection, ascending; any thread. The
  // pool lock is held only to list the connections.
  std::vector<SiteTypeStats> GetStats() const;

  // The connection and queues of one site type; null if there are none.
  ConnectionPtr GetConnection(int siteType) const;
  std::shared_ptr<RawDataQueue> GetDataQueue(uint32_t siteType) const;
  std::shared_ptr<RawDataQueueBack> GetDataQueueBack(uint32_t siteType) const;

 private:
  std::vector<ConnectionPtr> Connections() const;
  // The connection of each site type of the node map, null where missing.
  std::vector<ConnectionPtr> MapConnections() const;
  // Creates both queues of siteType and its started connection, under the lock.
  void CreateSiteType(int siteType, ServerHostListType& nodes) REQUIRES(m_poolMutex);
  // Stops the pool's connections of site types the node map no longer lists,
  // then their decompress threads, then drains and releases their queues.
  void DropUnlistedSiteTypes();
  int LoginSiteTypes(const std::vector<int>& siteTypes);
  // Takes and releases each connection's subscription turn over several poll
  // rounds, which the lock analysis cannot follow: every turn taken is
  // released before it returns.
  int SubscribeOn(std::vector<ConnectionPtr> connections, SubscribeRequest* subReq) NO_THREAD_SAFETY_ANALYSIS;
  // Sleeps up to duration; false when interrupted.
  bool WaitFor(std::chrono::milliseconds duration);
  void StopConnections();
  // Stops the decompress threads and their worker pools and releases them,
  // outside the pool lock: a callback still running may call back into this
  // client.
  void StopPipeline();

  MessageHandle* m_handle;
  SSL_CTX* m_ssl_ctx = nullptr;  // borrowed from the TCP client

  mutable Mutex m_poolMutex;  // guards the credentials, the node map, the pool and the two queue maps
  std::string m_userAccount GUARDED_BY(m_poolMutex);
  std::string m_pwdOrToken GUARDED_BY(m_poolMutex);
  IdToServerHostMapType m_serverHostMap GUARDED_BY(m_poolMutex);
  std::unordered_map<int32_t, ConnectionPtr> m_threadPool GUARDED_BY(m_poolMutex);
  RawDataQueueMap m_dataQueue GUARDED_BY(m_poolMutex);
  RawDataQueueBackMap m_dataQueueBack GUARDED_BY(m_poolMutex);
  DecodeLinkMap m_decodeLinks GUARDED_BY(m_poolMutex);  // per raw-data queue
  // The decode side of the queues above: one decompress thread and worker
  // pool per site type. Reads the two maps, which change only under the lock.
  std::unique_ptr<DataDisruptor> m_disruptor GUARDED_BY(m_poolMutex);

  Mutex m_waitMutex;  // pairs with m_waitCv for the interruptible waits
  std::condition_variable m_waitCv;
  std::atomic<bool> m_interrupted{false};
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DATAFEED_CLIENT_DATAFEED_CLIENT_H
