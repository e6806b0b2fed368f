// One site type's connection to the datafeed service: its own thread and
// event loop, node rotation, token login, heartbeats, subscriptions, and the
// stream reader that queues market-data frames for the decompress thread.
//
// Thread-safety: every socket callback, timer and reader call runs on the
// connection's loop thread. TryConnect, Reset, CloseSocket and
// SendSubscribeMsg may be called from any other thread: they are handed to the
// loop thread and return once it has run them, so the states a caller polls
// right afterwards already reflect the call. The two states and the node index
// are atomics.
#ifndef QEL_DATAFEED_CLIENT_CONNECT_THREAD_H
#define QEL_DATAFEED_CLIENT_CONNECT_THREAD_H

#include <openssl/ssl.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SysSubscribe.pb.h"
#include "common/common_def.h"
#include "common/event_handles.h"
#include "common/server_host.h"
#include "message_handle.h"

struct evbuffer;

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::SubscribeRequest;

// Owned by the datafeed client (shared pointer). Owns its thread, event base,
// bufferevent, TLS object and timers; shares the two queues of its site type;
// borrows the handle, the TLS context and the two credential strings.
class SocketConnectThread {
 public:
  enum ConnectState : int32_t {
    NOT_CONNECTED = 0,
    CONNECTING = 1,
    LOGIN_SUCCESS = 2,
    CONNECT_OR_LOGIN_FAILED = 3,
  };
  enum SubscribeState : int32_t {
    NOT_SUBSCRIBE = 0,
    SUBSCRIBING = 1,
    SUBSCRIBE_SUCCESS = 2,
    SUBSCRIBE_FAILED = 3,
  };

  SocketConnectThread(MessageHandle* handle, ServerHostListType& SocketInfo,
                      std::shared_ptr<RawDataQueue> rawDataQueue, std::shared_ptr<RawDataQueueBack> rawDataQueueBack,
                      const std::string& userName, const std::string& pwdOrToken, uint32_t ipPart, SSL_CTX* ssl_ctx);
  ~SocketConnectThread();
  SocketConnectThread(const SocketConnectThread&) = delete;
  SocketConnectThread& operator=(const SocketConnectThread&) = delete;

  // Starts the loop thread and returns once its event loop is ready.
  void Start();
  // Ends the event loop and joins the thread; the socket is freed.
  void Stop();
  void TryConnect();
  void UpdateNodeList(ServerHostListType& dataNodeList);
  // 0, -2405 without a socket; a frame that cannot be built writes nothing
  // and gives -1013 with SUBSCRIBE_FAILED.
  int SendSubscribeMsg(SubscribeRequest* subReq);
  int Reset();
  void CloseSocket();

  const SubscribeResponse& getSubscribeRsp() const { return m_subscribeRsp; }
  std::string getCurrentHostStr() const;
  std::string GetTraceId() const;
  int GetServerIndex() const { return m_serverIndex.load(); }
  int GetSiteType() const { return m_ipPart; }
  // Consecutive heartbeats without an answer; loop-thread value.
  uint32_t GetHeartbeatCount() const { return m_heartbeatCount.load(); }
  // The pause before moving to the next node after a failed login (3 ms);
  // tests and the fuzz target set 0. Set before the connection is used.
  void SetReconnectPauseForTest(int milliseconds) { m_reconnectPauseMs = milliseconds; }

  // Frame cutting and dispatch over the bytes buffered in input; what the
  // bufferevent's read callback runs. Loop thread only (or a test thread on a
  // connection whose loop is not running).
  void ProcessInput(evbuffer* input);

  // Read callback of the connection's bufferevent; user_data is the connection.
  static void ReadCallback(bufferevent* bev, void* user_data);
  static void EventCallback(bufferevent* bev, short events, void* user_data);
  static void SendHeartbeatWrapper(int fd, short what, void* arg);
  // Heartbeat report of one period: kilobytes per second (truncated) and
  // frames per second (integer division) over interval seconds (> 0).
  static void HeartbeatRates(int64_t bytes, int64_t frames, int64_t interval, int32_t& traffic, int32_t& tps);

  std::atomic<ConnectState> m_state{NOT_CONNECTED};
  std::atomic<SubscribeState> m_subscribeState{NOT_SUBSCRIBE};

 private:
  void Run(std::promise<void> ready);
  void ReConnnect();
  int CreateSsl();
  int StartHeartbeat();
  void SendHeartbeat();
  void DoTryConnect();
  void DoCloseSocket();
  int DoReset();
  int DoSendSubscribeMsg(SubscribeRequest* subReq);
  void OnEvent(bufferevent* bev, short events);
  void SendLoginRequest(bufferevent* bev);
  void FatalStreamError(const std::string& message);
  // Returns false when the handler ended the call (socket closed or replaced).
  bool Dispatch(const MetaData& meta, const char* payload, int32_t payloadLength, int16_t flags);
  bool QueueMarketData(const MetaData& meta, const char* payload, int32_t payloadLength, int16_t flags);
  void HandleLoginResponse(const char* payload, int32_t payloadLength);
  bool HandleSubscribeResponse(const char* payload, int32_t payloadLength);
  void SetTraceId(const std::string& traceId);
  // Compares under the trace-id lock without copying the id (per-frame check).
  bool TraceIdMatches(const std::string& traceId) const;

  // Runs fn on the loop thread and waits for it; runs it directly when called
  // on the loop thread or when no loop is running.
  void RunOnLoop(const std::function<void()>& fn);
  static void WakeCallback(int fd, short what, void* arg);
  void RunPendingTasks();
  bool OnLoopThread() const { return std::this_thread::get_id() == m_loopThreadId.load(); }

  MessageHandle* m_handle;
  std::atomic<int32_t> m_serverIndex{0};
  ServerHostVectorType m_serverHostVec;
  EventBasePtr m_base;
  BufferEventPtr m_bev;  // the current socket, plain or TLS; null while closed
  std::thread m_thread;
  mutable std::mutex m_traceIdMutex;  // guards m_traceId
  std::string m_traceId;
  std::vector<char> m_header;  // copy-out area of one frame header
  std::vector<char> m_body;    // copy-out area of one whole frame
  MetaData m_meta;             // metadata of the frame being read; reused so parsing keeps its storage
  const std::string& m_userAccount;
  const std::string& m_pwdOrToken;
  std::shared_ptr<RawDataQueue> m_rawDataQueue;          // this connection is its only producer
  std::shared_ptr<RawDataQueueBack> m_rawDataQueueBack;  // this connection is its only consumer
  int32_t m_ipPart;
  SslPtr m_ssl;                  // TLS object until a bufferevent takes it over
  SSL_CTX* m_ssl_ctx;            // borrowed
  SubscribeResponse m_subscribeRsp;
  std::mutex m_sendMutex;  // held while a subscribe or heartbeat frame is written
  std::atomic<uint32_t> m_heartbeatCount{0};
  EventPtr m_heartbeatEv;
  struct timeval m_heartbeatInterval;
  int64_t m_preHeartbeatSendTime = 0;
  int64_t m_curTime = 0;
  // Received in the current heartbeat period. 64-bit: a busy link can pass
  // more than 2 GiB in one period, and a 32-bit sum would overflow.
  int64_t m_dataSizeInThisPeriod = 0;
  int64_t m_dataCountInThisPeriod = 0;

  std::atomic<int> m_reconnectPauseMs{3};  // pause before the next node after a failed login
  // Hand-over of calling-thread operations to the loop thread.
  std::mutex m_taskMutex;  // guards m_tasks and m_loopAlive
  std::deque<std::function<void()>> m_tasks;
  bool m_loopAlive = false;  // the loop thread owns the event base and runs tasks
  EventPtr m_wakeEv;
  std::atomic<std::thread::id> m_loopThreadId{};
  std::atomic<bool> m_stopRequested{false};
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DATAFEED_CLIENT_CONNECT_THREAD_H
