// One accepted socket of the simulator, discovery or datafeed: reading and
// dispatching requests, logins, heartbeats, subscriptions, and writing frames
// (split under the fault, bounded by kMaxQueuedOutput). Called only on its
// site's loop thread. Owns its bufferevent (and with it the socket and TLS
// object), its timers, its subscription and its Pacer; shares its StatsCell
// with the simulator's registry.
#ifndef QEL_TOOLS_FEED_SIM_SIM_CONNECTION_H
#define QEL_TOOLS_FEED_SIM_SIM_CONNECTION_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "MetaData.pb.h"
#include "common/mutex.h"
#include "feed_sim.h"
#include "sim_frame.h"
#include "sim_loop.h"
#include "sim_pacer.h"

namespace qel {
namespace sim {

class SimulatorImpl;
class Site;

// Counters of one connection; written by its loop thread, read by any.
struct StatsCell {
  mutable com::quor::kbr::client::Mutex mu;
  ConnectionStats s GUARDED_BY(mu);
};

class Connection {
 public:
  Connection(SimulatorImpl* sim, Site* site, uint64_t id, int node_index, bufferevent* bev,
             std::shared_ptr<StatsCell> cell);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();
  // Drops the socket at once (queued output is discarded) and asks the site to
  // destroy this object on a later loop turn.
  void Close();
  bool open() const { return m_bev != nullptr; }
  bool logged_in() const { return m_logged_in; }
  int node_index() const { return m_node_index; }
  // Writes one malformed frame; false if the connection is closed.
  bool SendMalformed(Malformed kind);

 private:
  static void OnRead(bufferevent* bev, void* arg);
  static void OnWrite(bufferevent* bev, void* arg);
  static void OnEvent(bufferevent* bev, short what, void* arg);
  static void OnTick(evutil_socket_t, short, void* arg);
  static void OnCloseTimer(evutil_socket_t, short, void* arg);
  static void OnSplitTimer(evutil_socket_t, short, void* arg);

  const Faults& CurrentFaults();
  void HandleFrame(const Frame& frame);
  // Login statistics of this connection; logged_in follows the latest answer.
  void CountLogin(const std::string& user, bool ok);
  // The trace id a response carries: the request's, or a foreign one under the fault.
  static std::string ReplyTrace(const com::quor::qel::model::MetaData& request, bool wrong);
  void HandleDiscoveryLogin(const com::quor::qel::model::MetaData& meta, const char* body,
                            size_t len);
  void HandleDatafeedLogin(const com::quor::qel::model::MetaData& meta, const char* body,
                           size_t len);
  void HandleHeartbeat();
  void HandleSubscribe(const com::quor::qel::model::MetaData& meta, const char* body, size_t len);
  void SendResponse(com::quor::qel::model::ESysMessageType type, const std::string& trace,
                    const google::protobuf::MessageLite& body);
  // Queues bytes for the socket, whole or in split chunks; counts one frame.
  // Closes the connection instead when the bytes would take the queued output
  // past kMaxQueuedOutput.
  void Write(const std::string& bytes);
  void CloseOverOutputLimit(size_t next_frame);
  void WriteNextChunk();
  size_t Queued() const;
  void ApplyWatermark();
  void AfterFrameSent();
  void RebuildSlots();
  void Pump();
  void SendMarketFrame(size_t slot_index, int max_records);
  void SendUnaskedHeartbeats();
  void ProtocolError();

  SimulatorImpl* m_sim;
  Site* m_site;
  uint64_t m_id;
  int m_node_index;
  BufferEventPtr m_bev;
  std::shared_ptr<StatsCell> m_cell;
  FrameCutter m_cutter;
  Frame m_frame;
  Faults m_faults;
  uint64_t m_faults_version = ~0ull;

  bool m_logged_in = false;
  bool m_closing = false;         // close once the queued output has left
  bool m_watermark_split = false;
  int64_t m_frames_sent = 0;
  int64_t m_md_frames_sent = 0;
  bool m_malformed_done = false;

  std::set<int> m_sub_types;
  std::map<int, std::set<std::string>> m_sub_ids;
  Pacer m_pacer;

  std::string m_split_pending;
  size_t m_split_off = 0;

  EventPtr m_tick;
  EventPtr m_close_timer;
  EventPtr m_split_timer;

  std::string m_out;
};

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_CONNECTION_H
