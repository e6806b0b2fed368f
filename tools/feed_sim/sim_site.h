// A site of the simulator: the discovery service or one site type's datafeed
// nodes. Each site runs one loop thread with its listeners and the
// connections they accept. Created, started and stopped by SimulatorImpl on
// the control thread; listeners and connections are touched only on the loop
// thread. Owns the listeners, the connections, the streams' record templates
// and the rate limits of trickled connections.
#ifndef QEL_TOOLS_FEED_SIM_SIM_SITE_H
#define QEL_TOOLS_FEED_SIM_SIM_SITE_H

#include <event2/bufferevent.h>
#include <event2/listener.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim_connection.h"
#include "sim_loop.h"
#include "sim_pacer.h"

namespace qel {
namespace sim {

class SimulatorImpl;
class Site;

// One accepting socket of a site. Owned by its Site; loop thread only.
struct ListenerCtx {
  Site* site = nullptr;
  int node_index = -1;  // -1 = discovery
  bool tls = false;
  ListenerPtr listener;
};

// The discovery service or one site type (see above).
class Site {
 public:
  Site(SimulatorImpl* sim, bool discovery, int site_type)
      : m_sim(sim), m_discovery(discovery), m_site_type(site_type) {}

  // Control thread: starts the loop thread (SIGPIPE blocked on it).
  bool StartLoop();
  // Control thread: closes the listeners and connections on the loop thread and ends it.
  void StopLoop();

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

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_SITE_H
