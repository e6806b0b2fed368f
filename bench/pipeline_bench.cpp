// End-to-end cost of the client's data path: a feed-simulator node on
// 127.0.0.1, the real client (ClientFactory -> login through discovery ->
// subscribe by data type) and a callback in the application's place.
//
// The simulator runs in a child process (this program re-executed with the
// hidden --serve mode; its threads do not share this process's accounting and
// compete for the cores only as a real node on the same host would). The
// child answers a few commands on its standard input (records sent, a token,
// node control) and stops when that input closes; it is reaped, or killed
// after a deadline, whenever its owner goes out of scope, and dies with this
// process. Only this process is measured by the per-thread figures. The
// resident-memory-per-site-type figure is taken in fresh processes too (the
// hidden --resident mode), so no earlier run's freed heap hides what a client
// needs.
//
//  ceiling     one thread parses the same records from memory with new +
//              ParseFromArray + delete per record: what decoding alone allows.
//  throughput  the node pushes stock / order / trade records (50 a frame,
//              plain and LZ4) as fast as the socket takes them, up to a fixed
//              record count; records/s from the first to the last record
//              delivered to a counting callback, the ratio to the ceiling, the
//              loss check (delivered == sent), and the CPU time and context
//              switches per record of every thread group of this process
//              (/proc/self/task/*/schedstat and status, grouped by thread
//              name: callback workers of a site type together; threads that
//              exited during the run are the remainder of getrusage; this
//              program's main thread is shown apart and left out of the
//              totals). Target: >= 0.6 of the ceiling, nothing lost.
//  idle        a client logged in and subscribed on two site types whose
//              nodes send no data: after --settle-seconds, the CPU share of
//              one core and the context switches (wake-ups) per second of the
//              library's threads over --idle-seconds, with the thread groups
//              behind them. Targets: <= 0.5 % of one core, <= 50 wake-ups/s.
//  memory      the node pushes as fast as it can to a callback that sleeps
//              1 ms per record: peak resident memory (VmHWM) over the run and
//              the time Uninstance takes with that backlog (targets: <= 768
//              MiB and <= 3 s in every run); then the resident memory one
//              more site type costs.
//  growth      (--memory-minutes) VmRSS over minutes of steady data.
//  reconnect   node death -> first record from the backup node.
//  latency     the node holds --rate records/s (10 a frame) and stamps every
//              record with CLOCK_MONOTONIC at send time. In each run the same
//              sender process first serves a bare blocking reader (a plain
//              socket and recv loop in this process, no library: the floor),
//              then the client: p50/p99/p99.9 of stamp -> frame read and of
//              stamp -> callback, and their ratios (targets: p50 <= 2x, p99
//              <= 3x the bare reader's). The sender paces with libevent's
//              precise timer (see ChildProcess), so frames leave every
//              millisecond rather than in bursts at the kernel's tick.
//
// Each measurement runs --runs times; figures are given as the median with
// the minimum and maximum of the runs, "median (min..max)". The load average
// is printed at the start and at the end.
//
//   pipeline_bench [--runs N] [--records N] [--memory-seconds S]
//                  [--latency-seconds S] [--rate R] [--idle-seconds S]
//                  [--settle-seconds S] [--threads N] [--idle-us N]
//                  [--inflight-mib N] [--kind stock|order|trade|all]
//                  [--memory-minutes M] [--reconnect-runs N]
//                  [--pace-backlog-ms N]
//                  [--only ceiling|throughput|idle|memory|growth|reconnect|latency]
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MarketData.pb.h"
#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "config/base_config.h"
#include "discovery_client/discovery_client.h"
#include "feed_sim.h"
#include "feed_sim/wire_client.h"
#include "message_handle.h"
#include "sim_frame.h"
#include "sim_records.h"

namespace {

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using Clock = std::chrono::steady_clock;

constexpr int kDataType = 3;
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "pw";
// Records a frame of the latency stream.
constexpr int kLatencyBatch = 10;

struct Options {
  int runs = 3;
  int64_t records = 1000000;   // records of one throughput run
  double memory_seconds = 8;   // the sleeping-callback memory run
  double latency_seconds = 5;  // one latency run (each of bare reader and client)
  double rate = 100000;        // records/s of the latency run
  double idle_seconds = 5;     // measured window of one idle run
  double settle_seconds = 2;   // wait after subscribing before the idle window
  int threads = 0;             // callback workers; 0 = the library's default
  int idle_us = -1;            // pipeline idle sleep; -1 = the library's default
  int inflight_mib = 0;        // payload bytes in flight per site type; 0 = the library's default
  int spins = -1;              // idle back-off spin rounds; -1 = the library's default
  int yields = -1;             // idle back-off yields; -1 = the library's default
  std::string only;
  std::string kind = "all";    // stock | order | trade | all: record kinds of ceiling and throughput
  double memory_minutes = 0;   // length of the memory growth run; 0 = none
  int reconnect_runs = 5;      // node deaths timed by the reconnect run
  // Catch-up allowed to the paced stream of the latency runs: ten pacing
  // ticks (1000 lets a stall of the simulator out as a burst of a second; 2
  // loses records to the loop timers' jitter, so the stream falls short of its rate).
  int pace_backlog_ms = 10;
};

int64_t MonotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median, minimum and maximum of one figure over the runs.
struct Spread {
  double med = 0, min = 0, max = 0;
  size_t n = 0;
};

Spread SpreadOf(const std::vector<double>& v) {
  Spread s;
  if (v.empty()) return s;
  s.med = Median(v);
  s.min = *std::min_element(v.begin(), v.end());
  s.max = *std::max_element(v.begin(), v.end());
  s.n = v.size();
  return s;
}

// "median (min..max)" with the given printf precision, e.g. "%.1f".
std::string Fmt(const Spread& s, const char* number_format, double scale = 1) {
  char med[64], lo[64], hi[64], out[224];
  std::snprintf(med, sizeof med, number_format, s.med * scale);
  if (s.n <= 1) return med;
  std::snprintf(lo, sizeof lo, number_format, s.min * scale);
  std::snprintf(hi, sizeof hi, number_format, s.max * scale);
  std::snprintf(out, sizeof out, "%s (%s..%s)", med, lo, hi);
  return out;
}

// Value at quantile q of sorted samples (nearest rank).
int64_t Quantile(const std::vector<int64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size()));
  if (i >= sorted.size()) i = sorted.size() - 1;
  return sorted[i];
}

long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, n, key) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
  }
  return -1;
}

// Resets VmHWM to the current resident set, so each run reports its own peak.
void ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string one, five, fifteen;
  f >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ---- per-thread CPU time and context switches --------------------------------

// One thread's counters: CPU time on a core (schedstat field 1) and context
// switches (status), with its name (comm).
struct TaskCounters {
  std::string name;
  int64_t cpu_ns = 0;
  int64_t voluntary = 0;
  int64_t involuntary = 0;
};

// Every live thread of this process at one moment, plus the process totals
// of getrusage, which also hold the threads that have exited.
struct ProcessSnapshot {
  std::map<long, TaskCounters> tasks;  // by thread id
  int64_t wall_ns = 0;
  int64_t total_cpu_ns = 0;
  int64_t total_switches = 0;
};

std::string ReadFirstLine(const std::string& path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return line;
}

ProcessSnapshot TakeSnapshot() {
  ProcessSnapshot s;
  s.wall_ns = MonotonicNanos();
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      const std::string base = std::string("/proc/self/task/") + e->d_name;
      TaskCounters t;
      t.name = ReadFirstLine(base + "/comm");
      const std::string sched = ReadFirstLine(base + "/schedstat");
      if (sched.empty()) continue;  // exited while listed
      t.cpu_ns = std::strtoll(sched.c_str(), nullptr, 10);
      std::ifstream status(base + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) {
          t.voluntary = std::strtoll(line.c_str() + 24, nullptr, 10);
        } else if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0) {
          t.involuntary = std::strtoll(line.c_str() + 27, nullptr, 10);
        }
      }
      s.tasks[std::strtol(e->d_name, nullptr, 10)] = t;
    }
    closedir(dir);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  s.total_cpu_ns = (static_cast<int64_t>(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000000 +
                   (static_cast<int64_t>(ru.ru_utime.tv_usec) + ru.ru_stime.tv_usec) * 1000;
  s.total_switches = ru.ru_nvcsw + ru.ru_nivcsw;
  return s;
}

constexpr const char* kMainGroup = "main (bench)";

// The name this program's threads start with (the library names its own).
std::string g_process_name;  // set once at the start of main

// Group of a thread: the main thread, the threads nobody named (they carry
// the program's name), the callback workers of one site type together
// ("qel-work-<site>-<i>" -> "qel-work-<site>-*"), any other named thread by
// its name.
std::string GroupOf(long tid, const std::string& name) {
  if (tid == static_cast<long>(getpid())) return kMainGroup;
  if (name == g_process_name) return "unnamed";
  if (name.compare(0, 9, "qel-work-") == 0) {
    const size_t dash = name.rfind('-');
    if (dash > 8) return name.substr(0, dash) + "-*";
  }
  return name;
}

struct GroupDelta {
  int64_t cpu_ns = 0;
  int64_t voluntary = 0;
  int64_t involuntary = 0;
  int threads = 0;   // alive at the end
  int appeared = 0;  // of those, created during the window
};

struct ProcessDelta {
  std::map<std::string, GroupDelta> groups;
  double seconds = 0;
  // Every thread but the main thread's, exited ones included (getrusage).
  int64_t total_cpu_ns = 0;
  int64_t total_switches = 0;
  int exited = 0;              // threads alive at the start and gone at the end
};

// What each thread group used between two snapshots. Threads that exited in
// between are known only through the process totals: what the totals hold
// beyond the live threads is reported as the group "exited threads".
ProcessDelta Difference(const ProcessSnapshot& a, const ProcessSnapshot& b) {
  ProcessDelta d;
  d.seconds = static_cast<double>(b.wall_ns - a.wall_ns) / 1e9;
  d.total_cpu_ns = b.total_cpu_ns - a.total_cpu_ns;
  d.total_switches = b.total_switches - a.total_switches;
  int64_t live_cpu = 0, live_switches = 0;
  for (const auto& [tid, after] : b.tasks) {
    GroupDelta& g = d.groups[GroupOf(tid, after.name)];
    TaskCounters before;
    const auto was = a.tasks.find(tid);
    if (was != a.tasks.end()) {
      before = was->second;
    } else {
      ++g.appeared;
    }
    g.cpu_ns += after.cpu_ns - before.cpu_ns;
    g.voluntary += after.voluntary - before.voluntary;
    g.involuntary += after.involuntary - before.involuntary;
    ++g.threads;
    live_cpu += after.cpu_ns - before.cpu_ns;
    live_switches += after.voluntary - before.voluntary + after.involuntary - before.involuntary;
  }
  for (const auto& [tid, before] : a.tasks) {
    if (b.tasks.count(tid) == 0) ++d.exited;
  }
  if (d.exited > 0) {
    GroupDelta& g = d.groups["exited threads"];
    g.threads = d.exited;
    g.cpu_ns = std::max<int64_t>(0, d.total_cpu_ns - live_cpu);
    g.voluntary = std::max<int64_t>(0, d.total_switches - live_switches);
  } else {
    // Every thread was seen at both ends: the per-thread counters (CPU time
    // in nanoseconds) are exact where the process's own is in clock ticks.
    d.total_cpu_ns = live_cpu;
    d.total_switches = live_switches;
  }
  // The totals are the client's: this program's main thread only polls and
  // reads these counters, so it is shown as its own group and left out.
  const auto main_thread = d.groups.find(kMainGroup);
  if (main_thread != d.groups.end()) {
    d.total_cpu_ns -= main_thread->second.cpu_ns;
    d.total_switches -= main_thread->second.voluntary + main_thread->second.involuntary;
  }
  return d;
}

// Per-run values of each thread group's figures, for median/min/max.
struct GroupSeries {
  std::map<std::string, std::vector<double>> cpu, switches;
  std::map<std::string, int> threads;   // most at the end of a run
  std::map<std::string, int> appeared;  // most created during a run
  std::vector<double> total_cpu, total_switches;

  // Adds one run, each figure divided by `per` (records, or seconds).
  void Add(const ProcessDelta& d, double per) {
    for (const auto& [name, g] : d.groups) {
      cpu[name].push_back(static_cast<double>(g.cpu_ns) / per);
      switches[name].push_back(static_cast<double>(g.voluntary + g.involuntary) / per);
      threads[name] = std::max(threads[name], g.threads);
      appeared[name] = std::max(appeared[name], g.appeared);
    }
    total_cpu.push_back(static_cast<double>(d.total_cpu_ns) / per);
    total_switches.push_back(static_cast<double>(d.total_switches) / per);
  }
  // Group names, most CPU first (by median).
  std::vector<std::string> ByCpu() const {
    std::vector<std::pair<double, std::string>> v;
    for (const auto& [name, values] : cpu) v.emplace_back(Median(values), name);
    std::sort(v.rbegin(), v.rend());
    std::vector<std::string> out;
    for (const auto& p : v) out.push_back(p.second);
    return out;
  }
  // A group missing from some runs counts 0 in them.
  Spread CpuOf(const std::string& name, size_t runs) const { return Padded(cpu.at(name), runs); }
  Spread SwitchesOf(const std::string& name, size_t runs) const { return Padded(switches.at(name), runs); }

 private:
  static Spread Padded(std::vector<double> v, size_t runs) {
    v.resize(std::max(v.size(), runs), 0);
    return SpreadOf(v);
  }
};

// One line per thread group: CPU and switches per `unit`.
void PrintGroups(const char* what, const GroupSeries& s, const char* unit, const char* cpu_format,
                 const char* cpu_unit, double cpu_scale, const char* switches_format) {
  const size_t runs = s.total_cpu.size();
  std::printf("%s, per %s, by thread group (median (min..max) of %zu runs):\n", what, unit, runs);
  for (const std::string& name : s.ByCpu()) {
    const int created = s.appeared.at(name);
    std::printf("  %-20s threads %2d  cpu %s %s  switches %s%s\n", name.c_str(), s.threads.at(name),
                Fmt(s.CpuOf(name, runs), cpu_format, cpu_scale).c_str(), cpu_unit,
                Fmt(s.SwitchesOf(name, runs), switches_format).c_str(),
                created > 0 ? (" (" + std::to_string(created) + " created during the run)").c_str() : "");
  }
  std::printf("  %-20s             cpu %s %s  switches %s\n", "all but main (bench)",
              Fmt(SpreadOf(s.total_cpu), cpu_format, cpu_scale).c_str(), cpu_unit,
              Fmt(SpreadOf(s.total_switches), switches_format).c_str());
}

// ---- the simulator in a child process ----------------------------------------

std::string JsonQuote(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The scenario as the simulator's JSON scenario format reads it (the fields
// this program sets).
std::string ScenarioJson(const sim::Scenario& sc) {
  std::ostringstream j;
  j.precision(17);
  j << "{\"bind_ip\":\"127.0.0.1\",\"pace_tick_us\":" << sc.pace_tick_us
    << ",\"pace_max_backlog_ms\":" << sc.pace_max_backlog_ms << ",\"discovery\":{\"port\":0,\"tls\":false}"
    << ",\"users\":{";
  bool first = true;
  for (const auto& [name, password] : sc.users) {
    j << (first ? "" : ",") << JsonQuote(name) << ":" << JsonQuote(password);
    first = false;
  }
  j << "},\"nodes\":[";
  for (size_t i = 0; i < sc.nodes.size(); ++i) {
    const sim::NodeSpec& n = sc.nodes[i];
    j << (i ? "," : "") << "{\"site_type\":" << n.site_type << ",\"priority\":" << n.priority
      << ",\"tls\":false,\"port\":0}";
  }
  j << "],\"streams\":[";
  for (size_t i = 0; i < sc.streams.size(); ++i) {
    const sim::StreamSpec& s = sc.streams[i];
    j << (i ? "," : "") << "{\"site_type\":" << s.site_type << ",\"data_type\":" << s.data_type
      << ",\"record\":" << JsonQuote(sim::RecordKindName(s.record_kind)) << ",\"rate_per_sec\":" << s.rate_per_sec
      << ",\"batch\":" << s.batch << ",\"lz4\":" << (s.lz4 ? "true" : "false")
      << ",\"max_records\":" << s.max_records << ",\"queue_levels\":" << s.queue_levels << ",\"send_stamp\":\""
      << (s.send_stamp == sim::StreamSpec::SendStamp::kMonotonic  ? "monotonic"
          : s.send_stamp == sim::StreamSpec::SendStamp::kRealtime ? "realtime"
                                                                   : "none")
      << "\",\"channels\":[";
    for (size_t k = 0; k < s.channels.size(); ++k) j << (k ? "," : "") << s.channels[k];
    j << "],\"security_ids\":[";
    for (size_t k = 0; k < s.security_ids.size(); ++k) j << (k ? "," : "") << JsonQuote(s.security_ids[k]);
    j << "]}";
  }
  j << "]}";
  return j.str();
}

// The --serve mode, in the child: runs the scenario and answers one command a
// line on standard input until it closes:
//   sent          -> records sent on every connection so far
//   token         -> a datafeed token for the bench user
//   live          -> node index of an open, logged-in datafeed connection, or -1
//   stop N        -> stops node N ("ok" / "failed")
//   restart N     -> restarts node N ("ok" / "failed")
// First line written: "ready <discovery port> <port of node 0> ..." or
// "error <reason>".
int ServeMain(const char* scenario_json) {
  sim::Scenario scenario;
  std::string error;
  if (!sim::ParseScenarioJson(scenario_json, &scenario, &error)) {
    std::printf("error scenario: %s\n", error.c_str());
    return 1;
  }
  scenario.log = [](const std::string&) {};  // connection chatter would bury the results
  sim::FeedSimulator feed(scenario);
  if (!feed.Start()) {
    std::printf("error %s\n", feed.LastError().c_str());
    return 1;
  }
  std::printf("ready %u", static_cast<unsigned>(feed.DiscoveryPort()));
  for (size_t i = 0; i < scenario.nodes.size(); ++i) {
    std::printf(" %u", static_cast<unsigned>(feed.NodePortByIndex(static_cast<int>(i))));
  }
  std::printf("\n");
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    int node = -1;
    in >> command >> node;
    if (command == "sent") {
      std::printf("%lld\n", static_cast<long long>(feed.Stats().records_sent));
    } else if (command == "token") {
      std::printf("%s\n", feed.IssueToken(kUser).c_str());
    } else if (command == "live") {
      int live = -1;
      for (const sim::ConnectionStats& c : feed.Stats().connections) {
        if (c.open && !c.discovery && c.logged_in) live = c.node_index;
      }
      std::printf("%d\n", live);
    } else if (command == "stop") {
      std::printf("%s\n", feed.StopNode(node) ? "ok" : "failed");
    } else if (command == "restart") {
      std::printf("%s\n", feed.RestartNode(node) ? "ok" : "failed");
    } else {
      std::printf("unknown\n");
    }
    std::fflush(stdout);
  }
  feed.Stop();
  return 0;
}

// This program re-executed in a hidden mode, as a child process with its
// standard input and output on pipes (a fresh process: forking one whose
// threads may hold locks is not safe for more than an exec). It dies with
// this process; the destructor closes its input (the child's signal to end),
// waits a few seconds and then kills it, and reaps it on every path. Owned
// and called by one thread.
class ChildProcess {
 public:
  // `args` follow the program's path; `precise_timers` starts the child with
  // EVENT_PRECISE_TIMER=1 in its environment.
  ChildProcess(const std::vector<std::string>& args, bool precise_timers) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) {
      m_error = std::string("pipe: ") + std::strerror(errno);
      return;
    }
    if (pipe2(from_child, O_CLOEXEC) != 0) {
      m_error = std::string("pipe: ") + std::strerror(errno);
      close(to_child[0]);
      close(to_child[1]);
      return;
    }
    // Everything exec needs is built before fork: the child may only make
    // async-signal-safe calls.
    std::vector<std::string> arg_strings{"/proc/self/exe"};
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : arg_strings) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    // libevent reads the coarse monotonic clock unless told otherwise; with a
    // 4 ms kernel tick a paced stream's 1 ms timer then fires every 4 ms and
    // the node sends 4 ms of records in one burst. A sender keeps its timers
    // to the millisecond, as a node producing records as they come would.
    std::vector<std::string> env_strings;
    if (precise_timers) env_strings.emplace_back("EVENT_PRECISE_TIMER=1");
    for (char** e = environ; *e != nullptr; ++e) {
      if (!precise_timers || std::strncmp(*e, "EVENT_PRECISE_TIMER=", 20) != 0) env_strings.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env_strings) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(to_child[0], 0);
      dup2(from_child[1], 1);
      syscall(SYS_close_range, 3U, ~0U, 0U);  // no socket of the client's stays open in the child
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    m_to = to_child[1];
    m_from = from_child[0];
    if (m_pid < 0) m_error = std::string("fork: ") + std::strerror(errno);
  }

  ~ChildProcess() {
    if (m_to >= 0) close(m_to);
    if (m_pid > 0) {
      const auto deadline = Clock::now() + std::chrono::seconds(5);
      int status = 0;
      pid_t done = 0;
      while ((done = waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (done == 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
      }
    }
    if (m_from >= 0) close(m_from);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return m_pid > 0; }
  const std::string& error() const { return m_error; }

  // One line to the child's input; false if it is gone.
  bool WriteLine(const std::string& text) {
    const std::string line = text + "\n";
    return m_to >= 0 && write(m_to, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  // The child's next output line, without its end; "" at end of output or
  // when nothing whole arrives within the timeout.
  std::string ReadLine(double timeout_s) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
      const size_t end = m_buffer.find('\n');
      if (end != std::string::npos) {
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || m_from < 0) return "";
      pollfd p{m_from, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      const ssize_t n = read(m_from, buf, sizeof buf);
      if (n <= 0) return "";
      m_buffer.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  pid_t m_pid = -1;
  int m_to = -1;    // the child's standard input
  int m_from = -1;  // the child's standard output
  std::string m_buffer;
  std::string m_error;
};

// A simulator running a scenario in a child process (--serve mode). Owned and
// called by one thread.
class SimProcess {
 public:
  explicit SimProcess(const sim::Scenario& scenario)
      : m_nodes(scenario.nodes), m_child({"--serve", ScenarioJson(scenario)}, true) {
    if (!m_child.started()) {
      m_error = m_child.error();
      return;
    }
    const std::string ready = m_child.ReadLine(10.0);
    std::istringstream in(ready);
    std::string word;
    in >> word;
    if (word != "ready") {
      m_error = "simulator process: " + (ready.empty() ? std::string("no answer") : ready);
      return;
    }
    unsigned port = 0;
    in >> port;
    m_discovery_port = static_cast<uint16_t>(port);
    while (in >> port) m_node_ports.push_back(static_cast<uint16_t>(port));
    m_ok = m_node_ports.size() == m_nodes.size();
    if (!m_ok) m_error = "simulator process: " + ready;
  }

  bool ok() const { return m_ok; }
  const std::string& error() const { return m_error; }
  uint16_t DiscoveryPort() const { return m_discovery_port; }
  uint16_t NodePort(int node_index) const { return m_node_ports.at(static_cast<size_t>(node_index)); }

  // One command, one answer line ("" when the child does not answer in time).
  std::string Ask(const std::string& command, double timeout_s = 10) {
    return m_child.WriteLine(command) ? m_child.ReadLine(timeout_s) : "";
  }
  int64_t RecordsSent() {
    const std::string a = Ask("sent");
    return a.empty() ? -1 : std::strtoll(a.c_str(), nullptr, 10);
  }

 private:
  std::vector<sim::NodeSpec> m_nodes;
  ChildProcess m_child;
  bool m_ok = false;
  std::string m_error;
  uint16_t m_discovery_port = 0;
  std::vector<uint16_t> m_node_ports;
};

sim::Scenario MakeScenario(std::vector<sim::StreamSpec> streams, std::vector<sim::NodeSpec> nodes,
                           int pace_tick_us = 10000, int pace_max_backlog_ms = 1000) {
  sim::Scenario scenario;
  scenario.pace_tick_us = pace_tick_us;
  scenario.pace_max_backlog_ms = pace_max_backlog_ms;
  scenario.users = {{kUser, kPassword}};
  scenario.nodes = std::move(nodes);
  scenario.streams = std::move(streams);
  return scenario;
}

// The streams measured: one record kind on four channels, 64 securities, 50
// records a frame; snapshots carry 10-level queues.
sim::StreamSpec KindStream(int record_kind, bool lz4) {
  sim::StreamSpec s;
  s.site_type = 1;
  s.data_type = kDataType;
  s.record_kind = record_kind;
  s.channels = {1, 2, 3, 4};
  for (int i = 0; i < 64; ++i) s.security_ids.push_back(std::to_string(600000 + i) + ".SH");
  s.batch = 50;
  s.queue_levels = 10;
  s.lz4 = lz4;
  return s;
}

sim::StreamSpec StockStream(bool lz4) { return KindStream(sim::kQELStock, lz4); }

// The stamped stock stream of the latency runs.
sim::StreamSpec LatencyStream(double rate) {
  sim::StreamSpec s = StockStream(false);
  s.rate_per_sec = rate;
  s.batch = kLatencyBatch;
  s.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  return s;
}

// Short names of the record kinds measured, for options and result lines.
const char* KindName(int record_kind) {
  switch (record_kind) {
    case sim::kQELStock: return "stock";
    case sim::kQELOrder: return "order";
    case sim::kQELTrade: return "trade";
    default: return "?";
  }
}

// The simulator's per-channel sequence of a stock, order or trade record,
// through the generated accessors (no reflection on the measured path).
int64_t SequenceOf(const qm::MarketData& r) {
  if (r.has_qelstock()) return r.qelstock().numtrades();
  if (r.has_qelorder()) return r.qelorder().applseqnum();
  if (r.has_qeltrade()) return r.qeltrade().applseqnum();
  return -1;
}

// Application callbacks: count, optionally sleep, optionally sample latency.
// Called on the library's callback workers, several at once.
class BenchHandle : public qc::MessageHandle {
 public:
  explicit BenchHandle(int sleep_us = 0, size_t latency_room = 0, int64_t target = 0)
      : m_sleep_us(sleep_us), m_target(target), m_samples(latency_room), m_positions(latency_room) {}
  void OnMarketData(const qm::MarketData& record) override {
    const int64_t now = m_samples.empty() ? 0 : MonotonicNanos();
    const int64_t count = m_count.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count == 1) m_first_ns.store(MonotonicNanos(), std::memory_order_relaxed);
    if (count == m_target) m_target_ns.store(MonotonicNanos(), std::memory_order_relaxed);
    if (!m_samples.empty() && m_sampling.load(std::memory_order_relaxed)) {
      const int64_t stamp = record.qelstock().highprecisiontimestamp1();
      const size_t i = m_next_sample.fetch_add(1, std::memory_order_relaxed);
      if (i < m_samples.size()) {
        m_samples[i] = now - stamp;
        // Place in its frame: a channel's frames hold kLatencyBatch records each.
        m_positions[i] = static_cast<uint8_t>((record.qelstock().numtrades() - 1) % kLatencyBatch);
      }
    }
    const int64_t after = m_stamped_after.load(std::memory_order_relaxed);
    if (after > 0 && record.qelstock().highprecisiontimestamp1() >= after) {
      int64_t none = 0;
      m_first_after_ns.compare_exchange_strong(none, MonotonicNanos(), std::memory_order_relaxed);
    }
    if (m_sleep_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(m_sleep_us));
  }
  // From now on, notes when the first record sent at or after `stamp_ns`
  // (monotonic send stamp) reaches the callback.
  void WatchForStampAfter(int64_t stamp_ns) {
    m_first_after_ns.store(0, std::memory_order_relaxed);
    m_stamped_after.store(stamp_ns, std::memory_order_relaxed);
  }
  int64_t FirstAfterNanos() const { return m_first_after_ns.load(std::memory_order_relaxed); }
  int64_t Count() const { return m_count.load(std::memory_order_relaxed); }
  int64_t FirstNanos() const { return m_first_ns.load(std::memory_order_relaxed); }
  // Callback time of the target-th record; 0 until it arrived.
  int64_t TargetNanos() const { return m_target_ns.load(std::memory_order_relaxed); }
  void SetSampling(bool on) { m_sampling.store(on, std::memory_order_relaxed); }
  // Latency samples taken while sampling was on, sorted (call after delivery stops).
  std::vector<int64_t> SortedSamples() const {
    const size_t n = std::min(m_next_sample.load(), m_samples.size());
    std::vector<int64_t> v(m_samples.begin(), m_samples.begin() + static_cast<std::ptrdiff_t>(n));
    std::sort(v.begin(), v.end());
    return v;
  }
  // Sorted samples of the records at one place in their frame.
  std::vector<int64_t> SortedSamplesAt(uint8_t position) const {
    const size_t n = std::min(m_next_sample.load(), m_samples.size());
    std::vector<int64_t> v;
    for (size_t i = 0; i < n; ++i) {
      if (m_positions[i] == position) v.push_back(m_samples[i]);
    }
    std::sort(v.begin(), v.end());
    return v;
  }

 private:
  const int m_sleep_us;
  const int64_t m_target;                  // count whose arrival time is noted; 0 = none
  std::atomic<int64_t> m_count{0};
  std::atomic<int64_t> m_first_ns{0};
  std::atomic<int64_t> m_target_ns{0};
  std::atomic<bool> m_sampling{false};
  std::vector<int64_t> m_samples;          // slots claimed through m_next_sample
  std::vector<uint8_t> m_positions;        // place of each sample's record in its frame
  std::atomic<size_t> m_next_sample{0};
  std::atomic<int64_t> m_stamped_after{0};    // 0: not watching
  std::atomic<int64_t> m_first_after_ns{0};   // callback time of the first such record
};

// One logged-in, subscribed client against a simulator process; Uninstance
// on End() or scope exit. Owned by the main thread.
class Session {
 public:
  // The client subscribes to kDataType on every site type. `before_subscribe`,
  // if set, runs once the client is logged in, just before it subscribes.
  Session(SimProcess& feed, BenchHandle* handle, const std::function<void()>& before_subscribe = {}) {
    if (!feed.ok()) {
      m_error = feed.error();
      return;
    }
    qc::ClientInterface* iface = qc::ClientFactory::Instance()->CreateClient(handle);
    auto* client = dynamic_cast<qc::VentrixTcpClient*>(iface);
    if (client == nullptr) {
      m_error = "no client";
      return;
    }
    // The 5-second settling pause after login is for applications; the data
    // path measured here starts with the subscription.
    client->SetLoginPauseForTest(std::chrono::milliseconds(0));
    client->GetDiscoveryClient()->SetHostRetryPauseForTest(0);
    const auto login_start = Clock::now();
    int rc = client->LoginByServiceDiscovery(kUser, kPassword, "127.0.0.1", feed.DiscoveryPort(), {});
    m_login_s = std::chrono::duration<double>(Clock::now() - login_start).count();
    if (rc != 0) {
      m_error = "login failed, code " + std::to_string(rc);
      return;
    }
    if (before_subscribe) before_subscribe();
    qm::SubscribeByDataType by_type;
    by_type.add_qeldatatypes(kDataType);
    const auto subscribe_start = Clock::now();
    rc = client->SubscribeByDatatype(qm::COVERAGE, by_type);
    m_subscribe_s = std::chrono::duration<double>(Clock::now() - subscribe_start).count();
    if (rc != 0) {
      m_error = "subscribe failed, code " + std::to_string(rc);
      return;
    }
    m_ok = true;
  }
  ~Session() { End(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Uninstance; seconds it took (0 when already ended).
  double End() {
    if (m_ended) return 0;
    m_ended = true;
    const auto start = Clock::now();
    qc::ClientFactory::Uninstance();
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
  bool ok() const { return m_ok; }
  const std::string& error() const { return m_error; }
  // Seconds the login (discovery and every site type's node) and the
  // subscription took.
  double login_s() const { return m_login_s; }
  double subscribe_s() const { return m_subscribe_s; }

 private:
  double m_login_s = 0;
  double m_subscribe_s = 0;
  bool m_ok = false;
  bool m_ended = false;
  std::string m_error;
};

// ---- ceiling ---------------------------------------------------------------

// The records a stream sends, serialised back to back with their lengths.
struct RecordSet {
  std::string bytes;
  std::vector<std::pair<size_t, size_t>> spans;  // offset, length
};

RecordSet BuildRecords(const sim::StreamSpec& s, size_t count) {
  std::vector<sim::RecordTemplate> templates(s.security_ids.size());
  for (size_t j = 0; j < s.security_ids.size(); ++j) {
    std::string err;
    if (!sim::RecordTemplate::Build(s, s.security_ids[j], s.channels[j % s.channels.size()], &templates[j], &err)) {
      std::fprintf(stderr, "record template: %s\n", err.c_str());
      std::exit(1);
    }
  }
  RecordSet set;
  for (size_t i = 0; i < count; ++i) {
    const sim::RecordTemplate& t = templates[i % templates.size()];
    const int64_t seq = static_cast<int64_t>(i / templates.size()) + 1;
    const size_t off = set.bytes.size();
    set.bytes.resize(off + t.EncodedSize(seq));
    t.Encode(seq, &set.bytes[off]);
    set.spans.emplace_back(off, t.EncodedSize(seq));
  }
  return set;
}

// Records/s of new + ParseFromArray + delete over the set for about `seconds`.
double DecodeCeiling(const RecordSet& set, double seconds) {
  int64_t parsed = 0;
  int64_t check = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (const auto& span : set.spans) {
      auto* record = new qm::MarketData();
      if (!record->ParseFromArray(set.bytes.data() + span.first, static_cast<int>(span.second))) {
        std::fprintf(stderr, "ceiling: a record does not parse\n");
        std::exit(1);
      }
      check += SequenceOf(*record);
      delete record;
    }
    parsed += static_cast<int64_t>(set.spans.size());
  }
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  if (check == 0) std::fprintf(stderr, "ceiling: no sequence numbers read\n");
  return static_cast<double>(parsed) / secs;
}

// ---- throughput ------------------------------------------------------------

struct ThroughputResult {
  bool ok = false;
  double rate = 0;
  int64_t delivered = 0;
  int64_t sent = 0;
  double peak_rss_mib = 0;
  ProcessDelta cpu;  // from the subscription to the last record delivered
};

ThroughputResult RunThroughput(int record_kind, bool lz4, int64_t records, double timeout_s) {
  ThroughputResult r;
  ResetPeakResident();
  sim::StreamSpec stream = KindStream(record_kind, lz4);
  stream.max_records = records;
  SimProcess feed(MakeScenario({stream}, {{1, 100, false, 0}}));
  BenchHandle handle(0, 0, records);
  ProcessSnapshot before;
  Session session(feed, &handle, [&before] { before = TakeSnapshot(); });
  if (!session.ok()) {
    std::fprintf(stderr, "throughput: %s\n", session.error().c_str());
    return r;
  }
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
  // Coarse polling: the figures come from the callback's own clock reads, and
  // this thread's wake-ups count against the process.
  while (handle.TargetNanos() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const int64_t last_ns = handle.TargetNanos();
  r.cpu = Difference(before, TakeSnapshot());
  // Anything beyond the stream's end would show up as a surplus.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  r.delivered = handle.Count();
  r.sent = feed.RecordsSent();
  r.peak_rss_mib = static_cast<double>(StatusKiB("VmHWM:")) / 1024;
  if (last_ns == 0) return r;
  r.rate = static_cast<double>(records) * 1e9 / static_cast<double>(last_ns - handle.FirstNanos());
  r.ok = r.delivered == r.sent && r.sent == records;
  return r;
}

// ---- idle ------------------------------------------------------------------

struct IdleResult {
  bool ok = false;
  ProcessDelta cpu;
  double login_s = 0;      // login through discovery onto both nodes
  double subscribe_s = 0;  // subscription on both site types
};

// Two site types, a node each, no stream: logged in and subscribed, nothing
// to deliver. What the process spends over `seconds` after `settle_s`.
IdleResult RunIdle(double settle_s, double seconds) {
  IdleResult r;
  SimProcess feed(MakeScenario({}, {{1, 100, false, 0}, {2, 100, false, 0}}));
  BenchHandle handle;
  Session session(feed, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "idle: %s\n", session.error().c_str());
    return r;
  }
  r.login_s = session.login_s();
  r.subscribe_s = session.subscribe_s();
  std::this_thread::sleep_for(std::chrono::duration<double>(settle_s));
  const ProcessSnapshot before = TakeSnapshot();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  r.cpu = Difference(before, TakeSnapshot());
  r.ok = handle.Count() == 0;
  if (!r.ok) std::fprintf(stderr, "idle: %lld records arrived\n", static_cast<long long>(handle.Count()));
  return r;
}

// ---- memory ----------------------------------------------------------------

struct MemoryResult {
  bool ok = false;
  double peak_rss_mib = 0;
  double uninstance_s = 0;
  int64_t delivered = 0;
  int64_t sent = 0;
};

MemoryResult RunMemory(int sleep_us, double seconds) {
  MemoryResult r;
  ResetPeakResident();
  SimProcess feed(MakeScenario({StockStream(false)}, {{1, 100, false, 0}}));
  BenchHandle handle(sleep_us);
  Session session(feed, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "memory: %s\n", session.error().c_str());
    return r;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  r.sent = feed.RecordsSent();
  r.delivered = handle.Count();
  r.uninstance_s = session.End();
  r.peak_rss_mib = static_cast<double>(StatusKiB("VmHWM:")) / 1024;
  r.ok = true;
  return r;
}

// ---- latency ---------------------------------------------------------------

struct LatencyFigures {
  bool ok = false;
  double p50_us = 0, p99_us = 0, p999_us = 0, max_us = 0;
  size_t samples = 0;
  double rate = 0;  // records/s read while sampling
  // Bare reader only: how the sender's frames arrived. Reads per second that
  // returned frames, frames per such read (p50) and the spread of send stamps
  // within one read (p50, us): a sender that writes frames in bursts shows
  // many frames per read, and its burst's first frame waits for the rest.
  double reads_per_s = 0;
  int64_t frames_per_read_p50 = 0;
  double burst_spread_p50_us = 0;
};

LatencyFigures FiguresOf(const std::vector<int64_t>& sorted, double seconds) {
  LatencyFigures f;
  if (sorted.empty()) return f;
  f.samples = sorted.size();
  f.p50_us = static_cast<double>(Quantile(sorted, 0.50)) / 1000;
  f.p99_us = static_cast<double>(Quantile(sorted, 0.99)) / 1000;
  f.p999_us = static_cast<double>(Quantile(sorted, 0.999)) / 1000;
  f.max_us = static_cast<double>(sorted.back()) / 1000;
  f.rate = static_cast<double>(sorted.size()) / seconds;
  f.ok = true;
  return f;
}

struct LatencyResult {
  LatencyFigures client;
  double first_p50_us = 0, last_p50_us = 0;  // first and last record of a frame
};

constexpr double kLatencyWarmup = 1.0;

LatencyResult RunLatency(SimProcess& feed, double rate, double seconds) {
  LatencyResult r;
  BenchHandle handle(0, static_cast<size_t>(rate * (seconds + 1) * 1.2) + 1024);
  Session session(feed, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "latency: %s\n", session.error().c_str());
    return r;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(kLatencyWarmup));
  handle.SetSampling(true);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  handle.SetSampling(false);
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  r.client = FiguresOf(handle.SortedSamples(), secs);
  r.first_p50_us = static_cast<double>(Quantile(handle.SortedSamplesAt(0), 0.50)) / 1000;
  r.last_p50_us = static_cast<double>(Quantile(handle.SortedSamplesAt(kLatencyBatch - 1), 0.50)) / 1000;
  return r;
}

// The floor: the same stamped stream from the same sender, read by a bare
// blocking reader in this process: a plain TCP socket, one recv of up to
// 256 KiB at a time and the simulator's frame cutter (the tests' frame
// helpers write login and subscribe); no library. Every record of a frame
// read by a recv gets one sample: the time that recv returned minus the
// frame's send stamp (the sender stamps once per frame, so only the first
// record is parsed, and the loop does little more than wait in recv).
LatencyFigures BareReaderLatency(SimProcess& feed, double seconds) {
  const std::string token = feed.Ask("token");
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
  } closer{fd};
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{5, 0};  // a sender that stops sending ends the loop
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(feed.NodePort(0));
  sim::FrameCutter cutter;
  sim::Frame frame;
  std::string why;
  qm::MetaData meta;
  std::vector<char> buf(256 * 1024);
  // Reads until a frame of `type` arrived; data frames before it are dropped.
  auto await = [&](qm::ESysMessageType type) {
    for (;;) {
      for (;;) {
        const sim::FrameCutter::Status st = cutter.Next(&frame, &why);
        if (st == sim::FrameCutter::Status::kError) return false;
        if (st == sim::FrameCutter::Status::kNeedMore) break;
        if (meta.ParseFromString(frame.meta) && meta.sysmessagetype() == type) return true;
      }
      const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) return false;
      cutter.Feed(buf.data(), static_cast<size_t>(n));
    }
  };
  auto send_all = [fd](const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  };
  if (token.empty() || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      !send_all(wire::DatafeedLogin(kUser, token, "bench_login")) || !await(qm::LOGIN_RESPONSE) ||
      !send_all(wire::SubscribeTypes({kDataType}, "bench_subscribe")) || !await(qm::SUBSCRIBE_RESPONSE)) {
    std::fprintf(stderr, "bare reader: could not log in and subscribe\n");
    return {};
  }
  struct FirstRecord {
    qm::MarketData record;
    int64_t count = 0;
  } first;
  std::string scratch;
  std::vector<int64_t> frames_per_read, spreads;
  std::vector<int64_t> samples;
  samples.reserve(static_cast<size_t>(seconds * 200000) + 1024);
  const auto sample_from = Clock::now() + std::chrono::duration<double>(kLatencyWarmup);
  const auto end = sample_from + std::chrono::duration<double>(seconds);
  for (;;) {
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    const int64_t now = MonotonicNanos();
    const auto now_clock = Clock::now();
    if (n <= 0 || now_clock >= end) break;
    cutter.Feed(buf.data(), static_cast<size_t>(n));
    int64_t frames = 0, first_stamp = 0, last_stamp = 0;
    sim::FrameCutter::Status st;
    while ((st = cutter.Next(&frame, &why)) == sim::FrameCutter::Status::kFrame) {
      if (now_clock < sample_from) continue;
      if (!meta.ParseFromString(frame.meta) || meta.sysmessagetype() != qm::PUSH_MARKET_DATA) continue;
      first.count = 0;
      const bool cut = sim::SplitRecordPayload(
          frame.header.flags, frame.payload, &scratch, &why,
          [](void* ctx, const char* data, size_t len) {
            auto* f = static_cast<FirstRecord*>(ctx);
            if (f->count++ == 0 && !f->record.ParseFromArray(data, static_cast<int>(len))) f->record.Clear();
          },
          &first);
      const int64_t stamp = sim::RecordSendStamp(first.record);
      if (!cut || stamp <= 0) continue;
      samples.insert(samples.end(), static_cast<size_t>(first.count), now - stamp);
      if (frames++ == 0) first_stamp = stamp;
      last_stamp = stamp;
    }
    if (frames > 0) {
      frames_per_read.push_back(frames);
      spreads.push_back(last_stamp - first_stamp);
    }
    if (st == sim::FrameCutter::Status::kError) break;
  }
  std::sort(samples.begin(), samples.end());
  LatencyFigures f = FiguresOf(samples, seconds);
  std::sort(frames_per_read.begin(), frames_per_read.end());
  std::sort(spreads.begin(), spreads.end());
  f.reads_per_s = static_cast<double>(frames_per_read.size()) / seconds;
  f.frames_per_read_p50 = Quantile(frames_per_read, 0.5);
  f.burst_spread_p50_us = static_cast<double>(Quantile(spreads, 0.5)) / 1000;
  return f;
}

// Round trips of 64 bytes over a TCP connection on 127.0.0.1 (TCP_NODELAY on
// both ends, an echo thread at the other end), with gap_us of idle time
// between them (as between the latency run's frames, when both threads block
// and the CPUs may go idle). Sorted, in nanoseconds.
std::vector<int64_t> LoopbackRoundTrips(double seconds, int gap_us) {
  std::vector<int64_t> rtts;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("loopback listener");
    if (listener >= 0) close(listener);
    return rtts;
  }
  const int one = 1;
  std::thread echo([listener, one] {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    char buf[64];
    for (;;) {
      size_t got = 0;
      while (got < sizeof(buf)) {
        const ssize_t n = recv(fd, buf + got, sizeof(buf) - got, 0);
        if (n <= 0) {
          close(fd);
          return;
        }
        got += static_cast<size_t>(n);
      }
      if (send(fd, buf, sizeof(buf), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(buf))) break;
    }
    close(fd);
  });
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    char buf[64] = {};
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    bool fine = true;
    while (fine && Clock::now() < end) {
      const int64_t t0 = MonotonicNanos();
      fine = send(fd, buf, sizeof(buf), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(buf));
      size_t got = 0;
      while (fine && got < sizeof(buf)) {
        const ssize_t n = recv(fd, buf + got, sizeof(buf) - got, 0);
        fine = n > 0;
        if (fine) got += static_cast<size_t>(n);
      }
      if (fine) rtts.push_back(MonotonicNanos() - t0);
      if (gap_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
    }
  }
  if (fd >= 0) close(fd);  // ends the echo thread (or its accept, after connect failed)
  shutdown(listener, SHUT_RDWR);
  echo.join();
  close(listener);
  std::sort(rtts.begin(), rtts.end());
  return rtts;
}

// ---- resident memory per site type and its growth --------------------------

// Resident memory of a logged-in client with `site_types` site types, each
// with its node and a stock stream at 20,000 records/s: VmRSS after 3 s of
// data minus VmRSS before the client exists. KiB; -1 on failure. Runs in the
// --resident mode of a fresh process (ResidentMain), so that no earlier run's
// freed heap is reused and hides what this client needs.
long ResidentIn(int site_types) {
  std::vector<sim::StreamSpec> streams;
  std::vector<sim::NodeSpec> nodes;
  for (int st = 1; st <= site_types; ++st) {
    sim::StreamSpec s = StockStream(false);
    s.site_type = st;
    s.rate_per_sec = 20000;
    streams.push_back(s);
    nodes.push_back({st, 100, false, 0});
  }
  SimProcess feed(MakeScenario(streams, nodes));
  const long base = StatusKiB("VmRSS:");
  BenchHandle handle;
  Session session(feed, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "resident: %s\n", session.error().c_str());
    return -1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  if (handle.Count() == 0) {
    std::fprintf(stderr, "resident: no record arrived in 3 s\n");
    return -1;
  }
  return StatusKiB("VmRSS:") - base;
}

// The parent's side: the child gets this program's library options.
long ClientResidentKiB(int site_types, const std::vector<std::string>& library_args) {
  std::vector<std::string> args{"--resident", std::to_string(site_types)};
  args.insert(args.end(), library_args.begin(), library_args.end());
  ChildProcess child(args, false);
  if (!child.started()) return -1;
  const std::string line = child.ReadLine(60);
  return line.empty() ? -1 : std::strtol(line.c_str(), nullptr, 10);
}

struct GrowthResult {
  bool ok = false;
  double start_mib = 0, end_mib = 0, max_mib = 0;
  double slope_mib_per_min = 0;  // least-squares fit over the samples
  double fitted_growth_mib = 0;  // slope over the sampled span
  size_t samples = 0;
  int64_t delivered = 0;
};

// VmRSS every `sample_s` seconds over `minutes` of steady data (stock
// snapshots, 20,000 records/s, one site type), after a warm-up of 30 s (a
// fifth of the run when shorter).
GrowthResult RunGrowth(double minutes) {
  GrowthResult r;
  sim::StreamSpec s = StockStream(false);
  s.rate_per_sec = 20000;
  SimProcess feed(MakeScenario({s}, {{1, 100, false, 0}}));
  BenchHandle handle;
  Session session(feed, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "growth: %s\n", session.error().c_str());
    return r;
  }
  const double total_s = minutes * 60;
  const double warmup_s = std::min(30.0, total_s / 5);
  const double sample_s = total_s >= 120 ? 5 : 2;
  std::this_thread::sleep_for(std::chrono::duration<double>(warmup_s));
  std::vector<double> t, mib;
  const auto start = Clock::now();
  for (;;) {
    const double at = std::chrono::duration<double>(Clock::now() - start).count();
    t.push_back(at);
    mib.push_back(static_cast<double>(StatusKiB("VmRSS:")) / 1024);
    if (at >= total_s - warmup_s) break;
    std::this_thread::sleep_for(std::chrono::duration<double>(sample_s));
  }
  r.delivered = handle.Count();
  const double n = static_cast<double>(t.size());
  double st = 0, sm = 0, stt = 0, stm = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    st += t[i];
    sm += mib[i];
    stt += t[i] * t[i];
    stm += t[i] * mib[i];
  }
  const double den = n * stt - st * st;
  const double slope_per_s = den > 0 ? (n * stm - st * sm) / den : 0;
  r.samples = t.size();
  r.start_mib = mib.front();
  r.end_mib = mib.back();
  r.max_mib = *std::max_element(mib.begin(), mib.end());
  r.slope_mib_per_min = slope_per_s * 60;
  r.fitted_growth_mib = slope_per_s * (t.back() - t.front());
  r.ok = r.samples >= 2 && r.delivered > 0;
  return r;
}

// ---- reconnect -------------------------------------------------------------

// Two nodes of one site type; each repetition waits a random part of a daemon
// interval (so the death falls anywhere in the daemon's cycle), stops the node
// the client is connected to and times until the first record the backup node
// sent after the stop reaches the callback (records carry their monotonic
// send stamp). The stopped node is restarted for the next repetition, which
// stops the other one. Seconds, one per repetition that saw the record.
std::vector<double> RunReconnect(int reps, double interval_s) {
  std::vector<double> out;
  sim::StreamSpec s = StockStream(false);
  s.rate_per_sec = 2000;
  s.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  SimProcess feed(MakeScenario({s}, {{1, 100, false, 0}, {1, 90, false, 0}}));
  BenchHandle handle;
  Session session(feed, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "reconnect: %s\n", session.error().c_str());
    return out;
  }
  std::srand(static_cast<unsigned>(MonotonicNanos()));
  for (int rep = 1; rep <= reps; ++rep) {
    std::this_thread::sleep_for(std::chrono::duration<double>(interval_s * (std::rand() % 1000) / 1000.0));
    const std::string live = feed.Ask("live");
    const int node = live.empty() ? -1 : std::atoi(live.c_str());
    if (node < 0) {
      std::printf("reconnect run %d: no logged-in connection to stop\n", rep);
      continue;
    }
    const int64_t stopped = MonotonicNanos();
    handle.WatchForStampAfter(stopped);
    feed.Ask("stop " + std::to_string(node));
    const auto deadline = Clock::now() + std::chrono::duration<double>(interval_s * 6);
    while (handle.FirstAfterNanos() == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int64_t first = handle.FirstAfterNanos();
    feed.Ask("restart " + std::to_string(node));
    if (first == 0) {
      std::printf("reconnect run %d: node %d stopped, no record from the backup within %.0f s\n", rep, node,
                  interval_s * 6);
      continue;
    }
    out.push_back(static_cast<double>(first - stopped) / 1e9);
    std::printf("reconnect run %d: node %d stopped, first record from the backup after %.3f s\n", rep, node,
                out.back());
    std::fflush(stdout);
  }
  return out;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return false;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n", a.c_str());
      return false;
    }
    const char* v = argv[++i];
    if (a == "--runs") o->runs = std::max(1, std::atoi(v));
    else if (a == "--records") o->records = std::atoll(v);
    else if (a == "--memory-seconds") o->memory_seconds = std::atof(v);
    else if (a == "--latency-seconds") o->latency_seconds = std::atof(v);
    else if (a == "--rate") o->rate = std::atof(v);
    else if (a == "--idle-seconds") o->idle_seconds = std::atof(v);
    else if (a == "--settle-seconds") o->settle_seconds = std::atof(v);
    else if (a == "--threads") o->threads = std::atoi(v);
    else if (a == "--idle-us") o->idle_us = std::atoi(v);
    else if (a == "--inflight-mib") o->inflight_mib = std::atoi(v);
    else if (a == "--spins") o->spins = std::atoi(v);
    else if (a == "--yields") o->yields = std::atoi(v);
    else if (a == "--only") o->only = v;
    else if (a == "--kind") o->kind = v;
    else if (a == "--memory-minutes") o->memory_minutes = std::atof(v);
    else if (a == "--reconnect-runs") o->reconnect_runs = std::atoi(v);
    else if (a == "--pace-backlog-ms") o->pace_backlog_ms = std::atoi(v);
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return false;
    }
  }
  return o->records > 0 && o->memory_seconds > 0 && o->latency_seconds > 0 && o->rate > 0 &&
         o->idle_seconds > 0 && o->settle_seconds >= 0 &&
         (o->kind == "all" || o->kind == "stock" || o->kind == "order" || o->kind == "trade") &&
         o->memory_minutes >= 0 && o->reconnect_runs > 0 && o->pace_backlog_ms > 0;
}

void Usage() {
  std::fprintf(stderr,
               "pipeline_bench [--runs N] [--records N] [--memory-seconds S] [--latency-seconds S]\n"
               "               [--rate R] [--idle-seconds S] [--settle-seconds S] [--threads N]\n"
               "               [--idle-us N] [--inflight-mib N] [--spins N] [--yields N]\n"
               "               [--kind stock|order|trade|all]\n"
               "               [--memory-minutes M] [--reconnect-runs N] [--pace-backlog-ms N]\n"
               "               [--only ceiling|throughput|idle|memory|growth|latency|reconnect]\n"
               "  --runs             repetitions of each measurement (default 3; median (min..max) printed)\n"
               "  --records          records of one throughput run (default 1000000)\n"
               "  --kind             record kinds of the ceiling and throughput runs (default all)\n"
               "  --idle-seconds     measured window of one idle run (default 5)\n"
               "  --settle-seconds   wait after subscribing before the idle window (default 2)\n"
               "  --memory-seconds   length of the sleeping-callback memory run (default 8)\n"
               "  --memory-minutes   length of the resident-memory growth run (default 0: not run)\n"
               "  --reconnect-runs   node deaths timed by the reconnect run (default 5)\n"
               "  --latency-seconds  sampled length of one latency run, bare reader and client each (default 5)\n"
               "  --rate             records/s of the latency run, 10 a frame (default 100000)\n"
               "  --pace-backlog-ms  most the latency runs' simulator sends at once after a stall (default 10)\n"
               "  --threads          callback workers (default: the library's default)\n"
               "  --idle-us          back-pressure sleep of the decompress thread, microseconds (default: the library's)\n"
               "  --inflight-mib     memory budget per site type, MiB (default: the library's)\n"
               "  --spins, --yields  idle back-off of the pipeline threads before they park (default: the library's)\n");
}

// "yes" / "NO" for the met column.
const char* Met(bool met) { return met ? "yes" : "NO"; }

// A thread-group breakdown for a result row: the groups above 2 % of the
// total, "name cpu/sw", most CPU first.
std::string GroupSummary(const GroupSeries& s, const char* cpu_format, const char* cpu_unit, double cpu_scale,
                         const char* switches_format) {
  const size_t runs = s.total_cpu.size();
  const double total = Median(s.total_cpu);
  std::string out;
  for (const std::string& name : s.ByCpu()) {
    const Spread cpu = s.CpuOf(name, runs);
    if (total > 0 && cpu.med < 0.02 * total) continue;
    char part[160];
    char number[32];
    char switches[32];
    std::snprintf(number, sizeof number, cpu_format, cpu.med * cpu_scale);
    std::snprintf(switches, sizeof switches, switches_format, s.SwitchesOf(name, runs).med);
    std::snprintf(part, sizeof part, "%s%s %s %s / %s sw", out.empty() ? "" : "; ", name.c_str(), number,
                  cpu_unit, switches);
    out += part;
  }
  return out;
}

// The library's settings of every client in this process.
qc::BaseConfig& ConfigureLibrary(const Options& opt) {
  qc::BaseConfig& config = qc::BaseConfig::GetInstance();
  config.CloseFileLog();
  config.CloseCoutLog();
  config.SetUseSSL(false);
  if (opt.threads > 0) config.SetHandleThreadNum(static_cast<uint32_t>(opt.threads));
  if (opt.idle_us >= 0) config.SetThreadIdleSleepTime(static_cast<uint32_t>(opt.idle_us));
  if (opt.inflight_mib > 0) config.SetMaxInflightBytes(static_cast<uint32_t>(opt.inflight_mib) << 20);
  if (opt.spins >= 0 || opt.yields >= 0) {
    config.SetIdleBackoff(opt.spins >= 0 ? static_cast<uint32_t>(opt.spins) : config.GetIdleSpinCount(),
                          opt.yields >= 0 ? static_cast<uint32_t>(opt.yields) : config.GetIdleYieldCount());
  }
  return config;
}

// The options that ConfigureLibrary reads, as arguments for a child process.
std::vector<std::string> LibraryArgs(const Options& opt) {
  std::vector<std::string> args;
  if (opt.threads > 0) args.insert(args.end(), {"--threads", std::to_string(opt.threads)});
  if (opt.idle_us >= 0) args.insert(args.end(), {"--idle-us", std::to_string(opt.idle_us)});
  if (opt.inflight_mib > 0) args.insert(args.end(), {"--inflight-mib", std::to_string(opt.inflight_mib)});
  if (opt.spins >= 0) args.insert(args.end(), {"--spins", std::to_string(opt.spins)});
  if (opt.yields >= 0) args.insert(args.end(), {"--yields", std::to_string(opt.yields)});
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a child process that died answers "" instead
  if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return ServeMain(argv[2]);
  // --resident N [library options]: one resident-memory measurement, its
  // result (KiB, -1 on failure) on standard output.
  const bool resident = argc >= 3 && std::strcmp(argv[1], "--resident") == 0;
  Options opt;
  if (!ParseOptions(resident ? argc - 2 : argc, resident ? argv + 2 : argv, &opt)) {
    Usage();
    return 2;
  }
  g_process_name = ReadFirstLine("/proc/self/comm");
  qc::BaseConfig& config = ConfigureLibrary(opt);
  if (resident) {
    std::printf("%ld\n", ResidentIn(std::atoi(argv[2])));
    return 0;
  }
  const bool all = opt.only.empty();
  int failures = 0;
  const std::string load_start = LoadAverage();

  std::printf("pipeline_bench: runs=%d callback_workers=%u idle_sleep_us=%lld inflight_mib=%u idle_spins=%u "
              "idle_yields=%u; simulator in a child process; load average at start %s\n",
              opt.runs, config.GetHandleThreadNum(), static_cast<long long>(config.GetThreadIdleSleepTime().count()),
              config.GetMaxInflightBytes() >> 20, config.GetIdleSpinCount(), config.GetIdleYieldCount(),
              load_start.c_str());
  std::fflush(stdout);

  std::vector<int> kinds;
  for (int k : {sim::kQELStock, sim::kQELOrder, sim::kQELTrade}) {
    if (opt.kind == "all" || opt.kind == KindName(k)) kinds.push_back(k);
  }
  for (const int kind : kinds) {
    if (!(all || opt.only == "ceiling" || opt.only == "throughput")) break;
    // The same records the simulator sends, plain: LZ4 changes the wire, not
    // what is parsed, so one ceiling serves both.
    const RecordSet set = BuildRecords(KindStream(kind, false), 64 * 1024);
    std::vector<double> rates;
    for (int i = 0; i < opt.runs; ++i) {
      rates.push_back(DecodeCeiling(set, 1.0));
      std::printf("ceiling %s run %d: %.0f records/s (new + ParseFromArray + delete, one thread, %zu-byte records)\n",
                  KindName(kind), i + 1, rates.back(), set.bytes.size() / set.spans.size());
    }
    const Spread ceiling = SpreadOf(rates);
    qm::MarketData sample;
    sample.ParseFromArray(set.bytes.data(), static_cast<int>(set.spans[0].second));
    std::printf("ceiling %s: %s records/s; one decoded record holds %zu bytes of heap objects\n", KindName(kind),
                Fmt(ceiling, "%.0f").c_str(), sample.SpaceUsedLong());
    std::printf("@row|Decode ceiling|%s, one thread from memory (plain and LZ4 parse the same records)|%s M "
                "records/s|1.00|reference|-\n",
                KindName(kind), Fmt(ceiling, "%.2f", 1e-6).c_str());
    std::fflush(stdout);
    if (!(all || opt.only == "throughput")) continue;
    for (const bool lz4 : {false, true}) {
      const char* name = lz4 ? "lz4" : "plain";
      std::vector<double> tput, rss;
      GroupSeries cpu;
      bool lossless = true;
      for (int i = 0; i < opt.runs; ++i) {
        const ThroughputResult r = RunThroughput(kind, lz4, opt.records, 120);
        std::printf("throughput %s %s run %d: %.0f records/s, ratio %.2f, delivered %lld of %lld sent (%s), "
                    "peak_rss %.1f MiB, process cpu %.0f ns/record, %.3f switches/record\n",
                    KindName(kind), name, i + 1, r.rate, ceiling.med > 0 ? r.rate / ceiling.med : 0,
                    static_cast<long long>(r.delivered), static_cast<long long>(r.sent),
                    r.ok ? "no loss" : "LOSS OR TIMEOUT", r.peak_rss_mib,
                    static_cast<double>(r.cpu.total_cpu_ns) / static_cast<double>(opt.records),
                    static_cast<double>(r.cpu.total_switches) / static_cast<double>(opt.records));
        std::fflush(stdout);
        lossless = lossless && r.ok;
        tput.push_back(r.rate);
        rss.push_back(r.peak_rss_mib);
        if (r.ok) cpu.Add(r.cpu, static_cast<double>(opt.records));
      }
      const Spread rate = SpreadOf(tput);
      const double ratio = ceiling.med > 0 ? rate.med / ceiling.med : 0;
      const bool met = ratio >= 0.6 && lossless;
      std::printf("throughput %s %s: %s records/s, ratio %.2f of the ceiling (target >= 0.60: %s), loss check %s, "
                  "peak_rss %s MiB\n",
                  KindName(kind), name, Fmt(rate, "%.0f").c_str(), ratio, ratio >= 0.6 ? "met" : "MISSED",
                  lossless ? "passed" : "FAILED", Fmt(SpreadOf(rss), "%.1f").c_str());
      std::printf("@row|Pipeline|%s %s, simulator process -> client -> counting callback|%s M records/s, %s|%.2f|"
                  ">= 0.6 of ceiling, zero lost|%s\n",
                  KindName(kind), name, Fmt(rate, "%.2f", 1e-6).c_str(), lossless ? "0 lost" : "LOSS", ratio,
                  Met(met));
      if (!cpu.total_cpu.empty()) {
        const std::string what = std::string("throughput ") + KindName(kind) + " " + name +
                                 ": CPU ns and context switches";
        PrintGroups(what.c_str(), cpu, "record", "%.0f", "ns", 1, "%.3f");
        std::printf("@row|CPU per record|%s %s, library threads of the client process (subscribe -> last "
                    "record)|%s ns, %s switches (by thread group: %s)|-|report|-\n",
                    KindName(kind), name, Fmt(SpreadOf(cpu.total_cpu), "%.0f").c_str(),
                    Fmt(SpreadOf(cpu.total_switches), "%.3f").c_str(),
                    GroupSummary(cpu, "%.0f", "ns", 1, "%.3f").c_str());
      }
      std::fflush(stdout);
      failures += lossless ? 0 : 1;
    }
  }

  if (all || opt.only == "idle") {
    GroupSeries idle;
    std::vector<double> logins, subscribes;
    for (int i = 0; i < opt.runs; ++i) {
      const IdleResult r = RunIdle(opt.settle_seconds, opt.idle_seconds);
      if (r.login_s > 0) {
        logins.push_back(r.login_s * 1e3);
        subscribes.push_back(r.subscribe_s * 1e3);
      }
      if (!r.ok) {
        std::printf("idle run %d: FAILED\n", i + 1);
        ++failures;
        continue;
      }
      std::printf("idle run %d: library threads %.3f %% of one core, %.1f wake-ups/s over %.1f s\n", i + 1,
                  static_cast<double>(r.cpu.total_cpu_ns) / r.cpu.seconds / 1e7,
                  static_cast<double>(r.cpu.total_switches) / r.cpu.seconds, r.cpu.seconds);
      idle.Add(r.cpu, r.cpu.seconds);
    }
    if (!idle.total_cpu.empty()) {
      PrintGroups("idle, 2 site types logged in and subscribed, no data: CPU % of one core and wake-ups", idle,
                  "second", "%.3f", "%", 1e-7, "%.1f");
      const Spread share = SpreadOf(idle.total_cpu);  // ns per second
      const Spread wakeups = SpreadOf(idle.total_switches);
      std::printf("@row|Idle|2 site types logged in and subscribed, no data, after %.0f s: CPU of the library "
                  "threads|%s %% of one core (by thread group: %s)|%.2f of target|<= 0.5 %% of one core|%s\n",
                  opt.settle_seconds, Fmt(share, "%.3f", 1e-7).c_str(),
                  GroupSummary(idle, "%.3f", "%", 1e-7, "%.0f").c_str(), share.med / 5e6, Met(share.med <= 5e6));
      std::printf("@row|Idle|the same: wake-ups (voluntary + involuntary context switches of the library threads)|%s "
                  "per s|%.2f of target|<= 50 per s|%s\n",
                  Fmt(wakeups, "%.1f").c_str(), wakeups.med / 50, Met(wakeups.med <= 50));
    }
    if (!logins.empty()) {
      std::printf("@row|Login|login through discovery onto 2 site types' nodes (plain TCP); then the subscription "
                  "on both|%s ms; %s ms|-|report|-\n",
                  Fmt(SpreadOf(logins), "%.1f").c_str(), Fmt(SpreadOf(subscribes), "%.1f").c_str());
    }
    std::fflush(stdout);
  }

  if (all || opt.only == "memory") {
    // The counting-callback case is the throughput run's peak above; here the
    // callback sleeps 1 ms per record, so the node outpaces it by far.
    std::vector<double> peaks, stops;
    for (int i = 0; i < opt.runs; ++i) {
      const MemoryResult r = RunMemory(1000, opt.memory_seconds);
      if (!r.ok) {
        std::printf("memory run %d: FAILED\n", i + 1);
        ++failures;
        continue;
      }
      std::printf("memory run %d (callback sleeps 1 ms/record, %.0f s): peak_rss %.1f MiB, delivered %lld, "
                  "sent %lld, Uninstance %.3f s\n",
                  i + 1, opt.memory_seconds, r.peak_rss_mib, static_cast<long long>(r.delivered),
                  static_cast<long long>(r.sent), r.uninstance_s);
      std::fflush(stdout);
      peaks.push_back(r.peak_rss_mib);
      stops.push_back(r.uninstance_s);
    }
    if (!peaks.empty()) {
      const Spread peak = SpreadOf(peaks), stop = SpreadOf(stops);
      std::printf("@row|Memory|peak RSS (VmHWM), callback sleeps 1 ms/record, node sends as fast as it can, %.0f s|%s "
                  "MiB|%.2f of target|<= 768 MiB|%s\n",
                  opt.memory_seconds, Fmt(peak, "%.1f").c_str(), peak.med / 768, Met(peak.max <= 768));
      std::printf("@row|Shutdown|Uninstance with that backlog|%s s|%.2f of target|<= 3 s|%s\n",
                  Fmt(stop, "%.3f").c_str(), stop.med / 3, Met(stop.max <= 3));
    }
    // Per site type: a client with two site types against one with one, each
    // in a fresh process; the difference is what one more site type costs.
    const long one = ClientResidentKiB(1, LibraryArgs(opt));
    const long two = ClientResidentKiB(2, LibraryArgs(opt));
    if (one < 0 || two < 0) {
      std::printf("resident per site type: FAILED (a client did not log in or received nothing)\n");
      ++failures;
    } else {
      const double per_site = static_cast<double>(two - one) / 1024;
      std::printf("resident after login + 3 s of data (VmRSS minus VmRSS before the client): 1 site type %.1f MiB, "
                  "2 site types %.1f MiB; per site type %.1f MiB, the rest %.1f MiB\n",
                  static_cast<double>(one) / 1024, static_cast<double>(two) / 1024, per_site,
                  static_cast<double>(one) / 1024 - per_site);
      std::printf("@row|Memory|resident per site type (RSS with 2 site types minus with 1, logged in, data "
                  "flowing; one run)|%.1f MiB per site type, %.1f MiB with 1|-|report|-\n",
                  per_site, static_cast<double>(one) / 1024);
    }
    std::fflush(stdout);
  }

  if (opt.memory_minutes > 0 && (all || opt.only == "growth" || opt.only == "memory")) {
    const GrowthResult g = RunGrowth(opt.memory_minutes);
    // Allocator noise moves VmRSS by a few hundred KiB; a leak of even one
    // small object per frame would pass 2 MiB within minutes at this rate.
    const bool flat = g.ok && g.fitted_growth_mib < 2.0;
    std::printf("growth over %.1f min (%zu VmRSS samples after the warm-up, %lld records delivered): start %.1f MiB, "
                "end %.1f MiB, max %.1f MiB, slope %.3f MiB/min, fitted growth %.2f MiB (target: no growth, "
                "< 2 MiB: %s)\n",
                opt.memory_minutes, g.samples, static_cast<long long>(g.delivered), g.start_mib, g.end_mib,
                g.max_mib, g.slope_mib_per_min, g.fitted_growth_mib, flat ? "met" : "MISSED");
    std::printf("@row|Memory|RSS growth over %g min of steady data (20k records/s), least-squares fit; one run|%+.2f "
                "MiB (%.1f -> %.1f MiB)|%.4f|no growth (< 2 MiB)|%s\n",
                opt.memory_minutes, g.fitted_growth_mib, g.start_mib, g.end_mib,
                g.start_mib > 0 ? g.end_mib / g.start_mib : 0, Met(flat));
    std::fflush(stdout);
    failures += g.ok ? 0 : 1;
  }

  if (all || opt.only == "reconnect") {
    const double interval = static_cast<double>(config.GetDaemonCheckInterval().count());
    const std::vector<double> times = RunReconnect(opt.reconnect_runs, interval);
    if (times.empty()) {
      std::printf("reconnect: FAILED (no repetition saw the backup's records)\n");
      ++failures;
    } else {
      const Spread t = SpreadOf(times);
      std::printf("reconnect over %zu runs: %s s; daemon check interval %.0f s; ratio %.2f\n", times.size(),
                  Fmt(t, "%.3f").c_str(), interval, t.med / interval);
      std::printf("@row|Reconnect|node death -> first record from the backup, default configuration, %zu "
                  "deaths|%s s|%.2f of %.0f s|< 1 daemon interval|%s\n",
                  times.size(), Fmt(t, "%.2f").c_str(), t.med / interval, interval, Met(t.med < interval));
    }
    std::fflush(stdout);
  }

  if (all || opt.only == "latency") {
    const std::vector<int64_t> gapped = LoopbackRoundTrips(1.0, 500);
    if (!gapped.empty()) {
      std::printf("loopback round trip with 500 us idle between trips (%zu trips): p50 %.1f us, p99 %.1f us, "
                  "p99.9 %.1f us\n",
                  gapped.size(), static_cast<double>(Quantile(gapped, 0.5)) / 1000,
                  static_cast<double>(Quantile(gapped, 0.99)) / 1000,
                  static_cast<double>(Quantile(gapped, 0.999)) / 1000);
    }
    std::vector<double> p50, p99, p999, f50, f99, f999, r50, r99;
    for (int i = 0; i < opt.runs; ++i) {
      SimProcess feed(MakeScenario({LatencyStream(opt.rate)}, {{1, 100, false, 0}}, 1000, opt.pace_backlog_ms));
      if (!feed.ok()) {
        std::printf("latency run %d: FAILED (%s)\n", i + 1, feed.error().c_str());
        ++failures;
        continue;
      }
      const LatencyFigures bare = BareReaderLatency(feed, opt.latency_seconds);
      const LatencyResult r = RunLatency(feed, opt.rate, opt.latency_seconds);
      if (!bare.ok || !r.client.ok) {
        std::printf("latency run %d: FAILED (no samples from the %s)\n", i + 1, bare.ok ? "client" : "bare reader");
        ++failures;
        continue;
      }
      const LatencyFigures& c = r.client;
      std::printf("latency run %d: bare reader %.0f records/s, stamp -> frame read p50 %.1f us, p99 %.1f us, "
                  "p99.9 %.1f us, max %.1f us; %.0f reads/s with frames, %lld frames a read (p50), send stamps "
                  "of one read %.1f us apart (p50)\n",
                  i + 1, bare.rate, bare.p50_us, bare.p99_us, bare.p999_us, bare.max_us, bare.reads_per_s,
                  static_cast<long long>(bare.frames_per_read_p50), bare.burst_spread_p50_us);
      std::printf("latency run %d: client      %.0f records/s, stamp -> callback   p50 %.1f us, p99 %.1f us, "
                  "p99.9 %.1f us, max %.1f us (p50 of a frame's first record %.1f us, of its last %.1f us); "
                  "ratio p50 %.2fx, p99 %.2fx\n",
                  i + 1, c.rate, c.p50_us, c.p99_us, c.p999_us, c.max_us, r.first_p50_us, r.last_p50_us,
                  c.p50_us / bare.p50_us, c.p99_us / bare.p99_us);
      std::fflush(stdout);
      p50.push_back(c.p50_us);
      p99.push_back(c.p99_us);
      p999.push_back(c.p999_us);
      f50.push_back(bare.p50_us);
      f99.push_back(bare.p99_us);
      f999.push_back(bare.p999_us);
      r50.push_back(c.p50_us / bare.p50_us);
      r99.push_back(c.p99_us / bare.p99_us);
    }
    if (!p50.empty()) {
      const Spread ratio50 = SpreadOf(r50), ratio99 = SpreadOf(r99);
      const bool met = ratio50.med <= 2 && ratio99.med <= 3;
      std::printf("latency: client p50 %s us, p99 %s us, p99.9 %s us; bare reader p50 %s us, p99 %s us, p99.9 %s "
                  "us; ratio p50 %sx (target <= 2: %s), p99 %sx (target <= 3: %s)\n",
                  Fmt(SpreadOf(p50), "%.1f").c_str(), Fmt(SpreadOf(p99), "%.1f").c_str(),
                  Fmt(SpreadOf(p999), "%.1f").c_str(), Fmt(SpreadOf(f50), "%.1f").c_str(),
                  Fmt(SpreadOf(f99), "%.1f").c_str(), Fmt(SpreadOf(f999), "%.1f").c_str(),
                  Fmt(ratio50, "%.2f").c_str(), ratio50.med <= 2 ? "met" : "MISSED", Fmt(ratio99, "%.2f").c_str(),
                  ratio99.med <= 3 ? "met" : "MISSED");
      std::printf("@row|Latency floor|%.0f records/s, 10 a frame, sender process -> bare blocking reader (no "
                  "library), p50 / p99 / p99.9|%s / %s / %s us|1.00|reference|-\n",
                  opt.rate, Fmt(SpreadOf(f50), "%.0f").c_str(), Fmt(SpreadOf(f99), "%.0f").c_str(),
                  Fmt(SpreadOf(f999), "%.0f").c_str());
      std::printf("@row|Latency|%.0f records/s, 10 a frame, send stamp -> callback p50 / p99 / p99.9, same sender "
                  "and run as the floor|%s / %s / %s us|p50 %sx, p99 %sx floor|p50 <= 2x, p99 <= 3x floor|%s\n",
                  opt.rate, Fmt(SpreadOf(p50), "%.0f").c_str(), Fmt(SpreadOf(p99), "%.0f").c_str(),
                  Fmt(SpreadOf(p999), "%.0f").c_str(), Fmt(ratio50, "%.1f").c_str(), Fmt(ratio99, "%.1f").c_str(),
                  Met(met));
    }
    std::fflush(stdout);
  }

  const std::string load_end = LoadAverage();
  std::printf("load average (1/5/15 min) at start %s, at end %s\n", load_start.c_str(), load_end.c_str());
  std::printf("@row|Machine|load average (1 / 5 / 15 min) at start; at end of pipeline_bench (%s)|%s; %s|-|report|-\n",
              all ? "all measurements" : opt.only.c_str(), load_start.c_str(), load_end.c_str());
  return failures == 0 ? 0 : 1;
}
