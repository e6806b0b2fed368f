// SimulatorImpl, the simulator behind FeedSimulator: the scenario, the
// settings that change while it runs (faults, permitted data types), the
// ports, the sites and the registry of connection statistics. Public members
// are called from any thread unless they say otherwise; the loop threads read
// it through them. Owns the sites, the TLS contexts, the query service, the
// credentials and the statistics cells' registry.
#ifndef QEL_TOOLS_FEED_SIM_SIM_IMPL_H
#define QEL_TOOLS_FEED_SIM_SIM_IMPL_H

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SysLogin.pb.h"
#include "common/mutex.h"
#include "feed_sim.h"
#include "query_service.h"
#include "sim_connection.h"
#include "sim_discovery.h"
#include "sim_loop.h"
#include "sim_site.h"

namespace qel {
namespace sim {

namespace model = com::quor::qel::model;
using com::quor::kbr::client::Mutex;
using com::quor::kbr::client::MutexLock;

// Shared state of the simulator (see above).
class SimulatorImpl {
 public:
  explicit SimulatorImpl(Scenario sc)
      : m_scenario(std::move(sc)), m_credentials(m_scenario.users) {
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

  // Users and tokens: the discovery service issues, the nodes check.
  Credentials& credentials() { return m_credentials; }

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
  Credentials m_credentials;
  mutable Mutex m_mu;
  Faults m_faults GUARDED_BY(m_mu);
  std::atomic<uint64_t> m_faults_version{0};
  std::vector<int> m_permitted GUARDED_BY(m_mu);
  std::vector<uint16_t> m_node_ports GUARDED_BY(m_mu);
  uint16_t m_discovery_port GUARDED_BY(m_mu) = 0;
  std::string m_error GUARDED_BY(m_mu);

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

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_IMPL_H
