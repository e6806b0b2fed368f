// qel-soak: runs the real client (ClientFactory -> login -> subscribe) for a
// set time against an in-process feed simulator with two site types and a
// backup node per site type, while a seeded schedule kills and restarts nodes,
// switches split writes and a slow callback on and off, and restarts
// discovery twice. At the end it checks that the client is logged in and
// subscribed with data flowing on every site type, that every channel's
// record sequence broke only inside an outage window, that threads, file
// descriptors and resident memory did not grow, and that the shutdown is
// prompt. Prints a summary; exits 1 on any breach, 2 on a bad flag.
//
// Threads: the main thread runs the schedule and the checks; the library's
// callback workers call SoakHandle; the simulator runs its own loops.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client_config.h"
#include "client_factory.h"
#include "client_interface.h"
#include "feed_sim.h"
#include "log_interface.h"
#include "message_handle.h"

namespace {

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

const Clock::time_point g_start = Clock::now();
double Now() { return Seconds(Clock::now() - g_start).count(); }

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* fmt, ...) {
  static std::mutex out_mutex;  // one whole line at a time
  std::lock_guard<std::mutex> lock(out_mutex);
  std::printf("[%8.2f] ", Now());
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::printf("\n");
  std::fflush(stdout);
}

struct Options {
  double minutes = 10;
  uint32_t seed = 1;
  int daemon_interval = 0;  // seconds; 0 = the library's default
  bool verbose = false;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--minutes" && has_value) {
      o->minutes = std::atof(argv[++i]);
    } else if (a == "--seed" && has_value) {
      o->seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--daemon-interval" && has_value) {
      o->daemon_interval = std::atoi(argv[++i]);
    } else if (a == "--verbose") {
      o->verbose = true;
    } else {
      std::fprintf(stderr,
                   "usage: qel-soak [--minutes N (default 10, fractions allowed)] [--seed S (default 1)]\n"
                   "                [--daemon-interval SECONDS (default: the library's)] [--verbose]\n");
      return false;
    }
  }
  return o->minutes > 0 && o->daemon_interval >= 0;
}

// Site types, their channels and streams. Every channel belongs to one site
// type, so a record's channel names the site type it came through.
constexpr int kSiteTypes[] = {1, 2};
struct ChannelSpec {
  int site_type;
  int data_type;
  int record_kind;
  int64_t channel;
  bool lz4;
};
const ChannelSpec kChannels[] = {
    {1, 3, sim::kQELStock, 101, false},
    {1, 6, sim::kQELIndex, 102, true},
    {2, 8, sim::kQELOrder, 201, true},
    {2, 9, sim::kQELTrade, 202, false},
};
constexpr double kRatePerStream = 1500;  // records/s per connection

sim::Scenario SoakScenario() {
  sim::Scenario s;
  s.users = {{"soak", "soak-pass"}};
  for (int site : kSiteTypes) {
    s.nodes.push_back({site, 20, false, 0});  // primary
    s.nodes.push_back({site, 10, false, 0});  // backup
  }
  for (const ChannelSpec& c : kChannels) {
    sim::StreamSpec st;
    st.site_type = c.site_type;
    st.data_type = c.data_type;
    st.record_kind = c.record_kind;
    st.channels = {c.channel};
    st.security_ids = {"600000.SH", "000001.SZ", "600519.SH"};
    st.rate_per_sec = kRatePerStream;
    st.batch = 30;
    st.lz4 = c.lz4;
    s.streams.push_back(st);
  }
  s.log = [](const std::string&) {};  // the simulator's own lines are not the soak's business
  return s;
}

// One outage of a site type: from the stop of the node that held the
// client's connection to the first record of the connection that replaced it.
struct Outage {
  int site_type = 0;
  int node_index = -1;
  double start = 0;
  double end = -1;  // -1 while the client has not reconnected
};

// Per-channel record sequence as delivered. The simulator numbers each
// channel's records 1, 2, 3 ... on every connection, so a new connection
// starts again at 1 (a "restart"). Within a connection every record must be
// the previous one plus 1; a restart must answer an outage of its site type.
// Called on the library's callback workers (any of them) and on the main
// thread; one lock guards it all.
class SequenceBook {
 public:
  SequenceBook() {
    for (const ChannelSpec& c : kChannels) m_channels[c.channel].site_type = c.site_type;
  }
  // An outage begins now on site_type.
  void OpenOutage(int site_type, int node_index) {
    std::lock_guard<std::mutex> lock(m_bookMutex);
    Outage o;
    o.site_type = site_type;
    o.node_index = node_index;
    o.start = Now();
    m_outages.push_back(o);
  }
  void OnRecord(int64_t channel, int64_t seq) {
    const double now = Now();
    std::lock_guard<std::mutex> lock(m_bookMutex);
    auto it = m_channels.find(channel);
    if (it == m_channels.end() || seq <= 0) {
      Breach("record on unknown channel " + std::to_string(channel) + " or without a sequence");
      return;
    }
    Channel& ch = it->second;
    ++ch.records;
    ++m_records_by_site[ch.site_type];
    m_last_record_at[ch.site_type] = now;
    const int64_t prev = ch.last_seq;
    ch.last_seq = seq;
    if (prev == 0 || seq == 1) ch.runs.push_back(0);  // a connection's first record
    ch.runs.back() = std::max(ch.runs.back(), seq);
    if (prev == 0 || seq == prev + 1) return;
    const int open = LatestOutage(ch.site_type, ch.outages_answered);
    if (seq == 1) {
      // A new connection. It must answer an outage this channel has not
      // answered yet; the first restart of an outage ends it.
      if (open < 0) {
        Breach("channel " + std::to_string(channel) + " restarted at 1 after " + std::to_string(prev) +
               " outside any outage window");
        return;
      }
      ++ch.restarts;
      ch.outages_answered = open + 1;
      if (m_outages[open].end < 0) m_outages[open].end = now;
      return;
    }
    // A gap, a duplicate or a step back within one connection.
    const bool in_window = open >= 0 && m_outages[open].end < 0;
    if (seq > prev + 1 && in_window) {
      ++m_gaps_in_windows;
      m_gap_records_in_windows += seq - prev - 1;
      return;
    }
    Breach("channel " + std::to_string(channel) + ": sequence " + std::to_string(seq) + " after " +
           std::to_string(prev) + (seq > prev ? " (gap)" : " (duplicate or step back)") +
           " outside an outage window");
  }

  struct Summary {
    std::map<int, int64_t> records_by_site;
    std::map<int, double> last_record_at;
    std::map<int64_t, int64_t> records_by_channel;
    std::map<int64_t, int64_t> restarts_by_channel;
    std::map<int64_t, std::vector<int64_t>> runs_by_channel;  // last sequence delivered of each connection
    std::vector<Outage> outages;
    int64_t gaps_in_windows = 0;
    int64_t gap_records_in_windows = 0;
    std::vector<std::string> breaches;
    int64_t breach_count = 0;
  };
  Summary Snapshot() const {
    std::lock_guard<std::mutex> lock(m_bookMutex);
    Summary s;
    s.records_by_site = m_records_by_site;
    s.last_record_at = m_last_record_at;
    for (const auto& kv : m_channels) {
      s.records_by_channel[kv.first] = kv.second.records;
      s.restarts_by_channel[kv.first] = kv.second.restarts;
      s.runs_by_channel[kv.first] = kv.second.runs;
    }
    s.outages = m_outages;
    s.gaps_in_windows = m_gaps_in_windows;
    s.gap_records_in_windows = m_gap_records_in_windows;
    s.breaches = m_breaches;
    s.breach_count = m_breach_count;
    return s;
  }

 private:
  struct Channel {
    int site_type = 0;
    int64_t last_seq = 0;
    int64_t records = 0;
    int64_t restarts = 0;
    size_t outages_answered = 0;  // outages [0, this) of the site type are behind the channel
    std::vector<int64_t> runs;    // per connection, in order: the highest sequence delivered
  };
  // Index of the latest outage of site_type at or after index from; -1 if none.
  int LatestOutage(int site_type, size_t from) const {
    for (size_t i = m_outages.size(); i > from; --i) {
      if (m_outages[i - 1].site_type == site_type) return static_cast<int>(i - 1);
    }
    return -1;
  }
  void Breach(const std::string& what) {
    ++m_breach_count;
    if (m_breaches.size() < 20) m_breaches.push_back(what);  // the first ones tell the story
  }

  mutable std::mutex m_bookMutex;  // guards every member below
  std::map<int64_t, Channel> m_channels;
  std::vector<Outage> m_outages;
  std::map<int, int64_t> m_records_by_site;
  std::map<int, double> m_last_record_at;
  int64_t m_gaps_in_windows = 0;
  int64_t m_gap_records_in_windows = 0;
  std::vector<std::string> m_breaches;
  int64_t m_breach_count = 0;
};

// The application side: feeds the sequence book, is slow on request, counts
// the library's login callbacks. Called on the library's threads.
class SoakHandle : public qc::MessageHandle {
 public:
  explicit SoakHandle(SequenceBook* book) : m_book(book) {}
  void OnMarketData(const qm::MarketData& record) override {
    m_book->OnRecord(record.qelmessagechannel(), sim::RecordSequence(record));
    // A slow application: every 64th record takes 4 ms while slow reads are on.
    if (slow.load(std::memory_order_relaxed) && (m_calls.fetch_add(1, std::memory_order_relaxed) & 63) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  }
  void OnLoginDatafeedNodeSuccess(int, const std::string&) override { ++node_logins; }
  void OnLoginDatafeedNodeFailed(int, const std::string&) override { ++node_login_failures; }
  void OnSubscribeResponse(const qc::SubscribeResponse&) override { ++subscribe_responses; }

  std::atomic<bool> slow{false};
  std::atomic<int64_t> node_logins{0};
  std::atomic<int64_t> node_login_failures{0};
  std::atomic<int64_t> subscribe_responses{0};

 private:
  SequenceBook* m_book;
  std::atomic<uint64_t> m_calls{0};
};

// Counts the library's log lines by level; prints errors with --verbose.
// Called on any library thread.
class SoakLog : public qc::LogInterface {
 public:
  explicit SoakLog(bool verbose) : m_verbose(verbose) {}
  void LogPrint(qc::VentrixLogLevel level, const char* message) override {
    if (level == qc::VENTRIX_ERROR) {
      ++errors;
      if (m_verbose) Say("library error: %s", message);
    } else if (level == qc::VENTRIX_WARN) {
      ++warnings;
    }
  }
  std::atomic<int64_t> errors{0};
  std::atomic<int64_t> warnings{0};

 private:
  const bool m_verbose;
};

struct Resources {
  int threads = 0;
  int fds = 0;
  int64_t rss_kib = 0;
};

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] == '.' ? 0 : 1;
  closedir(d);
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the directory's own descriptor
}

Resources Sample() {
  Resources r;
  r.threads = CountEntries("/proc/self/task");
  r.fds = CountEntries("/proc/self/fd");
  std::ifstream statm("/proc/self/statm");
  int64_t pages = 0;
  int64_t resident = 0;
  statm >> pages >> resident;
  r.rss_kib = resident * (sysconf(_SC_PAGESIZE) / 1024);
  return r;
}

// Growth allowed between the sample after warm-up and the one at the end:
// no thread; two descriptors (a reconnect's socket can be half made at the
// instant of a sample); 32 MiB of resident memory: most of it is reserved
// up front (the raw-data queues), and what a slow period piles up in flight
// stays with the allocator afterwards.
constexpr int kThreadSlack = 0;
constexpr int kFdSlack = 2;
constexpr int64_t kRssSlackKib = 32 * 1024;

// The fault schedule, drawn from the seed before the run starts.
struct Event {
  enum Kind { kStopNode, kRestartNode, kStopDiscovery, kRestartDiscovery, kSplitOn, kSplitOff, kSlowOn, kSlowOff };
  double at = 0;
  Kind kind = kStopNode;
  int node_index = -1;
  int split_bytes = 0;
  int split_delay_us = 0;
};

std::vector<Event> DrawSchedule(std::mt19937& rng, double begin, double end, int nodes) {
  std::vector<Event> ev;
  auto uniform = [&rng](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  const double len = end - begin;
  // Node kills, one at a time: each node is down for a while, then back.
  for (double t = begin + uniform(1, std::max(2.0, len / 20));;) {
    const double down = uniform(1, std::max(1.5, std::min(12.0, len / 15)));
    if (t + down > end) break;
    const int node = std::uniform_int_distribution<int>(0, nodes - 1)(rng);
    ev.push_back({t, Event::kStopNode, node, 0, 0});
    ev.push_back({t + down, Event::kRestartNode, node, 0, 0});
    t += down + uniform(std::max(1.0, len / 40), std::max(2.0, len / 15));
  }
  // Discovery restarts twice, at a third and two thirds of the faulty span.
  for (double frac : {1.0 / 3, 2.0 / 3}) {
    const double t = begin + len * frac;
    ev.push_back({t, Event::kStopDiscovery, -1, 0, 0});
    ev.push_back({t + std::min(5.0, std::max(0.5, len / 20)), Event::kRestartDiscovery, -1, 0, 0});
  }
  // Split writes and slow reads: independent on/off periods.
  for (Event::Kind on : {Event::kSplitOn, Event::kSlowOn}) {
    for (double t = begin + uniform(0, std::max(1.0, len / 10));;) {
      const double lasting = uniform(std::max(0.5, len / 60), std::max(1.0, len / 20));
      if (t + lasting > end) break;
      Event e{t, on, -1, 0, 0};
      if (on == Event::kSplitOn) {
        e.split_bytes = std::uniform_int_distribution<int>(1, 700)(rng);
        e.split_delay_us = std::uniform_int_distribution<int>(0, 300)(rng);
      }
      ev.push_back(e);
      ev.push_back({t + lasting, on == Event::kSplitOn ? Event::kSplitOff : Event::kSlowOff, -1, 0, 0});
      t += lasting + uniform(std::max(0.5, len / 40), std::max(1.0, len / 12));
    }
  }
  std::stable_sort(ev.begin(), ev.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
  return ev;
}

// True when the client holds an open, logged-in connection on node_index.
bool ClientOnNode(const sim::SimulatorStats& stats, int node_index) {
  for (const auto& c : stats.connections) {
    if (!c.discovery && c.open && c.node_index == node_index) return true;
  }
  return false;
}

void SleepUntil(double t) {
  const double d = t - Now();
  if (d > 0) std::this_thread::sleep_for(Seconds(d));
}

std::string WriteConfig(const Options& o) {
  char path[] = "/tmp/qel-soak-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return std::string();
  std::string text = "ventrix_config_use_ssl=0\nventrix_config_file_log=0\nventrix_config_cout_log=0\n";
  if (o.daemon_interval > 0) {
    text += "ventrix_config_daemon_check_interval=" + std::to_string(o.daemon_interval) + "\n";
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok ? std::string(path) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, &opt)) return 2;
  const double total = opt.minutes * 60;
  // Warm-up before the first fault, and a quiet end in which the client must
  // have recovered from the last one.
  const double warmup = std::min(30.0, std::max(2.0, total * 0.1));
  const double settle = std::min(30.0, std::max(4.0, total * 0.15));
  if (total < warmup + settle + 2) {
    std::fprintf(stderr, "qel-soak: --minutes too short (at least %.2f)\n", (warmup + settle + 2) / 60);
    return 2;
  }

  SequenceBook book;
  SoakHandle handle(&book);
  SoakLog log(opt.verbose);
  sim::FeedSimulator feed(SoakScenario());
  if (!feed.Start()) {
    std::fprintf(stderr, "qel-soak: simulator: %s\n", feed.LastError().c_str());
    return 1;
  }
  const int node_count = static_cast<int>(feed.scenario().nodes.size());
  const std::string config = WriteConfig(opt);
  if (config.empty()) {
    std::fprintf(stderr, "qel-soak: cannot write the configuration file\n");
    return 1;
  }
  qc::ClientFactory* factory = qc::ClientFactory::Instance();
  factory->RegistLogHandle(&log);
  factory->SetConfig(config.c_str());
  std::remove(config.c_str());
  qc::ClientInterface* client = factory->CreateClient(&handle);
  if (client == nullptr) {
    std::fprintf(stderr, "qel-soak: no client\n");
    return 1;
  }
  int rc = client->LoginByServiceDiscovery("soak", "soak-pass", "127.0.0.1", feed.DiscoveryPort(), {});
  if (rc != 0) {
    std::fprintf(stderr, "qel-soak: login failed: %d\n", rc);
    return 1;
  }
  qm::SubscribeByDataType by_type;
  for (const ChannelSpec& c : kChannels) by_type.add_qeldatatypes(c.data_type);
  rc = client->SubscribeByDatatype(qm::COVERAGE, by_type);
  if (rc != 0) {
    std::fprintf(stderr, "qel-soak: subscribe failed: %d\n", rc);
    return 1;
  }
  const int64_t first_logins = handle.node_logins.load();
  // The run's clock starts once the client is logged in and subscribed.
  const double t0 = Now();
  std::mt19937 rng(opt.seed);
  const std::vector<Event> schedule = DrawSchedule(rng, t0 + warmup, t0 + total - settle, node_count);
  Say("logged in and subscribed; %.2f minutes from now, seed %u, %zu scheduled events, faults from %.0f s to %.0f s",
      opt.minutes, opt.seed, schedule.size(), t0 + warmup, t0 + total - settle);

  SleepUntil(t0 + warmup);
  const Resources warm = Sample();
  Say("after warm-up: threads %d, fds %d, rss %lld KiB", warm.threads, warm.fds, static_cast<long long>(warm.rss_kib));

  int node_kills = 0;
  int client_node_kills = 0;
  int split_periods = 0;
  int slow_periods = 0;
  int discovery_restarts = 0;
  sim::Faults faults;
  for (const Event& e : schedule) {
    SleepUntil(e.at);
    switch (e.kind) {
      case Event::kStopNode: {
        const int site = feed.scenario().nodes[static_cast<size_t>(e.node_index)].site_type;
        const bool held = ClientOnNode(feed.Stats(), e.node_index);
        // The outage opens before the stop, so no record of the replacement
        // connection can come before its window.
        if (held) book.OpenOutage(site, e.node_index);
        feed.StopNode(e.node_index);
        ++node_kills;
        client_node_kills += held ? 1 : 0;
        if (opt.verbose) Say("stop node %d (site type %d)%s", e.node_index, site, held ? ", the client's" : "");
        break;
      }
      case Event::kRestartNode:
        feed.RestartNode(e.node_index);
        if (opt.verbose) Say("restart node %d", e.node_index);
        break;
      case Event::kStopDiscovery:
        feed.StopDiscovery();
        if (opt.verbose) Say("stop discovery");
        break;
      case Event::kRestartDiscovery:
        feed.RestartDiscovery();
        ++discovery_restarts;
        if (opt.verbose) Say("restart discovery");
        break;
      case Event::kSplitOn:
        faults.split_write_bytes = e.split_bytes;
        faults.split_delay_us = e.split_delay_us;
        feed.SetFaults(faults);
        ++split_periods;
        if (opt.verbose) Say("split writes on: %d bytes, %d us", e.split_bytes, e.split_delay_us);
        break;
      case Event::kSplitOff:
        faults = sim::Faults{};
        feed.SetFaults(faults);
        if (opt.verbose) Say("split writes off");
        break;
      case Event::kSlowOn:
        handle.slow = true;
        ++slow_periods;
        if (opt.verbose) Say("slow reads on");
        break;
      case Event::kSlowOff:
        handle.slow = false;
        if (opt.verbose) Say("slow reads off");
        break;
    }
  }
  SleepUntil(t0 + total);

  // Checks.
  std::vector<std::string> breaches;
  const SequenceBook::Summary seen = book.Snapshot();
  const sim::SimulatorStats stats = feed.Stats();
  const double now = Now();
  constexpr double kFlowWindow = 3.0;  // "data flowing" = a record within the last seconds
  for (int site : kSiteTypes) {
    auto it = seen.last_record_at.find(site);
    if (it == seen.last_record_at.end() || now - it->second > kFlowWindow) {
      breaches.push_back("no data on site type " + std::to_string(site) + " in the last " +
                         std::to_string(static_cast<int>(kFlowWindow)) + " s");
    }
    int subscribed = 0;
    for (const auto& c : stats.connections) {
      subscribed += !c.discovery && c.open && c.logged_in && c.site_type == site && c.subscribed_types > 0 ? 1 : 0;
    }
    if (subscribed != 1) {
      breaches.push_back("site type " + std::to_string(site) + ": " + std::to_string(subscribed) +
                         " logged-in, subscribed connections (1 expected)");
    }
  }
  for (const Outage& o : seen.outages) {
    if (o.end < 0) {
      breaches.push_back("outage of site type " + std::to_string(o.site_type) + " from " +
                         std::to_string(static_cast<int>(o.start)) + " s never ended");
    }
  }
  // Each connection's records on a channel, as sent and as delivered: the
  // k-th run of a channel's sequence is the k-th connection that sent on it.
  // A connection a node stop closed may lose what it had sent and the client
  // had not read (a gap inside that outage); the open one may have records
  // in flight; none may have delivered more than it sent.
  int64_t lost_in_outages = 0;
  int64_t in_flight = 0;
  for (const auto& kv : seen.runs_by_channel) {
    const int64_t channel = kv.first;
    std::vector<const sim::ChannelStats*> sent;
    std::vector<bool> open;
    for (const auto& c : stats.connections) {
      auto it = c.channels.find(channel);
      if (c.discovery || it == c.channels.end() || it->second.records == 0) continue;
      sent.push_back(&it->second);
      open.push_back(c.open);
    }
    if (sent.size() != kv.second.size()) {
      breaches.push_back("channel " + std::to_string(channel) + ": " + std::to_string(sent.size()) +
                         " connections sent records, " + std::to_string(kv.second.size()) + " runs delivered");
      continue;
    }
    for (size_t i = 0; i < sent.size(); ++i) {
      const int64_t missing = sent[i]->last_record_seq - kv.second[i];
      if (missing < 0) {
        breaches.push_back("channel " + std::to_string(channel) + ": connection " + std::to_string(i) +
                           " delivered more than it sent");
      } else if (open[i]) {
        in_flight += missing;
      } else {
        lost_in_outages += missing;
      }
    }
  }
  for (const std::string& b : seen.breaches) breaches.push_back(b);
  if (seen.breach_count > static_cast<int64_t>(seen.breaches.size())) {
    breaches.push_back(std::to_string(seen.breach_count - static_cast<int64_t>(seen.breaches.size())) +
                       " more sequence breaches");
  }
  const Resources end = Sample();
  if (end.threads > warm.threads + kThreadSlack) breaches.push_back("threads grew");
  if (end.fds > warm.fds + kFdSlack) breaches.push_back("file descriptors grew");
  if (end.rss_kib > warm.rss_kib + kRssSlackKib) breaches.push_back("resident memory grew");

  // Clean shutdown: Uninstance stops every library thread within bounds.
  const double shutdown_start = Now();
  auto shutdown = std::async(std::launch::async, [] { qc::ClientFactory::Uninstance(); });
  constexpr double kShutdownBound = 15.0;
  const bool prompt = shutdown.wait_for(Seconds(kShutdownBound)) == std::future_status::ready;
  const double shutdown_s = Now() - shutdown_start;
  if (!prompt) breaches.push_back("ClientFactory::Uninstance did not return within 15 s");

  // Summary.
  std::printf("\n==== qel-soak summary (%.1f min, seed %u) ====\n", opt.minutes, opt.seed);
  for (int site : kSiteTypes) {
    auto it = seen.records_by_site.find(site);
    std::printf("records delivered, site type %d: %lld\n", site,
                static_cast<long long>(it == seen.records_by_site.end() ? 0 : it->second));
  }
  for (const auto& kv : seen.records_by_channel) {
    std::printf("  channel %lld: %lld records, %lld restarts (new connections)\n", static_cast<long long>(kv.first),
                static_cast<long long>(kv.second), static_cast<long long>(seen.restarts_by_channel.at(kv.first)));
  }
  std::printf("records sent by the simulator: %lld\n", static_cast<long long>(stats.records_sent));
  std::printf("node kills: %d (%d of the client's node), discovery restarts: %d, split-write periods: %d, "
              "slow-read periods: %d\n",
              node_kills, client_node_kills, discovery_restarts, split_periods, slow_periods);
  std::printf("datafeed reconnects (node logins after the first): %lld, node login failures: %lld, "
              "discovery logins: %lld\n",
              static_cast<long long>(handle.node_logins.load() - first_logins),
              static_cast<long long>(handle.node_login_failures.load()),
              static_cast<long long>(stats.discovery_logins_ok));
  std::printf("outages: %zu\n", seen.outages.size());
  for (const Outage& o : seen.outages) {
    std::printf("  site type %d, node %d: %.2f s -> %s\n", o.site_type, o.node_index, o.start,
                o.end < 0 ? "never" : (std::to_string(o.end) + " s (" + std::to_string(o.end - o.start) + " s)").c_str());
  }
  std::printf("gaps inside outage windows: %lld within connections (%lld records), %lld records sent by killed "
              "connections and never read; sequence breaches outside: %lld; in flight at the end: %lld\n",
              static_cast<long long>(seen.gaps_in_windows), static_cast<long long>(seen.gap_records_in_windows),
              static_cast<long long>(lost_in_outages), static_cast<long long>(seen.breach_count),
              static_cast<long long>(in_flight));
  std::printf("threads: %d -> %d (slack %d), fds: %d -> %d (slack %d), rss: %lld -> %lld KiB (slack %lld KiB)\n",
              warm.threads, end.threads, kThreadSlack, warm.fds, end.fds, kFdSlack,
              static_cast<long long>(warm.rss_kib), static_cast<long long>(end.rss_kib),
              static_cast<long long>(kRssSlackKib));
  std::printf("library log: %lld errors, %lld warnings; shutdown: %.3f s\n", static_cast<long long>(log.errors.load()),
              static_cast<long long>(log.warnings.load()), shutdown_s);
  if (breaches.empty()) {
    std::printf("RESULT: PASS\n");
  } else {
    std::printf("RESULT: FAIL\n");
    for (const std::string& b : breaches) std::printf("  breach: %s\n", b.c_str());
  }
  std::fflush(stdout);
  if (!prompt) _exit(1);  // a library thread is stuck: do not wait for it at exit
  feed.Stop();
  return breaches.empty() ? 0 : 1;
}
