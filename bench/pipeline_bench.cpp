// End-to-end speed of the client: a feed-simulator node on 127.0.0.1, the real
// client (ClientFactory -> login through discovery -> subscribe by data type)
// and a callback in the application's place. Four measurements:
//
//  ceiling     one thread parses the same records from memory with new +
//              ParseFromArray + delete per record: what decoding alone allows.
//  throughput  the node pushes stock snapshots (10-level queues, 50 records a
//              frame, plain and LZ4) as fast as the socket takes them, up to a
//              fixed record count; records/s from the first to the last record
//              delivered to a counting callback, the ratio to the ceiling, and
//              the loss check (delivered == the simulator's sent count after
//              the stream ends and the client drains). Peak resident memory
//              (VmHWM) of the run is printed with it.
//  memory      the node pushes as fast as it can to a callback that sleeps
//              1 ms per record; peak resident memory (VmHWM) over the run.
//  latency     the node holds a fixed rate and stamps every record with
//              CLOCK_MONOTONIC at send time; p50/p99/p99.9 of stamp -> callback,
//              beside the loopback floor (TCP ping-pong round trip on 127.0.0.1).
//
// Each measurement runs --runs times; lines marked "median" give the median of
// the runs. The simulator runs in this process, so the memory figures include
// its (bounded) output queues.
//
//   pipeline_bench [--runs N] [--records N] [--memory-seconds S]
//                  [--latency-seconds S] [--rate R] [--threads N] [--idle-us N]
//                  [--inflight-mib N]
//                  [--only ceiling|throughput|memory|latency]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
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
#include "sim_records.h"

namespace {

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using Clock = std::chrono::steady_clock;

constexpr int kDataType = 3;
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "pw";

struct Options {
  int runs = 3;
  int64_t records = 1000000;   // records of one throughput run
  double memory_seconds = 8;   // the sleeping-callback memory run
  double latency_seconds = 5;  // one latency run
  double rate = 100000;        // records/s of the latency run
  int threads = 0;             // callback workers; 0 = the library's default
  int idle_us = -1;            // pipeline idle sleep; -1 = the library's default
  int inflight_mib = 0;        // payload bytes in flight per site type; 0 = the library's default
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
  explicit BenchHandle(int sleep_us = 0, size_t latency_room = 0)
      : m_sleep_us(sleep_us), m_samples(latency_room), m_positions(latency_room) {}
  void OnMarketData(const qm::MarketData& record) override {
    const int64_t now = m_samples.empty() ? 0 : MonotonicNanos();
    if (m_count.fetch_add(1, std::memory_order_relaxed) == 0) {
      m_first_ns.store(MonotonicNanos(), std::memory_order_relaxed);
    }
    if (!m_samples.empty() && m_sampling.load(std::memory_order_relaxed)) {
      const int64_t stamp = record.qelstock().highprecisiontimestamp1();
      const size_t i = m_next_sample.fetch_add(1, std::memory_order_relaxed);
      if (i < m_samples.size()) {
        m_samples[i] = now - stamp;
        // Place in its frame: a channel's frames hold 50 records each.
        m_positions[i] = static_cast<uint8_t>((record.qelstock().numtrades() - 1) % 50);
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
  std::atomic<int64_t> m_count{0};
  std::atomic<int64_t> m_first_ns{0};
  std::atomic<bool> m_sampling{false};
  std::vector<int64_t> m_samples;          // slots claimed through m_next_sample
  std::vector<uint8_t> m_positions;        // place of each sample's record in its frame
  std::atomic<size_t> m_next_sample{0};
  std::atomic<int64_t> m_stamped_after{0};    // 0: not watching
  std::atomic<int64_t> m_first_after_ns{0};   // callback time of the first such record
};

// One simulator and one logged-in, subscribed client; Uninstance on scope exit.
class Session {
 public:
  Session(sim::StreamSpec stream, BenchHandle* handle, int pace_tick_us = 10000, int pace_max_backlog_ms = 1000)
      : Session(std::vector<sim::StreamSpec>{std::move(stream)}, {{1, 100, false, 0}}, handle, pace_tick_us, {},
                pace_max_backlog_ms) {}
  // Nodes and streams as given; the client subscribes to kDataType on every
  // site type. `before_client`, if set, runs once the simulator listens and
  // before the client exists.
  Session(std::vector<sim::StreamSpec> streams, std::vector<sim::NodeSpec> nodes, BenchHandle* handle,
          int pace_tick_us = 10000, const std::function<void()>& before_client = {},
          int pace_max_backlog_ms = 1000) {
    sim::Scenario scenario;
    scenario.pace_tick_us = pace_tick_us;
    scenario.pace_max_backlog_ms = pace_max_backlog_ms;
    scenario.users = {{kUser, kPassword}};
    scenario.nodes = std::move(nodes);
    scenario.streams = std::move(streams);
    m_sim = std::make_unique<sim::FeedSimulator>(scenario);
    if (!m_sim->Start()) {
      m_error = "simulator: " + m_sim->LastError();
      return;
    }
    if (before_client) before_client();
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
    int rc = client->LoginByServiceDiscovery(kUser, kPassword, "127.0.0.1", m_sim->DiscoveryPort(), {});
    if (rc != 0) {
      m_error = "login failed, code " + std::to_string(rc);
      return;
    }
    qm::SubscribeByDataType by_type;
    by_type.add_qeldatatypes(kDataType);
    m_subscribed_at = Clock::now();
    rc = client->SubscribeByDatatype(qm::COVERAGE, by_type);
    if (rc != 0) {
      m_error = "subscribe failed, code " + std::to_string(rc);
      return;
    }
    m_ok = true;
  }
  ~Session() {
    qc::ClientFactory::Uninstance();
    if (m_sim) m_sim->Stop();
  }
  bool ok() const { return m_ok; }
  const std::string& error() const { return m_error; }
  sim::FeedSimulator& feed() { return *m_sim; }

 private:
  std::unique_ptr<sim::FeedSimulator> m_sim;
  bool m_ok = false;
  std::string m_error;
  Clock::time_point m_subscribed_at;
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
};

ThroughputResult RunThroughput(int record_kind, bool lz4, int64_t records, double timeout_s) {
  ThroughputResult r;
  ResetPeakResident();
  BenchHandle handle;
  sim::StreamSpec stream = KindStream(record_kind, lz4);
  stream.max_records = records;
  Session session(stream, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "throughput: %s\n", session.error().c_str());
    return r;
  }
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
  int64_t last_ns = 0;
  while (Clock::now() < deadline) {
    if (handle.Count() >= records) {
      last_ns = MonotonicNanos();
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  // Anything beyond the stream's end would show up as a surplus.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  r.delivered = handle.Count();
  r.sent = session.feed().Stats().records_sent;
  r.peak_rss_mib = static_cast<double>(StatusKiB("VmHWM:")) / 1024;
  if (last_ns == 0) return r;
  r.rate = static_cast<double>(records) * 1e9 / static_cast<double>(last_ns - handle.FirstNanos());
  r.ok = r.delivered == r.sent && r.sent == records;
  return r;
}

// ---- memory ----------------------------------------------------------------

struct MemoryResult {
  bool ok = false;
  double peak_rss_mib = 0;
  int64_t delivered = 0;
  int64_t sent = 0;
};

MemoryResult RunMemory(int sleep_us, double seconds) {
  MemoryResult r;
  ResetPeakResident();
  BenchHandle handle(sleep_us);
  Session session(StockStream(false), &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "memory: %s\n", session.error().c_str());
    return r;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  r.peak_rss_mib = static_cast<double>(StatusKiB("VmHWM:")) / 1024;
  r.delivered = handle.Count();
  r.sent = session.feed().Stats().records_sent;
  r.ok = true;
  return r;
}

// ---- latency ---------------------------------------------------------------

struct LatencyResult {
  bool ok = false;
  double p50_us = 0, p99_us = 0, p999_us = 0, max_us = 0;
  double first_p50_us = 0, last_p50_us = 0;  // first and last record of a frame
  size_t samples = 0;
  double rate = 0;  // records/s delivered while sampling
};

LatencyResult RunLatency(double rate, double seconds, int pace_backlog_ms) {
  LatencyResult r;
  const double warmup = 1.0;
  BenchHandle handle(0, static_cast<size_t>(rate * (seconds + 1) * 1.2) + 1024);
  sim::StreamSpec stream = StockStream(false);
  stream.rate_per_sec = rate;
  stream.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  // Frames leave every millisecond (the loop timers' grain) rather than as
  // 10 ms bursts, and a stall of the simulator's own thread (it shares the
  // cores) is not made up for by a burst of up to a second of records: a
  // record's wait measures the client, not the pacing.
  Session session(stream, &handle, 1000, pace_backlog_ms);
  if (!session.ok()) {
    std::fprintf(stderr, "latency: %s\n", session.error().c_str());
    return r;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
  const int64_t before = handle.Count();
  handle.SetSampling(true);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  handle.SetSampling(false);
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  r.rate = static_cast<double>(handle.Count() - before) / secs;
  const std::vector<int64_t> v = handle.SortedSamples();
  if (v.empty()) return r;
  r.samples = v.size();
  r.p50_us = static_cast<double>(Quantile(v, 0.50)) / 1000;
  r.p99_us = static_cast<double>(Quantile(v, 0.99)) / 1000;
  r.p999_us = static_cast<double>(Quantile(v, 0.999)) / 1000;
  r.max_us = static_cast<double>(v.back()) / 1000;
  r.first_p50_us = static_cast<double>(Quantile(handle.SortedSamplesAt(0), 0.50)) / 1000;
  r.last_p50_us = static_cast<double>(Quantile(handle.SortedSamplesAt(49), 0.50)) / 1000;
  r.ok = true;
  return r;
}

// The same stamped stream read by a bare blocking reader (the tests' wire
// client, no library): stamp -> frame read, per frame, sorted, nanoseconds.
// What the simulator and the socket cost before the client's pipeline starts.
std::vector<int64_t> BareReaderLatency(double rate, double seconds, int pace_backlog_ms) {
  std::vector<int64_t> out;
  sim::StreamSpec stream = StockStream(false);
  stream.rate_per_sec = rate;
  stream.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  sim::Scenario scenario;
  scenario.users = {{kUser, kPassword}};
  scenario.nodes = {{1, 100, false, 0}};
  scenario.streams = {stream};
  scenario.pace_tick_us = 1000;
  scenario.pace_max_backlog_ms = pace_backlog_ms;
  sim::FeedSimulator feed(scenario);
  if (!feed.Start()) return out;
  wire::Client c;
  wire::RawFrame f;
  qm::MetaData meta;
  if (!c.Connect(feed.NodePort(1, 0)) || !c.Send(wire::DatafeedLogin(kUser, feed.IssueToken(kUser), "bench_login")) ||
      !c.ReadUntil(qm::LOGIN_RESPONSE, &f, &meta) ||
      !c.Send(wire::SubscribeTypes({kDataType}, "bench_subscribe")) ||
      !c.ReadUntil(qm::SUBSCRIBE_RESPONSE, &f, &meta)) {
    return out;
  }
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end && c.ReadFrame(&f)) {
    const int64_t now = MonotonicNanos();
    if (!meta.ParseFromString(f.meta) || meta.sysmessagetype() != qm::PUSH_MARKET_DATA) continue;
    std::vector<qm::MarketData> records;
    std::string why;
    if (wire::DecodeRecords(f, &records, &why) && !records.empty()) {
      out.push_back(now - sim::RecordSendStamp(records.front()));
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Round trips of 64 bytes over a TCP connection on 127.0.0.1 (TCP_NODELAY on
// both ends, an echo thread at the other end), back to back or with gap_us of
// idle time between them (as between the latency run's frames, when both
// threads block and the CPUs may go idle). Sorted, in nanoseconds.
std::vector<int64_t> LoopbackRoundTrips(double seconds, int gap_us = 0) {
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
// data minus VmRSS once the simulator listens and before the client exists.
// Runs in a child process of its own, so that no earlier run's freed heap is
// reused and hides what this client needs. KiB; -1 on failure.
long ClientResidentKiB(int site_types) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::vector<sim::StreamSpec> streams;
    std::vector<sim::NodeSpec> nodes;
    for (int st = 1; st <= site_types; ++st) {
      sim::StreamSpec s = StockStream(false);
      s.site_type = st;
      s.rate_per_sec = 20000;
      streams.push_back(s);
      nodes.push_back({st, 100, false, 0});
    }
    long base = -1, used = -1;
    {
      BenchHandle handle;
      Session session(streams, nodes, &handle, 10000, [&base] { base = StatusKiB("VmRSS:"); });
      if (session.ok()) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        if (handle.Count() > 0) used = StatusKiB("VmRSS:") - base;
      } else {
        std::fprintf(stderr, "resident: %s\n", session.error().c_str());
      }
    }
    const ssize_t n = write(fds[1], &used, sizeof(used));
    _exit(n == static_cast<ssize_t>(sizeof(used)) ? 0 : 1);
  }
  close(fds[1]);
  long used = -1;
  if (pid < 0 || read(fds[0], &used, sizeof(used)) != static_cast<ssize_t>(sizeof(used))) used = -1;
  close(fds[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return used;
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
  BenchHandle handle;
  sim::StreamSpec s = StockStream(false);
  s.rate_per_sec = 20000;
  Session session(s, &handle);
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
  BenchHandle handle;
  sim::StreamSpec s = StockStream(false);
  s.rate_per_sec = 2000;
  s.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  Session session(std::vector<sim::StreamSpec>{s}, {{1, 100, false, 0}, {1, 90, false, 0}}, &handle);
  if (!session.ok()) {
    std::fprintf(stderr, "reconnect: %s\n", session.error().c_str());
    return out;
  }
  std::srand(static_cast<unsigned>(MonotonicNanos()));
  for (int rep = 1; rep <= reps; ++rep) {
    std::this_thread::sleep_for(std::chrono::duration<double>(interval_s * (std::rand() % 1000) / 1000.0));
    int node = -1;
    for (const sim::ConnectionStats& c : session.feed().Stats().connections) {
      if (c.open && !c.discovery && c.logged_in) node = c.node_index;
    }
    if (node < 0) {
      std::printf("reconnect run %d: no logged-in connection to stop\n", rep);
      continue;
    }
    const int64_t stopped = MonotonicNanos();
    handle.WatchForStampAfter(stopped);
    session.feed().StopNode(node);
    const auto deadline = Clock::now() + std::chrono::duration<double>(interval_s * 6);
    while (handle.FirstAfterNanos() == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int64_t first = handle.FirstAfterNanos();
    session.feed().RestartNode(node);
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
    else if (a == "--threads") o->threads = std::atoi(v);
    else if (a == "--idle-us") o->idle_us = std::atoi(v);
    else if (a == "--inflight-mib") o->inflight_mib = std::atoi(v);
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
         (o->kind == "all" || o->kind == "stock" || o->kind == "order" || o->kind == "trade") &&
         o->memory_minutes >= 0 && o->reconnect_runs > 0 && o->pace_backlog_ms > 0;
}

void Usage() {
  std::fprintf(stderr,
               "pipeline_bench [--runs N] [--records N] [--memory-seconds S] [--latency-seconds S]\n"
               "               [--rate R] [--threads N] [--idle-us N] [--inflight-mib N]\n"
"               [--kind stock|order|trade|all] [--memory-minutes M] [--reconnect-runs N]\n"
               "               [--only ceiling|throughput|memory|growth|latency|reconnect]\n"
               "  --kind             record kinds of the ceiling and throughput runs (default all)\n"
               "  --memory-minutes   length of the resident-memory growth run (default 0: not run)\n"
               "  --reconnect-runs   node deaths timed by the reconnect run (default 5)\n"
               "  --pace-backlog-ms  most the latency runs' simulator sends at once after a stall (default 10)\n"
               "  --runs             repetitions of each measurement (default 3; medians printed)\n"
               "  --records          records of one throughput run (default 1000000)\n"
               "  --memory-seconds   length of the sleeping-callback memory run (default 8)\n"
               "  --latency-seconds  sampled length of one latency run (default 5)\n"
               "  --rate             records/s of the latency run (default 100000)\n"
               "  --threads          callback workers (default: the library's default)\n"
               "  --idle-us          idle sleep of the pipeline threads, microseconds (default: the library's)\n"
               "  --inflight-mib     payload MiB in flight per site type (default: the library's)\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, &opt)) {
    Usage();
    return 2;
  }
  qc::BaseConfig& config = qc::BaseConfig::GetInstance();
  config.CloseFileLog();
  config.CloseCoutLog();
  config.SetUseSSL(false);
  if (opt.threads > 0) config.SetHandleThreadNum(static_cast<uint32_t>(opt.threads));
  if (opt.idle_us >= 0) config.SetThreadIdleSleepTime(static_cast<uint32_t>(opt.idle_us));
  if (opt.inflight_mib > 0) config.SetMaxInflightBytes(static_cast<uint32_t>(opt.inflight_mib) << 20);
  const bool all = opt.only.empty();
  int failures = 0;

  std::printf("pipeline_bench: runs=%d callback_workers=%u idle_sleep_us=%lld inflight_mib=%u latency pace backlog %d ms "
              "stream 50 records/frame, 4 channels, 64 securities\n",
              opt.runs, config.GetHandleThreadNum(),
              static_cast<long long>(config.GetThreadIdleSleepTime().count()), config.GetMaxInflightBytes() >> 20,
              opt.pace_backlog_ms);

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
    const double ceiling = Median(rates);
    qm::MarketData sample;
    sample.ParseFromArray(set.bytes.data(), static_cast<int>(set.spans[0].second));
    std::printf("ceiling %s median: %.0f records/s; one decoded record holds %zu bytes of heap objects\n",
                KindName(kind), ceiling, sample.SpaceUsedLong());
    std::printf("@row|Decode ceiling|%s, one thread from memory (plain and LZ4 parse the same records)|%.2fM "
                "records/s|1.00|reference|-\n",
                KindName(kind), ceiling / 1e6);
    std::fflush(stdout);
    if (!(all || opt.only == "throughput")) continue;
    for (const bool lz4 : {false, true}) {
      std::vector<double> tput, rss;
      bool lossless = true;
      for (int i = 0; i < opt.runs; ++i) {
        const ThroughputResult r = RunThroughput(kind, lz4, opt.records, 120);
        std::printf("throughput %s %s run %d: %.0f records/s, ratio %.2f, delivered %lld of %lld sent (%s), "
                    "peak_rss %.1f MiB\n",
                    KindName(kind), lz4 ? "lz4" : "plain", i + 1, r.rate, ceiling > 0 ? r.rate / ceiling : 0,
                    static_cast<long long>(r.delivered), static_cast<long long>(r.sent),
                    r.ok ? "no loss" : "LOSS OR TIMEOUT", r.peak_rss_mib);
        std::fflush(stdout);
        lossless = lossless && r.ok;
        tput.push_back(r.rate);
        rss.push_back(r.peak_rss_mib);
      }
      const double ratio = ceiling > 0 ? Median(tput) / ceiling : 0;
      const bool met = ratio >= 0.6 && lossless;
      std::printf("throughput %s %s median: %.0f records/s, ratio %.2f of the ceiling (target >= 0.60: %s), "
                  "loss check %s, peak_rss median %.1f MiB\n",
                  KindName(kind), lz4 ? "lz4" : "plain", Median(tput), ratio, ratio >= 0.6 ? "met" : "MISSED",
                  lossless ? "passed" : "FAILED", Median(rss));
      std::printf("@row|Pipeline|%s %s, simulator -> client -> counting callback|%.2fM records/s, %s|%.2f|>= 0.6 "
                  "of ceiling, zero lost|%s\n",
                  KindName(kind), lz4 ? "lz4" : "plain", Median(tput) / 1e6, lossless ? "0 lost" : "LOSS",
                  ratio, met ? "yes" : "NO");
      std::fflush(stdout);
      failures += lossless ? 0 : 1;
    }
  }

  if (all || opt.only == "memory") {
    // The counting-callback case is the throughput run's peak above; here the
    // callback sleeps 1 ms per record, so the node outpaces it by far.
    const MemoryResult r = RunMemory(1000, opt.memory_seconds);
    std::printf("memory (callback sleeps 1 ms/record, %.0f s): peak_rss %.1f MiB (target < 768: %s), "
                "delivered %lld, sent %lld\n",
                opt.memory_seconds, r.peak_rss_mib, r.ok && r.peak_rss_mib < 768 ? "met" : "MISSED",
                static_cast<long long>(r.delivered), static_cast<long long>(r.sent));
    failures += r.ok ? 0 : 1;
    // Per site type: a client with two site types against one with one, each
    // in a fresh process; the difference is what one more site type costs.
    const long one = ClientResidentKiB(1);
    const long two = ClientResidentKiB(2);
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
                  "flowing)|%.1f MiB per site type, %.1f MiB with 1|-|report|-\n",
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
    std::printf("@row|Memory|RSS growth over %g min of steady data (20k records/s), least-squares fit|%+.2f MiB "
                "(%.1f -> %.1f MiB)|%.4f|no growth (< 2 MiB)|%s\n",
                opt.memory_minutes, g.fitted_growth_mib, g.start_mib, g.end_mib,
                g.start_mib > 0 ? g.end_mib / g.start_mib : 0, flat ? "yes" : "NO");
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
      const double med = Median(times);
      std::printf("reconnect median over %zu runs: %.3f s, max %.3f s; daemon check interval %.0f s; ratio %.2f\n",
                  times.size(), med, *std::max_element(times.begin(), times.end()), interval, med / interval);
      std::printf("@row|Reconnect|node death -> first record from the backup, default configuration, median of "
                  "%zu|%.2f s (max %.2f s)|%.2f of %.0f s|< 1 daemon interval|%s\n",
                  times.size(), med, *std::max_element(times.begin(), times.end()), med / interval, interval,
                  med < interval ? "yes" : "NO");
    }
  }

  if (all || opt.only == "latency") {
    const std::vector<int64_t> bare = BareReaderLatency(opt.rate, 2.0, opt.pace_backlog_ms);
    if (!bare.empty()) {
      std::printf("bare reader (no library, blocking reads, %zu frames): send stamp -> frame read p50 %.1f us, "
                  "p99 %.1f us, p99.9 %.1f us\n",
                  bare.size(), static_cast<double>(Quantile(bare, 0.5)) / 1000,
                  static_cast<double>(Quantile(bare, 0.99)) / 1000, static_cast<double>(Quantile(bare, 0.999)) / 1000);
    }
    const std::vector<int64_t> gapped = LoopbackRoundTrips(1.0, 500);
    if (!gapped.empty()) {
      std::printf("loopback round trip with 500 us idle between trips (%zu trips): p50 %.1f us, p99 %.1f us, "
                  "p99.9 %.1f us\n",
                  gapped.size(), static_cast<double>(Quantile(gapped, 0.5)) / 1000,
                  static_cast<double>(Quantile(gapped, 0.99)) / 1000,
                  static_cast<double>(Quantile(gapped, 0.999)) / 1000);
    }
    std::vector<double> p50, p99, p999, floor50, floor99, floor999;
    for (int i = 0; i < opt.runs; ++i) {
      const std::vector<int64_t> rtt = LoopbackRoundTrips(1.0);
      const LatencyResult r = RunLatency(opt.rate, opt.latency_seconds, opt.pace_backlog_ms);
      if (!r.ok || rtt.empty()) {
        std::printf("latency run %d: FAILED (no samples)\n", i + 1);
        ++failures;
        continue;
      }
      floor50.push_back(static_cast<double>(Quantile(rtt, 0.50)) / 1000);
      floor99.push_back(static_cast<double>(Quantile(rtt, 0.99)) / 1000);
      floor999.push_back(static_cast<double>(Quantile(rtt, 0.999)) / 1000);
      p50.push_back(r.p50_us);
      p99.push_back(r.p99_us);
      p999.push_back(r.p999_us);
      std::printf("latency run %d: %.0f records/s, %zu samples, send stamp -> callback p50 %.1f us, p99 %.1f us, "
                  "p99.9 %.1f us, max %.1f us (p50 of a frame's first record %.1f us, of its last %.1f us); "
                  "loopback round trip p50 %.1f us, p99 %.1f us, p99.9 %.1f us\n",
                  i + 1, r.rate, r.samples, r.p50_us, r.p99_us, r.p999_us, r.max_us, r.first_p50_us,
                  r.last_p50_us, floor50.back(),
                  floor99.back(), floor999.back());
    }
    if (!p50.empty()) {
      const double m50 = Median(p50), m99 = Median(p99), m999 = Median(p999);
      const double f50 = Median(floor50), f99 = Median(floor99), f999 = Median(floor999);
      std::printf("latency median: p50 %.1f us (target <= 100: %s), p99 %.1f us (target <= 500: %s), p99.9 %.1f us\n",
                  m50, m50 <= 100 ? "met" : "MISSED", m99, m99 <= 500 ? "met" : "MISSED", m999);
      std::printf("loopback floor median: round trip p50 %.1f us, p99 %.1f us, p99.9 %.1f us; "
                  "latency / round trip: p50 %.1fx, p99 %.1fx, p99.9 %.1fx\n",
                  f50, f99, f999, m50 / f50, m99 / f99, m999 / f999);
      std::printf("@row|Latency|%.0f records/s, send stamp -> callback p50 / p99 / p99.9|%.0f / %.0f / %.0f us (floor "
                  "%.0f / %.0f / %.0f us)|%.1fx / %.1fx floor|p50 <= 100 us, p99 <= 500 us|%s\n",
                  opt.rate, m50, m99, m999, f50, f99, f999, m50 / f50, m99 / f99, m50 <= 100 && m99 <= 500 ? "yes" : "NO");
    }
  }
  return failures == 0 ? 0 : 1;
}
