// qel-feed-sim: runs a discovery service and datafeed nodes from a scenario
// file until interrupted (or for a set duration), printing a rate line at a
// fixed interval and a summary at the end. Single-threaded main; the
// simulator runs its own loop threads.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>
#include <thread>

#include "feed_sim.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void PrintHelp(const char* prog) {
  std::printf(
      "Usage: %s --scenario FILE [options]\n"
      "\n"
      "Runs a market-data discovery service and datafeed nodes described by a JSON\n"
      "scenario file (see tools/feed_sim/scenarios/default.json). Listens on\n"
      "127.0.0.1 unless the scenario or --bind says otherwise.\n"
      "\n"
      "Options:\n"
      "  --scenario FILE        scenario file (required)\n"
      "  --cert FILE            TLS server certificate chain (PEM); overrides the scenario\n"
      "  --key FILE             TLS server private key (PEM); overrides the scenario\n"
      "  --bind IP              address to listen on (default from scenario, 127.0.0.1)\n"
      "  --discovery-port N     discovery port (0 = any free port)\n"
      "  --ephemeral-ports      every listener takes a free port (printed at start)\n"
      "  --no-tls               turn TLS off on every listener\n"
      "  --rate N               override every stream's rate (records/s; 0 = as fast as possible)\n"
      "  --duration SECONDS     stop after this long (default: run until SIGINT/SIGTERM)\n"
      "  --stats-interval SEC   seconds between rate lines (default 5; 0 = none)\n"
      "  --help                 show this text\n"
      "\n"
      "The scenario's \"schedule\" lists timed actions (stop_node, restart_node,\n"
      "stop_discovery, restart_discovery, close_connections, send_malformed,\n"
      "set_faults) applied at their at_ms after start.\n"
      "\n"
      "Output: one line per listener at start ('discovery 127.0.0.1:PORT tls=on',\n"
      "'node site_type=1 priority=100 127.0.0.1:PORT tls=on'), then rate lines and\n"
      "a final 'summary:' line with records sent and the average records/s.\n",
      prog);
}

bool NeedArg(int i, int argc, const char* opt) {
  if (i + 1 >= argc) {
    std::fprintf(stderr, "qel-feed-sim: %s needs a value\n", opt);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenario_file, cert, key, bind;
  int discovery_port = -1;
  bool ephemeral = false, no_tls = false;
  double rate = -1, duration = 0, interval = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      PrintHelp(argv[0]);
      return 0;
    } else if (a == "--ephemeral-ports") {
      ephemeral = true;
    } else if (a == "--no-tls") {
      no_tls = true;
    } else if (a == "--scenario" || a == "--cert" || a == "--key" || a == "--bind" ||
               a == "--discovery-port" || a == "--rate" || a == "--duration" ||
               a == "--stats-interval") {
      if (!NeedArg(i, argc, argv[i])) return 2;
      const std::string v = argv[++i];
      if (a == "--scenario") scenario_file = v;
      else if (a == "--cert") cert = v;
      else if (a == "--key") key = v;
      else if (a == "--bind") bind = v;
      else if (a == "--discovery-port") discovery_port = std::atoi(v.c_str());
      else if (a == "--rate") rate = std::atof(v.c_str());
      else if (a == "--duration") duration = std::atof(v.c_str());
      else interval = std::atof(v.c_str());
    } else {
      std::fprintf(stderr, "qel-feed-sim: unknown option %s (try --help)\n", a.c_str());
      return 2;
    }
  }
  if (scenario_file.empty()) {
    std::fprintf(stderr, "qel-feed-sim: --scenario FILE is required (try --help)\n");
    return 2;
  }
  qel::sim::Scenario sc;
  std::string error;
  if (!qel::sim::LoadScenarioFile(scenario_file, &sc, &error)) {
    std::fprintf(stderr, "qel-feed-sim: %s\n", error.c_str());
    return 1;
  }
  if (!cert.empty()) sc.tls_cert_file = cert;
  if (!key.empty()) sc.tls_key_file = key;
  if (!bind.empty()) sc.bind_ip = bind;
  if (discovery_port >= 0) sc.discovery_port = static_cast<uint16_t>(discovery_port);
  if (ephemeral) {
    sc.discovery_port = 0;
    sc.query_port = 0;
    for (auto& n : sc.nodes) n.port = 0;
  }
  if (no_tls) {
    sc.discovery_tls = false;
    sc.query_tls = false;
    for (auto& n : sc.nodes) n.tls = false;
  }
  if (rate >= 0) {
    for (auto& s : sc.streams) s.rate_per_sec = rate;
  }

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  qel::sim::FeedSimulator sim(sc);
  if (!sim.Start()) {
    std::fprintf(stderr, "qel-feed-sim: %s\n", sim.LastError().c_str());
    return 1;
  }
  std::printf("discovery %s:%u tls=%s\n", sc.bind_ip.c_str(), sim.DiscoveryPort(),
              sc.discovery_tls ? "on" : "off");
  for (size_t i = 0; i < sc.nodes.size(); ++i) {
    const auto& n = sc.nodes[i];
    std::printf("node site_type=%d priority=%d %s:%u tls=%s\n", n.site_type, n.priority,
                sc.bind_ip.c_str(), sim.NodePortByIndex(static_cast<int>(i)),
                n.tls ? "on" : "off");
  }
  if (sc.query_enabled) {
    std::printf("query %s:%u tls=%s\n", sc.bind_ip.c_str(), sim.QueryPort(),
                sc.query_tls ? "on" : "off");
  }
  std::fflush(stdout);

  std::vector<qel::sim::ScheduledAction> schedule = sc.schedule;
  std::stable_sort(schedule.begin(), schedule.end(),
                   [](const auto& a, const auto& b) { return a.at_ms < b.at_ms; });
  size_t next_action = 0;

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last = start;
  int64_t last_records = 0;
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start).count();
    if (duration > 0 && elapsed >= duration) break;
    while (next_action < schedule.size() &&
           static_cast<double>(schedule[next_action].at_ms) <= elapsed * 1000.0) {
      const auto& a = schedule[next_action++];
      const bool ok = sim.RunAction(a);
      std::printf("action t=%.1fs #%zu %s\n", elapsed, next_action, ok ? "applied" : "failed");
      std::fflush(stdout);
    }
    if (interval > 0 && std::chrono::duration<double>(now - last).count() >= interval) {
      const auto st = sim.Stats();
      const double dt = std::chrono::duration<double>(now - last).count();
      std::printf("stats t=%.1fs connections=%lld records=%lld rate=%.0f rec/s frames=%lld\n",
                  elapsed, static_cast<long long>(st.open_datafeed_connections),
                  static_cast<long long>(st.records_sent),
                  static_cast<double>(st.records_sent - last_records) / dt,
                  static_cast<long long>(st.md_frames_sent));
      std::fflush(stdout);
      last = now;
      last_records = st.records_sent;
    }
  }
  const auto st = sim.Stats();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  sim.Stop();
  std::printf(
      "summary: elapsed=%.1fs discovery_logins=%lld/%lld datafeed_logins=%lld/%lld "
      "records=%lld frames=%lld avg_rate=%.0f rec/s\n",
      elapsed, static_cast<long long>(st.discovery_logins_ok),
      static_cast<long long>(st.discovery_logins_ok + st.discovery_logins_refused),
      static_cast<long long>(st.datafeed_logins_ok),
      static_cast<long long>(st.datafeed_logins_ok + st.datafeed_logins_refused),
      static_cast<long long>(st.records_sent), static_cast<long long>(st.md_frames_sent),
      elapsed > 0 ? static_cast<double>(st.records_sent) / elapsed : 0.0);
  return 0;
}
