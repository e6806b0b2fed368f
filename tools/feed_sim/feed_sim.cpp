#include "feed_sim.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent_ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/mutex.h"
#include <random>
#include <set>
#include <thread>
#include <unordered_map>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysHeartbeat.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "kits/standard_lib_kits.h"
#include "query_service.h"
#include "sim_frame.h"
#include "sim_loop.h"
#include "sim_records.h"

namespace qel {
namespace sim {

namespace model = com::quor::qel::model;
using com::quor::kbr::client::Mutex;
using com::quor::kbr::client::MutexLock;

namespace {

// Output kept queued per connection: the push path fills up to the high mark
// and resumes when the socket has taken it down to the low mark.
constexpr size_t kHighWater = 512 * 1024;
constexpr size_t kLowWater = 128 * 1024;
// Market data overshoots the high mark by at most one frame; answers may take
// the queue that far and no further.
static_assert(kMaxQueuedOutput == kHighWater + kMaxFrameLen,
              "the output bound is the push path's high mark plus one largest frame");
constexpr size_t kSplitCompactBytes = 64 * 1024;  // sent split bytes kept before the queue is compacted

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A write to a peer that has gone raises SIGPIPE on the writing thread, and
// the default disposition ends the process. Every socket write of the
// simulator (plain and TLS) happens on its loop threads; with the signal
// blocked there the write fails with EPIPE and the connection is closed, and
// the embedding program's own disposition is left alone.
void BlockSigpipeOnThisThread() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
}

std::string OpenSslError() {
  const unsigned long e = ERR_get_error();
  if (e == 0) return "unknown TLS error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

}  // namespace

// Counters of one connection; written by its loop thread, read by any.
struct StatsCell {
  mutable Mutex mu;
  ConnectionStats s GUARDED_BY(mu);
};

class Site;

// A stream of a site with one record template per security.
// Immutable after Start; read by the site's loop thread.
struct StreamRuntime {
  StreamSpec spec;
  std::vector<RecordTemplate> templates;
};

// One accepted socket, discovery or datafeed. Called only on its site's loop
// thread. Owns its bufferevent (and with it the socket and TLS object), its
// timers and its subscription; shares its StatsCell with the registry.
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
  static std::string ReplyTrace(const model::MetaData& request, bool wrong);
  void HandleDiscoveryLogin(const model::MetaData& meta, const char* body, size_t len);
  void HandleDatafeedLogin(const model::MetaData& meta, const char* body, size_t len);
  void HandleHeartbeat();
  void HandleSubscribe(const model::MetaData& meta, const char* body, size_t len);
  void SendResponse(model::ESysMessageType type, const std::string& trace,
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

  struct StreamState {
    double tokens = 0;
    int64_t sent = 0;
  };
  // Records of one stream on one channel that the subscription selects.
  struct Slot {
    size_t stream = 0;
    int64_t channel = 0;
    std::vector<const RecordTemplate*> records;
    size_t cursor = 0;
  };
  struct ChannelCounter {
    int64_t frame_index = 0;
    int64_t record_seq = 0;
    int64_t frames = 0;  // market-data frames sent on the channel (the sequence faults count these)
  };

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
  std::vector<StreamState> m_stream_state;
  std::vector<Slot> m_slots;
  size_t m_next_slot = 0;
  std::unordered_map<int64_t, ChannelCounter> m_channels;
  double m_last_tick = 0;

  std::string m_split_pending;
  size_t m_split_off = 0;

  EventPtr m_tick;
  EventPtr m_close_timer;
  EventPtr m_split_timer;

  RecordPayloadBuilder m_payload;
  model::MetaData m_meta;
  std::string m_out;
};

// One accepting socket of a site. Owned by its Site; loop thread only.
struct ListenerCtx {
  Site* site = nullptr;
  int node_index = -1;  // -1 = discovery
  bool tls = false;
  ListenerPtr listener;
};

// The discovery service or one site type: a loop thread, the listeners and
// the connections on it. Created and destroyed by SimulatorImpl; listeners and
// connections are touched only on the loop thread.
class Site {
 public:
  Site(SimulatorImpl* sim, bool discovery, int site_type)
      : m_sim(sim), m_discovery(discovery), m_site_type(site_type) {}

  bool StartLoop() {
    if (!m_loop.Start()) return false;
    return m_loop.Call([this] {
      BlockSigpipeOnThisThread();
      m_reap.reset(event_new(m_loop.base(), -1, 0, &Site::OnReap, this));
      return m_reap != nullptr;
    });
  }
  void StopLoop() {
    m_loop.Stop([this] {
      m_listeners.clear();
      m_conns.clear();
      m_reap.reset();
    });
  }

  LoopThread& loop() { return m_loop; }
  bool discovery() const { return m_discovery; }
  int site_type() const { return m_site_type; }
  std::vector<StreamRuntime>& streams() { return m_streams; }

  // Loop thread: binds a listener; port 0 picks one. Returns the port, 0 on failure.
  uint16_t Listen(int node_index, bool tls, const std::string& ip, uint16_t port,
                  std::string* error);
  // Loop thread: closes a listener and its connections.
  void Unlisten(int node_index);
  // Loop thread.
  template <typename F>
  int ForEachOpen(int node_index_or_all, F fn) {
    int n = 0;
    for (auto& kv : m_conns) {
      Connection* c = kv.second.get();
      if (!c->open()) continue;
      if (node_index_or_all != -2 && c->node_index() != node_index_or_all) continue;
      if (fn(c)) ++n;
    }
    return n;
  }
  void ScheduleReap(uint64_t id) {
    m_reap_ids.push_back(id);
    event_active(m_reap.get(), EV_READ, 0);
  }

 private:
  static void OnAccept(evconnlistener* l, evutil_socket_t fd, sockaddr* addr, int len, void* arg);
  // A bufferevent on fd that sends one byte per interval_ms, over TLS with
  // a server object of tls when given; null (fd closed) on failure.
  bufferevent* NewTrickledBufferEvent(evutil_socket_t fd, SSL_CTX* tls, int interval_ms);
  static void OnReap(evutil_socket_t, short, void* arg) {
    auto* self = static_cast<Site*>(arg);
    std::vector<uint64_t> ids;
    ids.swap(self->m_reap_ids);
    for (uint64_t id : ids) self->m_conns.erase(id);
  }

  SimulatorImpl* m_sim;
  bool m_discovery;
  int m_site_type;
  LoopThread m_loop;
  std::vector<StreamRuntime> m_streams;
  struct TokenBucketFree {
    void operator()(ev_token_bucket_cfg* cfg) const { ev_token_bucket_cfg_free(cfg); }
  };
  // Rate limits of trickled connections, by interval; declared before the
  // connections, as every bufferevent that uses one refers to it.
  std::map<int, std::unique_ptr<ev_token_bucket_cfg, TokenBucketFree>> m_trickle_cfgs;
  std::map<int, std::unique_ptr<ListenerCtx>> m_listeners;
  std::map<uint64_t, std::unique_ptr<Connection>> m_conns;
  std::vector<uint64_t> m_reap_ids;
  EventPtr m_reap;
};

// Shared state of the simulator. Public members are called from any thread
// unless they say otherwise. Owns the sites, the TLS context and the registry
// of connection statistics.
class SimulatorImpl {
 public:
  explicit SimulatorImpl(Scenario sc) : m_scenario(std::move(sc)) {
    m_users = m_scenario.users;
    m_faults = m_scenario.faults;
    m_permitted = m_scenario.permitted_data_types;
    m_node_ports.assign(m_scenario.nodes.size(), 0);
    for (size_t i = 0; i < m_scenario.nodes.size(); ++i) m_node_ports[i] = m_scenario.nodes[i].port;
  }
  ~SimulatorImpl() { Stop(); }

  bool Start();
  void Stop();
  bool StartQueryService();
  uint16_t QueryPort() const { return m_query_port.load(std::memory_order_acquire); }

  const Scenario& scenario() const { return m_scenario; }
  // The TLS context of a listener: the node's own when it names a
  // certificate, else the scenario's.
  SSL_CTX* ssl_ctx(int node_index = -1) const {
    auto it = m_node_ssl_ctx.find(node_index);
    return it != m_node_ssl_ctx.end() ? it->second.get() : m_ssl_ctx.get();
  }

  std::string LastError() const {
    MutexLock lk(m_mu);
    return m_error;
  }
  void SetError(const std::string& e) {
    MutexLock lk(m_mu);
    m_error = e;
  }
  // One log line, to the scenario's sink or standard error. Any thread.
  void Log(const std::string& line) const {
    if (m_scenario.log) {
      m_scenario.log(line);
    } else {
      std::fprintf(stderr, "qel-feed-sim: %s\n", line.c_str());
    }
  }

  // Faults are versioned so a connection re-reads them only after a change.
  uint64_t faults_version() const { return m_faults_version.load(std::memory_order_acquire); }
  Faults GetFaults() const {
    MutexLock lk(m_mu);
    return m_faults;
  }
  void SetFaults(const Faults& f) {
    MutexLock lk(m_mu);
    m_faults = f;
    m_faults_version.fetch_add(1, std::memory_order_acq_rel);
  }

  bool CheckPassword(const std::string& user, const std::string& clear) const {
    MutexLock lk(m_mu);
    auto it = m_users.find(user);
    return it != m_users.end() && it->second == clear;
  }
  void SetUser(const std::string& name, const std::string& pw) {
    MutexLock lk(m_mu);
    m_users[name] = pw;
  }
  std::string IssueToken(const std::string& user) {
    static const char* kHex = "0123456789abcdef";
    MutexLock lk(m_mu);
    std::string t;
    for (int i = 0; i < 32; ++i) t += kHex[m_rng() & 0xF];
    m_tokens[t] = user;
    return t;
  }
  bool CheckToken(const std::string& user, const std::string& token) const {
    MutexLock lk(m_mu);
    auto it = m_tokens.find(token);
    return it != m_tokens.end() && it->second == user;
  }
  void RevokeTokens() {
    MutexLock lk(m_mu);
    m_tokens.clear();
  }
  std::vector<int> Permitted() const {
    MutexLock lk(m_mu);
    return m_permitted;
  }
  void SetPermitted(const std::vector<int>& p) {
    MutexLock lk(m_mu);
    m_permitted = p;
  }

  uint16_t DiscoveryPort() const {
    MutexLock lk(m_mu);
    return m_discovery_port;
  }
  uint16_t NodePort(int node_index) const {
    MutexLock lk(m_mu);
    if (node_index < 0 || static_cast<size_t>(node_index) >= m_node_ports.size()) return 0;
    return m_node_ports[static_cast<size_t>(node_index)];
  }
  int NodeIndex(int site_type, int idx) const {
    int seen = 0;
    for (size_t i = 0; i < m_scenario.nodes.size(); ++i) {
      if (m_scenario.nodes[i].site_type != site_type) continue;
      if (seen++ == idx) return static_cast<int>(i);
    }
    return -1;
  }

  void FillServers(model::LoginResponse* rsp) const {
    MutexLock lk(m_mu);
    for (size_t i = 0; i < m_scenario.nodes.size(); ++i) {
      const NodeSpec& n = m_scenario.nodes[i];
      model::ServerInfo* s = rsp->add_servers();
      s->set_ip(m_scenario.bind_ip);
      s->set_port(m_node_ports[i]);
      s->set_iptype(0);
      s->set_ippriority(n.priority);
      s->set_sitetype(n.site_type);
      s->set_sitename("site-" + std::to_string(n.site_type));
      s->set_ipversion(4);
      s->set_isssl(n.tls);
    }
  }

  std::shared_ptr<StatsCell> NewConnectionCell(uint64_t* id) {
    auto cell = std::make_shared<StatsCell>();
    MutexLock lk(m_stats_mu);
    *id = ++m_next_id;
    {
      MutexLock cell_lock(cell->mu);  // not shared yet; taken for the analysis's sake
      cell->s.id = *id;
    }
    m_cells[*id] = cell;
    return cell;
  }
  SimulatorStats Stats() const;

  Site* SiteOf(int site_type) {
    auto it = m_sites.find(site_type);
    return it == m_sites.end() ? nullptr : it->second.get();
  }
  int CloseDatafeedConnections(int site_type);
  int SendMalformed(Malformed kind, int site_type);
  std::vector<Site*> AllSites(int site_type) {
    std::vector<Site*> out;
    for (auto& kv : m_sites) {
      if (site_type < 0 || kv.first == site_type) out.push_back(kv.second.get());
    }
    return out;
  }
  bool StopNode(int node_index);
  bool RestartNode(int node_index);
  bool StopDiscovery();
  bool RestartDiscovery();

 private:
  bool SetUpTls();
  void StopLocked();
  bool StartFailed(const std::string& e) {
    SetError(e);
    StopLocked();
    return false;
  }

  const Scenario m_scenario;
  mutable Mutex m_mu;
  std::map<std::string, std::string> m_users GUARDED_BY(m_mu);
  std::map<std::string, std::string> m_tokens GUARDED_BY(m_mu);  // token -> user
  Faults m_faults GUARDED_BY(m_mu);
  std::atomic<uint64_t> m_faults_version{0};
  std::vector<int> m_permitted GUARDED_BY(m_mu);
  std::vector<uint16_t> m_node_ports GUARDED_BY(m_mu);
  uint16_t m_discovery_port GUARDED_BY(m_mu) = 0;
  std::string m_error GUARDED_BY(m_mu);
  std::mt19937_64 m_rng GUARDED_BY(m_mu){std::random_device{}()};

  // Held by Start, Stop and every control call, so that none of them sees
  // the sites half built or half torn down.
  Mutex m_life_mu;
  SslCtxPtr m_ssl_ctx;
  std::map<int, SslCtxPtr> m_node_ssl_ctx;  // nodes with their own certificate; set at Start
  std::unique_ptr<QueryService> m_query;  // declared after m_ssl_ctx: stopped before it goes
  std::atomic<uint16_t> m_query_port{0};  // the query listener's port, 0 when none
  std::unique_ptr<Site> m_discovery;
  std::map<int, std::unique_ptr<Site>> m_sites;
  bool m_started = false;

  mutable Mutex m_stats_mu;
  std::map<uint64_t, std::shared_ptr<StatsCell>> m_cells GUARDED_BY(m_stats_mu);
  uint64_t m_next_id GUARDED_BY(m_stats_mu) = 0;
};

// ---------------------------------------------------------------------------
// Site

uint16_t Site::Listen(int node_index, bool tls, const std::string& ip, uint16_t port,
                      std::string* error) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &sin.sin_addr) != 1) {
    *error = "bad bind address " + ip;
    return 0;
  }
  auto ctx = std::make_unique<ListenerCtx>();
  ctx->site = this;
  ctx->node_index = node_index;
  ctx->tls = tls;
  ctx->listener.reset(evconnlistener_new_bind(
      m_loop.base(), &Site::OnAccept, ctx.get(), LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE, 128,
      reinterpret_cast<sockaddr*>(&sin), sizeof sin));
  if (!ctx->listener) {
    *error = "cannot listen on " + ip + ":" + std::to_string(port) + ": " + strerror(errno);
    return 0;
  }
  sockaddr_in bound{};
  socklen_t blen = sizeof bound;
  getsockname(evconnlistener_get_fd(ctx->listener.get()), reinterpret_cast<sockaddr*>(&bound),
              &blen);
  m_listeners[node_index] = std::move(ctx);
  return ntohs(bound.sin_port);
}

void Site::Unlisten(int node_index) {
  m_listeners.erase(node_index);
  ForEachOpen(node_index, [](Connection* c) {
    c->Close();
    return true;
  });
}

void Site::OnAccept(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* arg) {
  auto* ctx = static_cast<ListenerCtx*>(arg);
  Site* site = ctx->site;
  SimulatorImpl* sim = site->m_sim;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  evutil_make_socket_nonblocking(fd);
  bufferevent* bev = nullptr;
  const int trickle_ms = site->m_discovery ? sim->GetFaults().trickle_discovery_ms : 0;
  if (trickle_ms > 0) {
    bev = site->NewTrickledBufferEvent(fd, ctx->tls ? sim->ssl_ctx(ctx->node_index) : nullptr, trickle_ms);
    if (!bev) return;
  } else if (ctx->tls) {
    SSL* ssl = SSL_new(sim->ssl_ctx(ctx->node_index));
    if (!ssl) {
      evutil_closesocket(fd);
      return;
    }
    bev = bufferevent_openssl_socket_new(site->m_loop.base(), fd, ssl, BUFFEREVENT_SSL_ACCEPTING,
                                         BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
      SSL_free(ssl);
      evutil_closesocket(fd);
      return;
    }
    bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
  } else {
    bev = bufferevent_socket_new(site->m_loop.base(), fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
      evutil_closesocket(fd);
      return;
    }
  }
  uint64_t id = 0;
  auto cell = sim->NewConnectionCell(&id);
  {
    MutexLock lk(cell->mu);
    cell->s.discovery = site->m_discovery;
    cell->s.site_type = site->m_discovery ? 0 : site->m_site_type;
    cell->s.node_index = ctx->node_index;
    cell->s.tls = ctx->tls;
  }
  auto conn = std::make_unique<Connection>(sim, site, id, ctx->node_index, bev, std::move(cell));
  Connection* c = conn.get();
  site->m_conns[id] = std::move(conn);
  c->Start();
}

bufferevent* Site::NewTrickledBufferEvent(evutil_socket_t fd, SSL_CTX* tls, int interval_ms) {
  // The socket's own bufferevent is rate-limited to one byte per interval;
  // TLS runs as a filter above it, so its handshake records leave the socket
  // at that pace too.
  auto& cfg = m_trickle_cfgs[interval_ms];
  if (!cfg) {
    const timeval tick{interval_ms / 1000, (interval_ms % 1000) * 1000};
    cfg.reset(ev_token_bucket_cfg_new(EV_RATE_LIMIT_MAX, EV_RATE_LIMIT_MAX, 1, 1, &tick));
  }
  bufferevent* socket_bev = cfg ? bufferevent_socket_new(m_loop.base(), fd, BEV_OPT_CLOSE_ON_FREE) : nullptr;
  if (!socket_bev) {
    evutil_closesocket(fd);
    return nullptr;
  }
  if (bufferevent_set_rate_limit(socket_bev, cfg.get()) != 0) {
    bufferevent_free(socket_bev);
    return nullptr;
  }
  if (tls == nullptr) return socket_bev;
  SSL* ssl = SSL_new(tls);
  bufferevent* bev = ssl != nullptr ? bufferevent_openssl_filter_new(m_loop.base(), socket_bev, ssl,
                                                                     BUFFEREVENT_SSL_ACCEPTING,
                                                                     BEV_OPT_CLOSE_ON_FREE)
                                    : nullptr;
  if (!bev) {
    if (ssl != nullptr) SSL_free(ssl);
    bufferevent_free(socket_bev);
    return nullptr;
  }
  bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
  return bev;
}

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(SimulatorImpl* sim, Site* site, uint64_t id, int node_index,
                       bufferevent* bev, std::shared_ptr<StatsCell> cell)
    : m_sim(sim), m_site(site), m_id(id), m_node_index(node_index), m_bev(bev),
      m_cell(std::move(cell)) {
  m_stream_state.resize(site->streams().size());
}

Connection::~Connection() {
  // Timers first: they point at this object.
  m_tick.reset();
  m_close_timer.reset();
  m_split_timer.reset();
  m_bev.reset();
  MutexLock lk(m_cell->mu);
  m_cell->s.open = false;
}

void Connection::Start() {
  bufferevent_setcb(m_bev.get(), &Connection::OnRead, &Connection::OnWrite, &Connection::OnEvent,
                    this);
  bufferevent_setwatermark(m_bev.get(), EV_WRITE, kLowWater, 0);
  bufferevent_enable(m_bev.get(), EV_READ | EV_WRITE);
}

void Connection::Close() {
  if (!m_bev) return;
  if (m_tick) event_del(m_tick.get());
  if (m_close_timer) event_del(m_close_timer.get());
  if (m_split_timer) event_del(m_split_timer.get());
  m_bev.reset();
  m_logged_in = false;
  {
    MutexLock lk(m_cell->mu);
    m_cell->s.open = false;
    m_cell->s.logged_in = false;
  }
  m_site->ScheduleReap(m_id);
}

const Faults& Connection::CurrentFaults() {
  const uint64_t v = m_sim->faults_version();
  if (v != m_faults_version) {
    m_faults = m_sim->GetFaults();
    // A datafeed connection of a site type the faults do not concern behaves.
    if (m_faults.only_site_type > 0 && !m_site->discovery() && m_site->site_type() != m_faults.only_site_type) {
      m_faults = Faults{};
    }
    m_faults_version = v;
    ApplyWatermark();
  }
  return m_faults;
}

void Connection::ApplyWatermark() {
  if (!m_bev) return;
  const bool split = m_faults.split_write_bytes > 0;
  // Split writes and a pending close both need to hear when output is empty.
  const bool want_zero = split || m_closing;
  if (want_zero != m_watermark_split) {
    bufferevent_setwatermark(m_bev.get(), EV_WRITE, want_zero ? 0 : kLowWater, 0);
    m_watermark_split = want_zero;
  }
}

void Connection::OnRead(bufferevent* bev, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  evbuffer* in = bufferevent_get_input(bev);
  char buf[16384];
  int n;
  while ((n = evbuffer_remove(in, buf, sizeof buf)) > 0) {
    self->m_cutter.Feed(buf, static_cast<size_t>(n));
  }
  self->CurrentFaults();
  std::string error;
  for (;;) {
    const FrameCutter::Status st = self->m_cutter.Next(&self->m_frame, &error);
    if (st == FrameCutter::Status::kNeedMore) break;
    if (st == FrameCutter::Status::kError) {
      self->ProtocolError();
      return;
    }
    {
      MutexLock lk(self->m_cell->mu);
      ++self->m_cell->s.frames_received;
    }
    self->HandleFrame(self->m_frame);
    if (!self->m_bev) return;
  }
}

void Connection::OnWrite(bufferevent*, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  self->CurrentFaults();
  if (self->m_split_off < self->m_split_pending.size()) {
    if (self->m_faults.split_delay_us > 0) {
      if (!self->m_split_timer) {
        self->m_split_timer.reset(
            evtimer_new(self->m_site->loop().base(), &Connection::OnSplitTimer, self));
      }
      if (!evtimer_pending(self->m_split_timer.get(), nullptr)) {
        timeval tv{self->m_faults.split_delay_us / 1000000, self->m_faults.split_delay_us % 1000000};
        evtimer_add(self->m_split_timer.get(), &tv);
      }
    } else {
      self->WriteNextChunk();
    }
    return;
  }
  if (self->m_closing) {
    self->Close();
    return;
  }
  self->Pump();
}

void Connection::OnSplitTimer(evutil_socket_t, short, void* arg) {
  static_cast<Connection*>(arg)->WriteNextChunk();
}

void Connection::OnEvent(bufferevent*, short what, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) self->Close();
}

void Connection::ProtocolError() {
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.protocol_errors;
  }
  Close();
}

void Connection::HandleFrame(const Frame& frame) {
  model::MetaData meta;
  if (!meta.ParseFromString(frame.meta)) {
    ProtocolError();
    return;
  }
  const char* body = nullptr;
  size_t len = 0;
  const int type = meta.sysmessagetype();
  const bool needs_body = type == model::LOGIN_REQUEST || type == model::SUBSCRIBE_REQUEST;
  if (needs_body && !RequestBody(frame.payload, &body, &len)) {
    ProtocolError();
    return;
  }
  if (m_site->discovery()) {
    if (type == model::LOGIN_REQUEST) HandleDiscoveryLogin(meta, body, len);
    return;  // anything else is ignored by the discovery service
  }
  switch (type) {
    case model::LOGIN_REQUEST: HandleDatafeedLogin(meta, body, len); break;
    case model::HEARTBEAT_REQUEST: HandleHeartbeat(); break;
    case model::SUBSCRIBE_REQUEST: HandleSubscribe(meta, body, len); break;
    default: break;
  }
}

void Connection::SendResponse(model::ESysMessageType type, const std::string& trace,
                              const google::protobuf::MessageLite& body) {
  model::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_qelsysmessagenum(1);
  meta.set_traceid(trace);
  meta.set_sendtime(NowNanos());
  m_out.clear();
  if (!AppendResponseFrame(&m_out, meta, body)) {
    m_sim->Log("connection " + std::to_string(m_id) + ": answer of type " +
               std::to_string(type) + " (" + std::to_string(body.ByteSizeLong()) +
               " body bytes) does not fit a frame and was not sent");
    return;
  }
  Write(m_out);
}

void Connection::CountLogin(const std::string& user, bool ok) {
  MutexLock lk(m_cell->mu);
  ++m_cell->s.login_requests;
  m_cell->s.user = user;
  ok ? ++m_cell->s.logins_ok : ++m_cell->s.logins_refused;
  m_cell->s.logged_in = ok;
}

std::string Connection::ReplyTrace(const model::MetaData& request, bool wrong) {
  return wrong ? request.traceid() + "_other" : request.traceid();
}

void Connection::HandleDiscoveryLogin(const model::MetaData& meta, const char* body, size_t len) {
  model::LoginRequest req;
  if (!req.ParseFromArray(body, static_cast<int>(len))) {
    ProtocolError();
    return;
  }
  const Faults& f = m_faults;
  const std::string& user = req.uwp().username();
  const std::string clear =
      com::quor::kbr::client::StandardLibKits::GetInstance()->DecodeByAesEcbPkcs5padding(
          req.uwp().password());
  const bool ok = !f.refuse_discovery_login && req.has_uwp() && !clear.empty() &&
                  m_sim->CheckPassword(user, clear);
  CountLogin(user, ok);
  if (f.no_discovery_response) return;
  model::LoginResponse rsp;
  rsp.set_issuccess(ok);
  if (ok) {
    rsp.set_token(m_sim->IssueToken(user));
    m_sim->FillServers(&rsp);
    rsp.mutable_accountinfo()->set_username(user);
  } else {
    rsp.mutable_errorcontext()->set_errorcode(f.refuse_discovery_login ? 1002 : 1001);
    rsp.mutable_errorcontext()->set_message(f.refuse_discovery_login
                                                ? "login refused by the service"
                                                : "invalid user name or password");
  }
  SendResponse(model::LOGIN_RESPONSE, ReplyTrace(meta, f.wrong_trace_id_discovery), rsp);
}

void Connection::HandleDatafeedLogin(const model::MetaData& meta, const char* body, size_t len) {
  model::LoginRequest req;
  if (!req.ParseFromArray(body, static_cast<int>(len))) {
    ProtocolError();
    return;
  }
  const Faults& f = m_faults;
  const std::string& user = req.uwt().username();
  const bool ok = !f.refuse_datafeed_login && req.has_uwt() &&
                  m_sim->CheckToken(user, req.uwt().token());
  if (f.no_datafeed_login_response) {
    // Read and left unanswered: the connection is not logged in.
    MutexLock lk(m_cell->mu);
    ++m_cell->s.login_requests;
    m_cell->s.user = user;
    return;
  }
  CountLogin(user, ok);
  model::LoginResponse rsp;
  rsp.set_issuccess(ok);
  if (ok) {
    rsp.set_token(req.uwt().token());
    rsp.mutable_accountinfo()->set_username(user);
  } else {
    rsp.mutable_errorcontext()->set_errorcode(1003);
    rsp.mutable_errorcontext()->set_message("token not accepted");
  }
  SendResponse(model::LOGIN_RESPONSE, ReplyTrace(meta, f.wrong_trace_id_datafeed), rsp);
  m_logged_in = ok && m_bev;  // a refused second login stops the push too
  if (!m_logged_in) return;
  bool any_rate = false;
  for (const auto& s : m_site->streams()) any_rate = any_rate || s.spec.rate_per_sec > 0;
  if (any_rate && !m_tick) {
    m_tick.reset(event_new(m_site->loop().base(), -1, EV_PERSIST, &Connection::OnTick, this));
    const int tick_us = std::max(1, m_sim->scenario().pace_tick_us);
    timeval tv{tick_us / 1000000, tick_us % 1000000};
    event_add(m_tick.get(), &tv);
    m_last_tick = NowSeconds();
  }
  if (f.close_after_ms > 0) {
    m_close_timer.reset(evtimer_new(m_site->loop().base(), &Connection::OnCloseTimer, this));
    timeval tv{static_cast<time_t>(f.close_after_ms / 1000),
               static_cast<suseconds_t>((f.close_after_ms % 1000) * 1000)};
    evtimer_add(m_close_timer.get(), &tv);
  }
}

void Connection::OnCloseTimer(evutil_socket_t, short, void* arg) {
  static_cast<Connection*>(arg)->Close();
}

void Connection::HandleHeartbeat() {
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.heartbeats_received;
  }
  if (m_faults.no_heartbeat_response) return;
  model::SysHeartbeat hb;
  SendResponse(model::HEARTBEAT_RESPONSE, "", hb);
  MutexLock lk(m_cell->mu);
  ++m_cell->s.heartbeats_answered;
}

namespace {

using SubscribedIds = std::map<int, std::set<std::string>>;

// Applies one request's action to a subscription (types and ids per type).
void ApplySubscribeAction(const model::SubscribeRequest& req, std::set<int>* types,
                          SubscribedIds* ids) {
  switch (req.subscribeactiontype()) {
    case model::CANCEL:
      types->clear();
      ids->clear();
      break;
    case model::COVERAGE:
      types->clear();
      ids->clear();
      [[fallthrough]];  // coverage is a clean add
    case model::ADD:
    default:
      for (int t : req.subscribebydatatype().qeldatatypes()) types->insert(t);
      for (const auto& d : req.subscribebyid().subscribebyiddetails()) {
        for (const auto& id : d.quorsecurityid()) (*ids)[d.qeldatatype()].insert(id);
      }
      break;
    case model::DECREASE:
      for (int t : req.subscribebydatatype().qeldatatypes()) types->erase(t);
      for (const auto& d : req.subscribebyid().subscribebyiddetails()) {
        auto it = ids->find(d.qeldatatype());
        if (it == ids->end()) continue;
        for (const auto& id : d.quorsecurityid()) it->second.erase(id);
        if (it->second.empty()) ids->erase(it);
      }
      break;
  }
}

size_t CountIds(const SubscribedIds& ids) {
  size_t n = 0;
  for (const auto& kv : ids) n += kv.second.size();
  return n;
}

}  // namespace

void Connection::HandleSubscribe(const model::MetaData& meta, const char* body, size_t len) {
  model::SubscribeRequest req;
  if (!req.ParseFromArray(body, static_cast<int>(len))) {
    ProtocolError();
    return;
  }
  {
    ReceivedSubscribe received;
    received.action = static_cast<int>(req.subscribeactiontype());
    for (int t : req.subscribebydatatype().qeldatatypes()) received.data_types.push_back(t);
    for (const auto& d : req.subscribebyid().subscribebyiddetails()) {
      received.id_details.emplace_back(d.qeldatatype(),
                                       std::vector<std::string>(d.quorsecurityid().begin(), d.quorsecurityid().end()));
    }
    MutexLock lk(m_cell->mu);
    std::vector<ReceivedSubscribe>& kept = m_cell->s.subscribes_received;
    if (kept.size() >= kMaxRecordedSubscribes) kept.erase(kept.begin());
    kept.push_back(std::move(received));
  }
  const Faults& f = CurrentFaults();
  if (f.no_subscribe_response) return;  // a node that never answers
  model::SubscribeResponse rsp;
  int refusal = 0;
  std::string reason;
  if (!m_logged_in) {
    refusal = 2002;
    reason = "not logged in";
  } else if (f.refuse_subscribe) {
    refusal = 2001;
    reason = "subscription refused";
  }
  // The request is applied to a copy; the connection's subscription changes
  // only when the request is accepted.
  std::set<int> types = m_sub_types;
  SubscribedIds ids = m_sub_ids;
  if (refusal == 0) {
    ApplySubscribeAction(req, &types, &ids);
    const size_t id_count = CountIds(ids);
    if (id_count > static_cast<size_t>(kMaxSubscribedIds)) {
      refusal = 2003;
      reason = "too many security ids: " + std::to_string(id_count) + ", at most " +
               std::to_string(kMaxSubscribedIds) + " per connection";
    } else if (types.size() > static_cast<size_t>(kMaxSubscribedTypes)) {
      refusal = 2004;
      reason = "too many data types: " + std::to_string(types.size()) + ", at most " +
               std::to_string(kMaxSubscribedTypes) + " per connection";
    }
  }
  if (refusal == 0) {
    rsp.set_issuccess(true);
    const std::vector<int> permitted = m_sim->Permitted();
    auto allowed = [&](int t) {
      return permitted.empty() || std::find(permitted.begin(), permitted.end(), t) != permitted.end();
    };
    if (!permitted.empty()) {
      for (int t : permitted) rsp.add_permitteddatatypes(t);
    } else {
      std::set<int> all(types);
      for (const auto& kv : ids) all.insert(kv.first);
      for (int t : all) rsp.add_permitteddatatypes(t);
    }
    for (const auto& kv : ids) {
      if (!allowed(kv.first)) continue;
      model::SubscribeByIdDetail* d = rsp.add_permittediddetails();
      d->set_qeldatatype(kv.first);
      for (const auto& id : kv.second) d->add_quorsecurityid(id);
    }
    // The answer lists everything in force; when that list does not fit one
    // frame's payload the request is refused rather than left unanswered.
    if (!ResponseFitsFrame(rsp)) {
      refusal = 2005;
      reason = "the subscription's answer would not fit one frame (" +
               std::to_string(rsp.ByteSizeLong() + 4) + " payload bytes, at most " +
               std::to_string(kMaxSectionLen) + ")";
    }
  }
  const bool ok = refusal == 0;
  if (ok) {
    m_sub_types.swap(types);
    m_sub_ids.swap(ids);
  } else {
    rsp.Clear();
    rsp.set_issuccess(false);
    rsp.mutable_errorcontext()->set_errorcode(refusal);
    rsp.mutable_errorcontext()->set_message(reason);
  }
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.subscribe_requests;
    if (!ok) ++m_cell->s.subscribes_refused;
    m_cell->s.subscribed_ids = static_cast<int64_t>(CountIds(m_sub_ids));
    m_cell->s.subscribed_types = static_cast<int64_t>(m_sub_types.size());
  }
  SendResponse(model::SUBSCRIBE_RESPONSE, ReplyTrace(meta, f.wrong_trace_id_datafeed), rsp);
  if (ok) {
    RebuildSlots();
    Pump();
  }
}

void Connection::RebuildSlots() {
  const std::vector<int> permitted = m_sim->Permitted();
  m_slots.clear();
  m_next_slot = 0;
  auto& streams = m_site->streams();
  for (size_t si = 0; si < streams.size(); ++si) {
    const StreamRuntime& s = streams[si];
    const int dt = s.spec.data_type;
    if (!permitted.empty() && std::find(permitted.begin(), permitted.end(), dt) == permitted.end()) {
      continue;
    }
    const bool all = m_sub_types.count(dt) > 0;
    auto ids = m_sub_ids.find(dt);
    std::map<int64_t, Slot> by_channel;
    for (const RecordTemplate& t : s.templates) {
      if (!all && (ids == m_sub_ids.end() || ids->second.count(t.security_id()) == 0)) continue;
      Slot& slot = by_channel[t.channel()];
      slot.stream = si;
      slot.channel = t.channel();
      slot.records.push_back(&t);
    }
    for (auto& kv : by_channel) m_slots.push_back(std::move(kv.second));
  }
}

void Connection::OnTick(evutil_socket_t, short, void* arg) {
  auto* self = static_cast<Connection*>(arg);
  const double now = NowSeconds();
  const double dt = now - self->m_last_tick;
  self->m_last_tick = now;
  auto& streams = self->m_site->streams();
  for (size_t i = 0; i < streams.size(); ++i) {
    const double rate = streams[i].spec.rate_per_sec;
    if (rate <= 0) continue;
    StreamState& st = self->m_stream_state[i];
    // At most pace_max_backlog_ms of backlog, so a slow reader does not get a burst.
    const double cap = rate * self->m_sim->scenario().pace_max_backlog_ms / 1000.0;
    st.tokens = std::min(st.tokens + rate * dt, std::max(cap, 1.0 * streams[i].spec.batch));
  }
  self->Pump();
}

size_t Connection::Queued() const {
  return evbuffer_get_length(bufferevent_get_output(m_bev.get())) +
         (m_split_pending.size() - m_split_off);
}

void Connection::Pump() {
  if (!m_bev || !m_logged_in || m_closing || m_slots.empty()) return;
  const Faults& f = CurrentFaults();
  auto& streams = m_site->streams();
  int frames = 0;
  while (m_bev && !m_closing && Queued() < kHighWater && frames < 256) {
    bool sent = false;
    for (size_t k = 0; k < m_slots.size(); ++k) {
      const size_t idx = (m_next_slot + k) % m_slots.size();
      const Slot& slot = m_slots[idx];
      const StreamSpec& spec = streams[slot.stream].spec;
      const StreamState& st = m_stream_state[slot.stream];
      int64_t want = spec.batch;
      if (spec.max_records > 0) want = std::min<int64_t>(want, spec.max_records - st.sent);
      if (spec.rate_per_sec > 0) {
        const auto avail = static_cast<int64_t>(st.tokens);
        // Whole batches when one accrues within 100 ms; otherwise what is due.
        if (avail < want && spec.rate_per_sec * 0.1 >= static_cast<double>(want)) continue;
        want = std::min(want, avail);
      }
      if (want <= 0) continue;
      m_next_slot = (idx + 1) % m_slots.size();
      if (f.malformed_after_frames > 0 && !m_malformed_done &&
          m_md_frames_sent >= f.malformed_after_frames) {
        m_malformed_done = true;
        SendMalformed(f.malformed_kind);
      } else {
        SendMarketFrame(idx, static_cast<int>(want));
      }
      sent = true;
      ++frames;
      break;
    }
    if (!sent) break;
  }
}

void Connection::SendMarketFrame(size_t slot_index, int max_records) {
  Slot& slot = m_slots[slot_index];
  const StreamSpec& spec = m_site->streams()[slot.stream].spec;
  ChannelCounter& cc = m_channels[slot.channel];
  m_payload.Reset();
  int64_t seq = cc.record_seq;
  // One stamp per frame: the frame is handed to the socket as a whole.
  const int64_t stamp = std::max<int64_t>(0, SendStampNow(spec.send_stamp));
  for (int i = 0; i < max_records; ++i) {
    const RecordTemplate* t = slot.records[slot.cursor];
    const size_t sz = t->EncodedSize(seq + 1, stamp);
    if (m_payload.count() > 0 && m_payload.raw_size() + 4 + sz > kMaxRecordBytesPerFrame) break;
    t->Encode(++seq, m_payload.AddUninitialised(sz), stamp);
    if (++slot.cursor == slot.records.size()) slot.cursor = 0;
  }
  const int n = m_payload.count();
  bool lz4 = spec.lz4;
  const std::string* payload = &m_payload.Finish(lz4);
  if (lz4 && payload->empty()) {
    lz4 = false;
    payload = &m_payload.Finish(false);
  }
  cc.record_seq = seq;
  const int64_t nth = ++cc.frames;
  const bool repeat = m_faults.repeat_index_every > 0 && nth > 1 && nth % m_faults.repeat_index_every == 0;
  const bool skip = !repeat && m_faults.skip_index_every > 0 && nth % m_faults.skip_index_every == 0;
  if (skip) cc.frame_index += m_faults.skip_index_count;
  const int64_t frame_index = repeat ? cc.frame_index : ++cc.frame_index;
  m_meta.Clear();
  m_meta.set_qeldatatype(spec.data_type);
  m_meta.set_channelno(static_cast<int32_t>(slot.channel));
  m_meta.set_channelindex(frame_index);
  m_meta.set_sysmessagetype(model::PUSH_MARKET_DATA);
  m_meta.set_qelsysmessagenum(n);
  m_meta.set_sendtime(NowNanos());
  m_out.clear();
  AppendRawFrame(&m_out, m_meta, payload->data(), payload->size(),
                 static_cast<int16_t>(kFlagManage | (lz4 ? kFlagLz4 : 0)));
  StreamState& st = m_stream_state[slot.stream];
  st.sent += n;
  if (spec.rate_per_sec > 0) st.tokens -= n;
  ++m_md_frames_sent;
  {
    MutexLock lk(m_cell->mu);
    ConnectionStats& s = m_cell->s;
    ++s.md_frames_sent;
    s.records_sent += n;
    ChannelStats& ch = s.channels[slot.channel];
    ++ch.frames;
    ch.records += n;
    ch.last_frame_index = frame_index;
    ch.last_record_seq = seq;
    if (skip) {
      ++ch.index_jumps;
      ch.indexes_skipped += m_faults.skip_index_count;
    }
    if (repeat) ++ch.indexes_repeated;
  }
  Write(m_out);
  SendUnaskedHeartbeats();
}

void Connection::SendUnaskedHeartbeats() {
  const int n = m_faults.unasked_heartbeats_per_frame;
  if (n <= 0 || !m_bev) return;
  model::MetaData meta;
  meta.set_sysmessagetype(m_faults.unasked_heartbeat_requests ? model::HEARTBEAT_REQUEST
                                                              : model::HEARTBEAT_RESPONSE);
  meta.set_qelsysmessagenum(1);
  model::SysHeartbeat hb;
  std::string frame;
  AppendResponseFrame(&frame, meta, hb);
  std::string out;
  out.reserve(frame.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out += frame;
  // One write of n frames: counted as one frame by Write, so the statistic
  // below is the number of heartbeats.
  Write(out);
  if (!m_bev) return;
  MutexLock lk(m_cell->mu);
  m_cell->s.unasked_heartbeats_sent += n;
}

bool Connection::SendMalformed(Malformed kind) {
  if (!m_bev) return false;
  model::MetaData meta;
  meta.set_sysmessagetype(model::PUSH_MARKET_DATA);
  meta.set_qelsysmessagenum(1);
  meta.set_channelno(m_slots.empty() ? 0 : static_cast<int32_t>(m_slots[0].channel));
  meta.set_sendtime(NowNanos());
  std::string out;
  char hdr[kHeaderLen];
  FrameHeader h;
  switch (kind) {
    case Malformed::kMetaTooLong:
    case Malformed::kPayloadTooLong:
    case Malformed::kNegativeLength: {
      const std::string m = meta.SerializeAsString();
      h.meta_len = kind == Malformed::kMetaTooLong ? kMaxSectionLen + 1
                                                   : static_cast<int32_t>(m.size());
      h.payload_len = kind == Malformed::kPayloadTooLong ? 70000
                      : kind == Malformed::kNegativeLength ? -8
                                                           : 0;
      EncodeHeader(h, hdr);
      out.assign(hdr, kHeaderLen);
      out += m;
      out.append(64, '\0');
      break;
    }
    case Malformed::kGarbageMeta: {
      // 0x0F is field 1 with the invalid wire type 7: no parser accepts it.
      const std::string garbage("\x0F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
      h.meta_len = static_cast<int32_t>(garbage.size());
      h.payload_len = 8;
      EncodeHeader(h, hdr);
      out.assign(hdr, kHeaderLen);
      out += garbage;
      out.append(8, '\0');
      break;
    }
    case Malformed::kTruncatedRecord: {
      // One record prefix announcing 1,000 bytes with only 10 behind it.
      std::string payload;
      AppendI32(&payload, 1000);
      payload.append(10, '\x08');
      AppendRawFrame(&out, meta, payload.data(), payload.size(), kFlagManage);
      break;
    }
    case Malformed::kCorruptLz4: {
      // Claims 1,000 decompressed bytes; 0xFF tokens make literal runs longer
      // than the block, which a safe decompressor rejects.
      std::string payload;
      AppendI32(&payload, 1000);
      payload.append(24, '\xFF');
      AppendRawFrame(&out, meta, payload.data(), payload.size(),
                     static_cast<int16_t>(kFlagManage | kFlagLz4));
      break;
    }
    case Malformed::kUnknownMessageType:
    case Malformed::kNoMessageType:
    case Malformed::kForeignTraceId: {
      // A well-formed record behind a type the reader has no handler for, or
      // behind a trace id it never sent.
      if (kind == Malformed::kUnknownMessageType) {
        meta.set_sysmessagetype(static_cast<model::ESysMessageType>(99));
      } else if (kind == Malformed::kNoMessageType) {
        meta.clear_sysmessagetype();
      } else {
        meta.set_traceid("sdk_trace_nobody_sent");
      }
      model::MarketData record;
      record.set_qelmessagechannel(meta.channelno());
      const std::string bytes = record.SerializeAsString();
      std::string payload;
      AppendI32(&payload, static_cast<int32_t>(bytes.size()));
      payload += bytes;
      AppendRawFrame(&out, meta, payload.data(), payload.size(), kFlagManage);
      break;
    }
    case Malformed::kUndecodableRecord: {
      model::MarketData record;
      record.set_qelmessagechannel(meta.channelno());
      const std::string first = record.SerializeAsString();
      // 0x0F is field 1 with the invalid wire type 7.
      const std::string garbage("\x0F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
      std::string payload;
      AppendI32(&payload, static_cast<int32_t>(first.size()));
      payload += first;
      AppendI32(&payload, static_cast<int32_t>(garbage.size()));
      payload += garbage;
      AppendI32(&payload, static_cast<int32_t>(first.size()));
      payload += first;
      meta.set_qelsysmessagenum(3);
      AppendRawFrame(&out, meta, payload.data(), payload.size(), kFlagManage);
      break;
    }
  }
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.malformed_sent;
    if (m_cell->s.records_before_malformed < 0) m_cell->s.records_before_malformed = m_cell->s.records_sent;
  }
  Write(out);
  return true;
}

void Connection::Write(const std::string& bytes) {
  if (!m_bev) return;
  // Market data stops below this bound by itself (Pump); only answers to a
  // client that keeps asking and never reads can reach it.
  if (Queued() + bytes.size() > kMaxQueuedOutput) {
    CloseOverOutputLimit(bytes.size());
    return;
  }
  const Faults& f = CurrentFaults();
  const bool split_pending = m_split_off < m_split_pending.size();
  if (f.split_write_bytes > 0 || split_pending) {
    // Bytes still queued for split writing go first, even when the fault has
    // just been switched off, so the stream never reorders.
    if (!split_pending) {
      m_split_pending.clear();
      m_split_off = 0;
    } else if (m_split_off >= kSplitCompactBytes) {
      m_split_pending.erase(0, m_split_off);  // keep the queue to what is still unsent
      m_split_off = 0;
    }
    m_split_pending += bytes;
    if (evbuffer_get_length(bufferevent_get_output(m_bev.get())) == 0) WriteNextChunk();
  } else {
    bufferevent_write(m_bev.get(), bytes.data(), bytes.size());
  }
  ++m_frames_sent;
  {
    MutexLock lk(m_cell->mu);
    ++m_cell->s.frames_sent;
    m_cell->s.bytes_sent += static_cast<int64_t>(bytes.size());
  }
  AfterFrameSent();
}

void Connection::CloseOverOutputLimit(size_t next_frame) {
  m_sim->Log("connection " + std::to_string(m_id) + " closed: " + std::to_string(Queued()) +
             " bytes queued unread and a frame of " + std::to_string(next_frame) +
             " more would pass the output limit of " + std::to_string(kMaxQueuedOutput) +
             " bytes");
  {
    MutexLock lk(m_cell->mu);
    m_cell->s.closed_over_output_limit = true;
  }
  Close();
}

void Connection::WriteNextChunk() {
  if (!m_bev || m_split_off >= m_split_pending.size()) return;
  const size_t left = m_split_pending.size() - m_split_off;
  // With the fault switched off the rest leaves in one write.
  const size_t n = m_faults.split_write_bytes > 0 ? std::min(static_cast<size_t>(m_faults.split_write_bytes), left)
                                                  : left;
  bufferevent_write(m_bev.get(), m_split_pending.data() + m_split_off, n);
  m_split_off += n;
}

void Connection::AfterFrameSent() {
  if (m_faults.close_after_frames > 0 && m_frames_sent >= m_faults.close_after_frames &&
      !m_closing) {
    m_closing = true;
    ApplyWatermark();
    if (Queued() == 0) Close();
  }
}

// ---------------------------------------------------------------------------
// SimulatorImpl

namespace {

// A server context holding one certificate chain and its key; null with a
// reason in *error when either does not load or they do not match.
SslCtxPtr LoadServerContext(const std::string& cert, const std::string& key, std::string* error) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    *error = "cannot create the TLS context: " + OpenSslError();
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1) {
    *error = "cannot load certificate " + cert + ": " + OpenSslError();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    *error = "cannot load key " + key + ": " + OpenSslError();
    return nullptr;
  }
  return ctx;
}

}  // namespace

bool SimulatorImpl::SetUpTls() {
  bool need = m_scenario.discovery_tls || (m_scenario.query_enabled && m_scenario.query_tls);
  std::string error;
  for (size_t i = 0; i < m_scenario.nodes.size(); ++i) {
    if (!m_scenario.nodes[i].tls) continue;
    auto own_files = m_scenario.node_tls.find(static_cast<int>(i));
    if (own_files == m_scenario.node_tls.end()) {
      need = true;
      continue;
    }
    SslCtxPtr own = LoadServerContext(own_files->second.cert_file, own_files->second.key_file, &error);
    if (!own) {
      SetError("node " + std::to_string(i) + ": " + error);
      return false;
    }
    m_node_ssl_ctx[static_cast<int>(i)] = std::move(own);
  }
  if (!need) return true;
  if (m_scenario.tls_cert_file.empty() || m_scenario.tls_key_file.empty()) {
    SetError("a TLS listener needs a certificate and a key file");
    return false;
  }
  m_ssl_ctx = LoadServerContext(m_scenario.tls_cert_file, m_scenario.tls_key_file, &error);
  if (!m_ssl_ctx) {
    SetError(error);
    return false;
  }
  return true;
}

bool SimulatorImpl::Start() {
  MutexLock life(m_life_mu);
  if (m_started) return true;
  m_started = true;
  if (!SetUpTls()) return StartFailed(LastError());
  for (size_t i = 0; i < m_scenario.streams.size(); ++i) {
    const StreamSpec& s = m_scenario.streams[i];
    if (!IsValidRecordKind(s.record_kind) || s.channels.empty() || s.security_ids.empty() ||
        s.batch <= 0) {
      return StartFailed("stream " + std::to_string(i) +
                         ": needs a valid record kind, channels, security ids and a batch > 0");
    }
  }
  std::set<int> site_types;
  for (const auto& n : m_scenario.nodes) site_types.insert(n.site_type);
  m_discovery = std::make_unique<Site>(this, true, 0);
  if (!m_discovery->StartLoop()) return StartFailed("cannot start the discovery loop");
  for (int st : site_types) {
    auto site = std::make_unique<Site>(this, false, st);
    for (const auto& s : m_scenario.streams) {
      if (s.site_type != st) continue;
      StreamRuntime rt;
      rt.spec = s;
      for (size_t j = 0; j < s.security_ids.size(); ++j) {
        RecordTemplate t;
        std::string err;
        if (!RecordTemplate::Build(s, s.security_ids[j], s.channels[j % s.channels.size()], &t,
                                   &err)) {
          return StartFailed(err);
        }
        rt.templates.push_back(std::move(t));
      }
      site->streams().push_back(std::move(rt));
    }
    if (!site->StartLoop()) return StartFailed("cannot start a site loop");
    m_sites[st] = std::move(site);
  }
  std::string err;
  const uint16_t dport = m_discovery->loop().Call([&] {
    return m_discovery->Listen(-1, m_scenario.discovery_tls, m_scenario.bind_ip,
                               m_scenario.discovery_port, &err);
  });
  if (dport == 0) return StartFailed(err);
  {
    MutexLock lk(m_mu);
    m_discovery_port = dport;
  }
  for (size_t i = 0; i < m_scenario.nodes.size(); ++i) {
    const NodeSpec& n = m_scenario.nodes[i];
    Site* site = m_sites[n.site_type].get();
    const uint16_t want = NodePort(static_cast<int>(i));
    const uint16_t port = site->loop().Call(
        [&] { return site->Listen(static_cast<int>(i), n.tls, m_scenario.bind_ip, want, &err); });
    if (port == 0) return StartFailed(err);
    MutexLock lk(m_mu);
    m_node_ports[i] = port;
  }
  return StartQueryService();
}

bool SimulatorImpl::StartQueryService() {
  if (!m_scenario.query_enabled) return true;
  const std::string file = m_scenario.query_reference_file.empty()
                               ? std::string(QEL_SIM_REFERENCE_DATA)
                               : m_scenario.query_reference_file;
  std::vector<ReferenceSecurity> data;
  std::string err;
  if (!LoadReferenceData(file, &data, &err)) return StartFailed(err);
  QueryService::Hooks hooks;
  hooks.check_password = [this](const std::string& u, const std::string& p) {
    return CheckPassword(u, p);
  };
  hooks.refuse_login = [this] { return GetFaults().refuse_query_login; };
  hooks.silent = [this] { return GetFaults().no_query_response; };
  hooks.trickle_ms = [this] { return GetFaults().trickle_query_ms; };
  hooks.flood_other_frames = [this] { return GetFaults().flood_query_other_frames; };
  hooks.log = [this](const std::string& line) { Log(line); };
  m_query = std::make_unique<QueryService>(std::move(data), std::move(hooks));
  if (m_query->Start(m_scenario.bind_ip, m_scenario.query_port,
                     m_scenario.query_tls ? m_ssl_ctx.get() : nullptr, &err) == 0) {
    return StartFailed(err);
  }
  m_query_port.store(m_query->Port(), std::memory_order_release);
  return true;
}

void SimulatorImpl::Stop() {
  MutexLock life(m_life_mu);
  StopLocked();
}

void SimulatorImpl::StopLocked() {
  if (m_query) m_query->Stop();
  m_query.reset();
  m_query_port.store(0, std::memory_order_release);
  if (m_discovery) m_discovery->StopLoop();
  for (auto& kv : m_sites) kv.second->StopLoop();
  m_discovery.reset();
  m_sites.clear();
  m_started = false;
}

bool SimulatorImpl::StopNode(int node_index) {
  MutexLock life(m_life_mu);
  if (node_index < 0 || static_cast<size_t>(node_index) >= m_scenario.nodes.size()) return false;
  Site* site = SiteOf(m_scenario.nodes[static_cast<size_t>(node_index)].site_type);
  if (!site) return false;
  site->loop().Call([&] { site->Unlisten(node_index); });
  return true;
}

bool SimulatorImpl::RestartNode(int node_index) {
  MutexLock life(m_life_mu);
  if (node_index < 0 || static_cast<size_t>(node_index) >= m_scenario.nodes.size()) return false;
  const NodeSpec& n = m_scenario.nodes[static_cast<size_t>(node_index)];
  Site* site = SiteOf(n.site_type);
  if (!site) return false;
  const uint16_t port = NodePort(node_index);
  std::string err;
  const uint16_t got = site->loop().Call([&] {
    site->Unlisten(node_index);
    return site->Listen(node_index, n.tls, m_scenario.bind_ip, port, &err);
  });
  if (got == 0) SetError(err);
  return got != 0;
}

bool SimulatorImpl::StopDiscovery() {
  MutexLock life(m_life_mu);
  if (!m_discovery) return false;
  m_discovery->loop().Call([&] { m_discovery->Unlisten(-1); });
  return true;
}

bool SimulatorImpl::RestartDiscovery() {
  MutexLock life(m_life_mu);
  if (!m_discovery) return false;
  const uint16_t port = DiscoveryPort();
  std::string err;
  const uint16_t got = m_discovery->loop().Call([&] {
    m_discovery->Unlisten(-1);
    return m_discovery->Listen(-1, m_scenario.discovery_tls, m_scenario.bind_ip, port, &err);
  });
  if (got == 0) SetError(err);
  return got != 0;
}

SimulatorStats SimulatorImpl::Stats() const {
  SimulatorStats out;
  MutexLock lk(m_stats_mu);
  out.connections.reserve(m_cells.size());
  for (const auto& kv : m_cells) {
    ConnectionStats s;
    {
      MutexLock clk(kv.second->mu);
      s = kv.second->s;
    }
    if (s.discovery) {
      out.discovery_logins_ok += s.logins_ok;
      out.discovery_logins_refused += s.logins_refused;
    } else {
      out.datafeed_logins_ok += s.logins_ok;
      out.datafeed_logins_refused += s.logins_refused;
      out.records_sent += s.records_sent;
      out.md_frames_sent += s.md_frames_sent;
      out.heartbeats_answered += s.heartbeats_answered;
      out.subscribe_requests += s.subscribe_requests;
      if (s.open) ++out.open_datafeed_connections;
    }
    out.connections.push_back(std::move(s));
  }
  return out;
}

// ---------------------------------------------------------------------------
// FeedSimulator

FeedSimulator::FeedSimulator(Scenario scenario)
    : m_impl(std::make_unique<SimulatorImpl>(std::move(scenario))) {}
FeedSimulator::~FeedSimulator() { Stop(); }

bool FeedSimulator::Start() { return m_impl->Start(); }
void FeedSimulator::Stop() { m_impl->Stop(); }
std::string FeedSimulator::LastError() const { return m_impl->LastError(); }
const Scenario& FeedSimulator::scenario() const { return m_impl->scenario(); }
uint16_t FeedSimulator::DiscoveryPort() const { return m_impl->DiscoveryPort(); }
uint16_t FeedSimulator::QueryPort() const { return m_impl->QueryPort(); }
uint16_t FeedSimulator::NodePort(int site_type, int idx) const {
  return m_impl->NodePort(m_impl->NodeIndex(site_type, idx));
}
uint16_t FeedSimulator::NodePortByIndex(int node_index) const {
  return m_impl->NodePort(node_index);
}
int FeedSimulator::NodeIndex(int site_type, int idx) const {
  return m_impl->NodeIndex(site_type, idx);
}
bool FeedSimulator::StopNode(int node_index) { return m_impl->StopNode(node_index); }
bool FeedSimulator::RestartNode(int node_index) { return m_impl->RestartNode(node_index); }
bool FeedSimulator::StopDiscovery() { return m_impl->StopDiscovery(); }
bool FeedSimulator::RestartDiscovery() { return m_impl->RestartDiscovery(); }

int SimulatorImpl::CloseDatafeedConnections(int site_type) {
  MutexLock life(m_life_mu);
  int n = 0;
  for (Site* site : AllSites(site_type)) {
    n += site->loop().Call([site] {
      return site->ForEachOpen(-2, [](Connection* c) {
        c->Close();
        return true;
      });
    });
  }
  return n;
}

int SimulatorImpl::SendMalformed(Malformed kind, int site_type) {
  MutexLock life(m_life_mu);
  int n = 0;
  for (Site* site : AllSites(site_type)) {
    n += site->loop().Call([site, kind] {
      return site->ForEachOpen(-2, [kind](Connection* c) {
        return c->logged_in() && c->SendMalformed(kind);
      });
    });
  }
  return n;
}

int FeedSimulator::CloseDatafeedConnections(int site_type) {
  return m_impl->CloseDatafeedConnections(site_type);
}
int FeedSimulator::SendMalformed(Malformed kind, int site_type) {
  return m_impl->SendMalformed(kind, site_type);
}

bool FeedSimulator::RunAction(const ScheduledAction& a) {
  using K = ScheduledAction::Kind;
  switch (a.kind) {
    case K::kStopNode: return StopNode(a.node_index);
    case K::kRestartNode: return RestartNode(a.node_index);
    case K::kStopDiscovery: return StopDiscovery();
    case K::kRestartDiscovery: return RestartDiscovery();
    case K::kCloseConnections: CloseDatafeedConnections(a.site_type); return true;
    case K::kSendMalformed: SendMalformed(a.malformed, a.site_type); return true;
    case K::kSetFaults: SetFaults(a.faults); return true;
  }
  return false;
}

void FeedSimulator::SetFaults(const Faults& faults) { m_impl->SetFaults(faults); }
Faults FeedSimulator::GetFaults() const { return m_impl->GetFaults(); }
void FeedSimulator::SetUser(const std::string& name, const std::string& password) {
  m_impl->SetUser(name, password);
}
std::string FeedSimulator::IssueToken(const std::string& user) { return m_impl->IssueToken(user); }
void FeedSimulator::RevokeTokens() { m_impl->RevokeTokens(); }
void FeedSimulator::SetPermittedDataTypes(const std::vector<int>& types) {
  m_impl->SetPermitted(types);
}
SimulatorStats FeedSimulator::Stats() const { return m_impl->Stats(); }

bool FeedSimulator::WaitFor(const std::function<bool(const SimulatorStats&)>& pred,
                            std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred(Stats())) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool FeedSimulator::WaitForDatafeedLogins(int64_t n, std::chrono::milliseconds timeout) const {
  return WaitFor([n](const SimulatorStats& s) { return s.datafeed_logins_ok >= n; }, timeout);
}

bool FeedSimulator::WaitForRecords(int64_t n, std::chrono::milliseconds timeout) const {
  return WaitFor([n](const SimulatorStats& s) { return s.records_sent >= n; }, timeout);
}

}  // namespace sim
}  // namespace qel
