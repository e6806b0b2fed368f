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

// The stream every measurement uses: stock snapshots with 10-level queues on
// four channels, 64 securities, 50 records a frame.
sim::StreamSpec StockStream(bool lz4) {
  sim::StreamSpec s;
  s.site_type = 1;
  s.data_type = kDataType;
  s.record_kind = sim::kQELStock;
  s.channels = {1, 2, 3, 4};
  for (int i = 0; i < 64; ++i) s.security_ids.push_back(std::to_string(600000 + i) + ".SH");
  s.batch = 50;
  s.queue_levels = 10;
  s.lz4 = lz4;
  return s;
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
    if (m_sleep_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(m_sleep_us));
  }
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
};

// One simulator and one logged-in, subscribed client; Uninstance on scope exit.
class Session {
 public:
  Session(sim::StreamSpec stream, BenchHandle* handle, int pace_tick_us = 10000) {
    sim::Scenario scenario;
    scenario.pace_tick_us = pace_tick_us;
    scenario.users = {{kUser, kPassword}};
    scenario.nodes = {{1, 100, false, 0}};
    scenario.streams = {std::move(stream)};
    m_sim = std::make_unique<sim::FeedSimulator>(scenario);
    if (!m_sim->Start()) {
      m_error = "simulator: " + m_sim->LastError();
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
      check += record->qelstock().numtrades();
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

ThroughputResult RunThroughput(bool lz4, int64_t records, double timeout_s) {
  ThroughputResult r;
  ResetPeakResident();
  BenchHandle handle;
  sim::StreamSpec stream = StockStream(lz4);
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

LatencyResult RunLatency(double rate, double seconds) {
  LatencyResult r;
  const double warmup = 1.0;
  BenchHandle handle(0, static_cast<size_t>(rate * (seconds + 1) * 1.2) + 1024);
  sim::StreamSpec stream = StockStream(false);
  stream.rate_per_sec = rate;
  stream.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  // Frames leave every millisecond (the loop timers' grain) rather than as
  // 10 ms bursts, so a record's wait measures the client, not the pacing.
  Session session(stream, &handle, 1000);
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
std::vector<int64_t> BareReaderLatency(double rate, double seconds) {
  std::vector<int64_t> out;
  sim::StreamSpec stream = StockStream(false);
  stream.rate_per_sec = rate;
  stream.send_stamp = sim::StreamSpec::SendStamp::kMonotonic;
  sim::Scenario scenario;
  scenario.users = {{kUser, kPassword}};
  scenario.nodes = {{1, 100, false, 0}};
  scenario.streams = {stream};
  scenario.pace_tick_us = 1000;
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
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return false;
    }
  }
  return o->records > 0 && o->memory_seconds > 0 && o->latency_seconds > 0 && o->rate > 0;
}

void Usage() {
  std::fprintf(stderr,
               "pipeline_bench [--runs N] [--records N] [--memory-seconds S] [--latency-seconds S]\n"
               "               [--rate R] [--threads N] [--idle-us N] [--inflight-mib N]\n"
               "               [--only ceiling|throughput|memory|latency]\n"
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

  std::printf("pipeline_bench: runs=%d callback_workers=%u idle_sleep_us=%lld inflight_mib=%u stream=QELStock "
              "10 levels, 50 records/frame, 4 channels, 64 securities\n",
              opt.runs, config.GetHandleThreadNum(),
              static_cast<long long>(config.GetThreadIdleSleepTime().count()), config.GetMaxInflightBytes() >> 20);

  double ceiling = 0;
  if (all || opt.only == "ceiling" || opt.only == "throughput") {
    const RecordSet set = BuildRecords(StockStream(false), 64 * 1024);
    std::vector<double> rates;
    for (int i = 0; i < opt.runs; ++i) {
      rates.push_back(DecodeCeiling(set, 1.0));
      std::printf("ceiling run %d: %.0f records/s (new + ParseFromArray + delete, one thread, %zu-byte records)\n",
                  i + 1, rates.back(), set.bytes.size() / set.spans.size());
    }
    ceiling = Median(rates);
    qm::MarketData sample;
    sample.ParseFromArray(set.bytes.data(), static_cast<int>(set.spans[0].second));
    std::printf("ceiling median: %.0f records/s; one decoded record holds %zu bytes of heap objects\n", ceiling,
                sample.SpaceUsedLong());
  }

  if (all || opt.only == "throughput") {
    const int64_t records = opt.records;
    for (const bool lz4 : {false, true}) {
      std::vector<double> rates, rss;
      bool lossless = true;
      for (int i = 0; i < opt.runs; ++i) {
        const ThroughputResult r = RunThroughput(lz4, records, 120);
        std::printf("throughput %s run %d: %.0f records/s, ratio %.2f, delivered %lld of %lld sent (%s), "
                    "peak_rss %.1f MiB\n",
                    lz4 ? "lz4" : "plain", i + 1, r.rate, ceiling > 0 ? r.rate / ceiling : 0,
                    static_cast<long long>(r.delivered), static_cast<long long>(r.sent),
                    r.ok ? "no loss" : "LOSS OR TIMEOUT", r.peak_rss_mib);
        lossless = lossless && r.ok;
        rates.push_back(r.rate);
        rss.push_back(r.peak_rss_mib);
      }
      const double ratio = ceiling > 0 ? Median(rates) / ceiling : 0;
      std::printf("throughput %s median: %.0f records/s, ratio %.2f of the ceiling (target >= 0.60: %s), "
                  "loss check %s, peak_rss median %.1f MiB\n",
                  lz4 ? "lz4" : "plain", Median(rates), ratio, ratio >= 0.6 ? "met" : "MISSED",
                  lossless ? "passed" : "FAILED", Median(rss));
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
  }

  if (all || opt.only == "latency") {
    const std::vector<int64_t> bare = BareReaderLatency(opt.rate, 2.0);
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
      const LatencyResult r = RunLatency(opt.rate, opt.latency_seconds);
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
    }
  }
  return failures == 0 ? 0 : 1;
}
