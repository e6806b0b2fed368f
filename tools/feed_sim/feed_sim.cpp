// FeedSimulator's public methods and what they drive in SimulatorImpl: TLS
// set-up, start and stop of the sites and the query service, node and
// discovery control, statistics. Control calls come from any thread and are
// serialised by SimulatorImpl's life mutex; the sites' loop threads do the
// socket work (sim_site, sim_connection).
#include "feed_sim.h"

#include <openssl/err.h>

#include <set>
#include <thread>

#include "sim_impl.h"
#include "sim_records.h"

namespace qel {
namespace sim {

namespace {

std::string OpenSslError() {
  const unsigned long e = ERR_get_error();
  if (e == 0) return "unknown TLS error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

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
    return m_credentials.CheckPassword(u, p);
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
  m_impl->credentials().SetUser(name, password);
}
std::string FeedSimulator::IssueToken(const std::string& user) {
  return m_impl->credentials().IssueToken(user);
}
void FeedSimulator::RevokeTokens() { m_impl->credentials().RevokeTokens(); }
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
