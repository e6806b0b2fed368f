// One site type's connection to the datafeed service: its own thread and
// event loop, node rotation, token login, heartbeats, subscriptions, and the
// stream reader that queues market-data frames for the decompress thread.
//
// Thread-safety: every socket callback, timer and reader call runs on the
// connection's loop thread. TryConnect, Reset, CloseSocket, UpdateNodeList and
// SendSubscribeMsg may be called from any other thread: they are handed to the
// loop thread (common/event_loop.h) and return once it has run them, so the
// states a caller polls right afterwards already reflect the call. The two
// states and the node index are atomics.
//
// Lifetime: the owner holds the connection by std::shared_ptr and stops it
// from its own thread. Stop from one of the connection's callbacks (its loop
// thread) is refused with an error line. Releasing the last reference from
// one of its callbacks is reported with an error line and is survived: the
// callback keeps the connection alive until it returns, and the loop then
// ends by itself.
//
// A node that closes, or a socket that fails, loses nothing already sent:
// the complete frames still unread are queued (as the decode thread makes
// room) before the connection moves to the next node.
//
// Memory: market-data payloads in flight (queued for, or held by, the decode
// thread) are bounded by BaseConfig::GetMaxInflightBytes() and by the queue's
// slots. When either is exhausted the connection stops reading its socket
// (TCP then holds the node back) and a timer on the loop thread resumes
// reading once the decode thread has handed buffers back; heartbeats, timers
// and handed-over calls go on meanwhile.
//
// Sequence: each market-data frame's ChannelIndex is checked against the next
// index expected on its channel as the frame is taken from the stream; a jump
// forward and a repeated or earlier index each log one warning line and are
// counted (GetGapStats). Expectations start over at each successful login.
#ifndef QEL_DATAFEED_CLIENT_CONNECT_THREAD_H
#define QEL_DATAFEED_CLIENT_CONNECT_THREAD_H

#include <openssl/ssl.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "SysSubscribe.pb.h"
#include "client_stats.h"
#include "common/common_def.h"
#include "common/event_handles.h"
#include "common/event_loop.h"
#include "common/mutex.h"
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
// borrows the handle and the TLS context; keeps its own copy of the credentials.
class SocketConnectThread : public std::enable_shared_from_this<SocketConnectThread> {
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
                      const std::string& userName, const std::string& pwdOrToken, uint32_t ipPart, SSL_CTX* ssl_ctx,
                      std::shared_ptr<DecodeLink> decodeLink = nullptr);
  ~SocketConnectThread();
  SocketConnectThread(const SocketConnectThread&) = delete;
  SocketConnectThread& operator=(const SocketConnectThread&) = delete;

  // Starts the loop thread and returns once its event loop is ready.
  void Start();
  // Ends the event loop and joins the thread; the socket is freed. Refused
  // (error line, nothing done) when called on the connection's loop thread.
  void Stop();
  void TryConnect();
  // Takes the new nodes (ports outside 1..65535 refused) and restarts the
  // rotation at the first of them; the current socket is left as it is.
  void UpdateNodeList(ServerHostListType& dataNodeList);
  // Replaces the credentials the next login sends (any thread).
  void SetCredentials(const std::string& userName, const std::string& pwdOrToken);
  // 0, -2405 without a socket; a frame that cannot be built writes nothing
  // and gives -1013 with SUBSCRIBE_FAILED.
  int SendSubscribeMsg(SubscribeRequest* subReq);
  int Reset();
  void CloseSocket();

  // A copy of the last subscribe response, taken under its lock.
  SubscribeResponse getSubscribeRsp() const;
  std::string getCurrentHostStr() const;
  std::string GetTraceId() const;
  int GetServerIndex() const { return m_serverIndex.load(); }
  int GetSiteType() const { return m_ipPart; }
  // Consecutive heartbeats without an answer; loop-thread value.
  uint32_t GetHeartbeatCount() const { return m_heartbeatCount.load(); }
  // The pause before moving to the next node after a failed login (3 ms);
  // tests and the fuzz target set 0. Set before the connection is used.
  void SetReconnectPauseForTest(int milliseconds) { m_reconnectPauseMs = milliseconds; }
  // Payload bytes handed to the decode thread and not yet handed back.
  int64_t GetInflightBytes() const { return m_inflightBytes.load(); }
  // Charge of this site type's decoded records not yet released (0 without a decode link).
  int64_t HeldRecordBytes() const {
    return m_decodeLink ? m_decodeLink->heldRecordBytes.load(std::memory_order_relaxed) : 0;
  }
  // True while reading is paused because the decode thread is behind.
  bool IsReadPaused() const { return m_readPaused.load(); }
  // True while a closed connection still hands its buffered frames to the
  // decode thread; it reconnects by itself once they are all queued.
  bool IsDraining() const { return m_peerGone.load(); }

  // Sequence breaks in the market-data frames taken by this connection since
  // it was made (every login included). Any thread; never waits.
  struct GapStats {
    int64_t gaps = 0;                     // jumps forward past a channel's expected index
    int64_t frames_missing = 0;           // indexes those jumps passed over
    int64_t duplicates_or_backwards = 0;  // frames whose index was already seen or came back
  };
  GapStats GetGapStats() const;
  // This site type's statistics: the connection's counters, its decode
  // link's and its raw-data queue's. Any thread; atomic loads only, plus the
  // node list's lock for the node's name (never taken by the frame path).
  void FillStats(SiteTypeStats& out) const;

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
  // Held by the one caller whose subscription is under way on this connection
  // (from the send to the answer or its deadline): the connection has one
  // subscribe state and one trace id. Taken by the datafeed client only.
  Mutex m_subscribeTurn;

 private:
  void ReConnnect();
  int CreateSsl();
  int StartHeartbeat();
  void SendHeartbeat();
  void DoTryConnect();
  // The deadline of the login attempt under way: the read timeout (at least
  // 1 s) from the connect on; when it passes before the login answer, the
  // attempt moves to the next node like any failed one. Loop thread only.
  void ArmLoginDeadline();
  void CancelLoginDeadline();
  static uint32_t LoginDeadlineSeconds();
  static void LoginDeadlineCallback(evutil_socket_t fd, short what, void* arg);
  // True when it ended a pending subscription (now SUBSCRIBE_FAILED).
  bool DoCloseSocket(ConnectState closedState = CONNECT_OR_LOGIN_FAILED);
  void DoUpdateNodeList(const ServerHostListType& dataNodeList);
  // The valid nodes of a node map, greatest priority first; others logged.
  ServerHostVectorType ValidNodes(const ServerHostListType& dataNodeList) const;
  int DoReset();
  int DoSendSubscribeMsg(SubscribeRequest* subReq);
  void OnEvent(bufferevent* bev, short events);
  void SendLoginRequest(bufferevent* bev);
  void FatalStreamError(const std::string& message);
  // ProcessInput's loop over the whole frames buffered in input.
  void ProcessFrames(evbuffer* input);
  // Returns false when the handler ended the call (socket closed or replaced).
  bool Dispatch(const MetaData& meta, const char* payload, int32_t payloadLength, int16_t flags);
  bool QueueMarketData(const MetaData& meta, const char* payload, int32_t payloadLength, int16_t flags);
  // Checks a taken frame's index against its channel's expectation: one hash
  // lookup when it is the expected one.
  void CheckSequence(int32_t channel, int64_t index);
  // A frame off its channel's expectation: logs and counts it.
  void ReportSequenceBreak(int32_t channel, int64_t expected, int64_t index);
  // Releases every used payload buffer the decode thread has handed back.
  void ReleaseReturnedBuffers();
  bool MustHoldBack(uint32_t payloadLength, bool queueFull) const;
  void PauseReading(uint32_t payloadLength, bool queueFull);
  // The socket is closed or replaced: no pause and no drain outlives it.
  void EndPause();
  // Reading goes on: the decode thread has caught up.
  void FinishPause();
  // Stops the resume timer and clears the pause flag.
  void StopPause();
  // The node closed the connection or its socket failed (OnEvent): every
  // complete frame it sent and the connection has not yet queued (in the
  // input buffer, and in the kernel when reading was held back) is queued
  // first, as the decode thread makes room; then ReConnnect.
  void DeliverThenReconnect(short events);
  // One step of that drain: queue what fits, read on while the kernel may
  // hold more, reconnect once a read found the end and no whole frame is left.
  void ContinueDrain();
  static void ResumeCallback(evutil_socket_t fd, short what, void* arg);
  void OnResume();
  void HandleLoginResponse(const char* payload, int32_t payloadLength);
  bool HandleSubscribeResponse(const char* payload, int32_t payloadLength);
  void SetTraceId(const std::string& traceId);
  // Compares under the trace-id lock without copying the id (per-frame check).
  bool TraceIdMatches(const std::string& traceId) const;

  // Runs fn on the loop thread and waits for it (see EventLoop::Call).
  template <typename F>
  auto RunOnLoop(F fn) -> decltype(fn()) {
    return m_loop.Call(std::move(fn));
  }

  MessageHandle* m_handle;
  std::atomic<int32_t> m_serverIndex{0};
  // Taken by the loop thread to write m_serverHostVec and by other threads to
  // read it; the loop thread's own reads need no lock, so it is not GUARDED_BY.
  mutable Mutex m_nodesMutex;
  ServerHostVectorType m_serverHostVec;
  BufferEventPtr m_bev;  // the current socket, plain or TLS; null while closed
  mutable Mutex m_traceIdMutex;
  std::string m_traceId GUARDED_BY(m_traceIdMutex);
  std::vector<char> m_header;  // copy-out area of one frame header
  std::vector<char> m_body;    // copy-out area of one whole frame
  MetaData m_meta;             // metadata of the frame being read; reused so parsing keeps its storage
  // The login credentials: written by the datafeed client after a new
  // discovery login (any thread), read by the loop thread for each login.
  mutable Mutex m_credentialsMutex;
  std::string m_userAccount GUARDED_BY(m_credentialsMutex);
  std::string m_pwdOrToken GUARDED_BY(m_credentialsMutex);
  std::shared_ptr<RawDataQueue> m_rawDataQueue;          // this connection is its only producer
  std::shared_ptr<RawDataQueueBack> m_rawDataQueueBack;  // this connection is its only consumer
  std::shared_ptr<DecodeLink> m_decodeLink;  // wakes the decoder, holds its records' charge; may be null
  int32_t m_ipPart;
  SslPtr m_ssl;                  // TLS object until a bufferevent takes it over
  SSL_CTX* m_ssl_ctx;            // borrowed
  mutable Mutex m_subscribeRspMutex;
  SubscribeResponse m_subscribeRsp GUARDED_BY(m_subscribeRspMutex);
  Mutex m_sendMutex;  // held while a subscribe or heartbeat frame is written
  std::atomic<uint32_t> m_heartbeatCount{0};
  EventPtr m_heartbeatEv;
  EventPtr m_loginDeadlineEv;  // pending while a login attempt is under way
  struct timeval m_heartbeatInterval;
  int64_t m_preHeartbeatSendTime = 0;
  int64_t m_curTime = 0;
  // Received in the current heartbeat period. 64-bit: a busy link can pass
  // more than 2 GiB in one period, and a 32-bit sum would overflow.
  int64_t m_dataSizeInThisPeriod = 0;
  int64_t m_dataCountInThisPeriod = 0;

  std::atomic<int> m_reconnectPauseMs{3};  // pause before the next node after a failed login

  // Payload buffers handed to the decode thread, oldest first, with their
  // sizes: the budget's book. Loop thread only.
  std::deque<std::pair<const char*, uint32_t>> m_inflight;
  std::atomic<int64_t> m_inflightBytes{0};  // sum of m_inflight's sizes; written on the loop thread
  std::atomic<bool> m_readPaused{false};    // reading stopped by the budget or a full queue
  uint32_t m_heldPayloadLength = 0;         // payload length of the frame that could not be queued
  bool m_resumeArmed = false;               // the resume timer is pending
  EventPtr m_resumeEv;                      // polls the decode thread's progress while paused
  // A closed connection being drained (DeliverThenReconnect); cleared with the
  // socket (EndPause). Loop thread only. A drain waits for the decode thread
  // as a pause does: Stop, Reset or CloseSocket end it at any time.
  std::atomic<bool> m_peerGone{false};  // the node's end is closed or the socket failed; written on the loop thread
  bool m_inputEnded = false;  // a read found the end: nothing more will come in

  // Next index expected per channel, with the login it belongs to: an entry
  // of an earlier login starts over, so a login keeps the map's storage.
  // Loop thread only.
  struct ChannelSequence {
    int64_t next = 0;
    uint32_t login = 0;  // 0: no frame yet
  };
  std::unordered_map<int32_t, ChannelSequence> m_channelSequence;
  uint32_t m_sequenceLogin = 1;  // bumped at each successful login
  // GetGapStats' counters: written on the loop thread only, read anywhere (relaxed).
  std::atomic<int64_t> m_sequenceGaps{0};
  std::atomic<int64_t> m_framesMissing{0};
  std::atomic<int64_t> m_indexRepeats{0};
  // FillStats' counters and gauges: written on the loop thread only, read anywhere (relaxed).
  std::atomic<uint64_t> m_framesReceived{0};    // market-data frames queued
  std::atomic<uint64_t> m_bytesReceived{0};     // wire bytes of every frame taken from the input
  std::atomic<uint64_t> m_readerPauses{0};      // pauses begun
  std::atomic<uint64_t> m_logins{0};            // successful logins
  std::atomic<int64_t> m_lastFrameNs{0};        // Unix ns of the last read that queued a frame
  std::atomic<uint64_t> m_queueHighWater{0};    // the deepest the raw-data queue was after a push

  // Last: destroyed first, once everything the loop thread touches is gone
  // from it (Stop frees the socket and timers on the loop thread).
  EventLoop m_loop;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_DATAFEED_CLIENT_CONNECT_THREAD_H
