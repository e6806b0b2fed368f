// qel-cli: logs in, subscribes and prints the market-data records it receives
// as JSON lines (or a per-second summary). Uses the library's public headers
// and its exported pb2json only.
//
// Threads: the main thread logs in, subscribes, ticks the summary and the
// statistics lines and shuts down; a signal thread turns SIGINT/SIGTERM into
// a stop request; the library's worker threads call
// RecordPrinter::OnMarketData concurrently; with --metrics, the metrics
// server's thread renders the client's statistics for each request.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "call_gate.h"
#include "capture.h"
#include "cli_options.h"
#include "client_config.h"
#include "client_factory.h"
#include "client_interface.h"
#include "client_stats.h"
#include "log_interface.h"
#include "message_handle.h"
#include "read_capture.h"
#include "metrics_server.h"
#include "stats_text.h"
#include "swig/json2pb.h"

namespace {

namespace qc = com::quor::kbr::client;
namespace model = com::quor::qel::model;
using Clock = std::chrono::steady_clock;

std::mutex g_stderr_mutex;  // one whole line at a time on standard error

void ErrLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  std::fprintf(stderr, "qel-cli: %s\n", line.c_str());
  std::fflush(stderr);
}

// Library log lines to standard error, each also reported to the call gate
// (a line from main's thread shows its call is inside the client). Called on
// any thread; borrows the gate.
class StderrLog : public qc::LogInterface {
 public:
  StderrLog(bool verbose, qel::cli::CallGate& gate)
      : m_min_level(verbose ? qc::VENTRIX_INFO : qc::VentrixLogLevel{qc::VENTRIX_WARN}), m_gate(gate) {}
  void LogPrint(qc::VentrixLogLevel level, const char* message) override {
    m_gate.LibraryLineLogged();
    if (level < m_min_level) return;
    static const char* const kNames[] = {"DEBUG", "INFO", "WARN", "ERROR"};
    ErrLine(std::string("library ") + kNames[level < 4 ? static_cast<unsigned>(level) : 3u] + ": " + message);
  }

 private:
  const qc::VentrixLogLevel m_min_level;
  qel::cli::CallGate& m_gate;
};

// Counters since start; a snapshot is taken each second for the rates.
struct Counters {
  Clock::time_point first_record{};  // when the first record arrived
  int64_t records = 0;
  int64_t bytes = 0;
  std::map<std::string, int64_t> by_type;
  std::map<int, int64_t> by_site;
};

// "k1 r1, k2 r2": the rate of each key's count since before.
template <typename Key>
std::string KeyRates(const std::map<Key, int64_t>& now, const std::map<Key, int64_t>& before, double secs,
                     const char* separator) {
  std::string text;
  for (const auto& kv : now) {
    auto old = before.find(kv.first);
    const int64_t n = kv.second - (old == before.end() ? 0 : old->second);
    std::ostringstream key;
    key << kv.first;
    text += (text.empty() ? "" : ", ") + key.str() + separator + std::to_string(static_cast<int64_t>(n / secs + 0.5));
  }
  return text;
}

std::string Rates(const Counters& now, const Counters& before, double secs) {
  const int64_t records = static_cast<int64_t>((now.records - before.records) / secs + 0.5);
  const int64_t bytes = static_cast<int64_t>((now.bytes - before.bytes) / secs + 0.5);
  return "records/s " + std::to_string(records) + " [" + KeyRates(now.by_type, before.by_type, secs, " ") +
         "] site_type [" + KeyRates(now.by_site, before.by_site, secs, ": ") + "] bytes/s " + std::to_string(bytes);
}

std::string SecondsText(double secs) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", secs);
  return text;
}

// The stop request: set by a worker (--count reached), the signal thread or
// main (--seconds), awaited by main. Owns only the reason.
class StopSignal {
 public:
  void Request(int why) {
    {
      std::lock_guard<std::mutex> lock(m_stop_mutex);
      if (m_why == 0) m_why = why;
    }
    m_stop_cv.notify_all();
  }
  int Why() {
    std::lock_guard<std::mutex> lock(m_stop_mutex);
    return m_why;
  }
  // Waits until a stop is requested or the deadline; true when stopped.
  bool WaitUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_stop_mutex);
    return m_stop_cv.wait_until(lock, deadline, [this] { return m_why != 0; });
  }

  static constexpr int kCount = 1;
  static constexpr int kSeconds = 2;
  static constexpr int kSignal = 3;

 private:
  std::mutex m_stop_mutex;  // guards m_why
  std::condition_variable m_stop_cv;
  int m_why = 0;
};

// The MessageHandle. Called by the library's worker threads (records) and
// connection threads (logins, disconnects). Owns the output stream writes
// (one lock, whole lines) and the counters.
class RecordPrinter : public qc::MessageHandle {
 public:
  RecordPrinter(const qel::cli::CliOptions& options, FILE* out, StopSignal& stop)
      : m_options(options), m_out(out), m_stop(stop) {}

  void OnMarketData(const model::MarketData& data) override { Take(data, qc::CurrentMarketDataSiteType()); }

  // Counts and prints one record (live or read from a capture).
  void Take(const model::MarketData& data, int site_type) {
    if (m_closed.load()) return;  // after the stop: neither counted nor printed
    const google::protobuf::Message* record = nullptr;
    std::string type = RecordOf(data, &record);
    const int64_t bytes = static_cast<int64_t>(data.ByteSizeLong());
    int64_t seq = 0;
    {
      std::lock_guard<std::mutex> lock(m_counters_mutex);
      if (m_options.count > 0 && m_counters.records >= m_options.count) return;  // stopping: beyond N
      seq = ++m_counters.records;
      if (seq == 1) m_counters.first_record = Clock::now();
      m_counters.bytes += bytes;
      ++m_counters.by_type[type];
      ++m_counters.by_site[site_type];
    }
    if (!m_options.summary && (seq - 1) % m_options.every == 0) {
      std::string line;
      try {
        line = "{\"type\": \"" + type + "\", \"site_type\": " + std::to_string(site_type) +
               ", \"channel\": " + std::to_string(data.qelmessagechannel()) +
               ", \"record\": " + pb2json(record != nullptr ? *record : data) + "}\n";
      } catch (const std::exception& e) {
        ErrLine(std::string("record not printed: ") + e.what());
      }
      if (!line.empty()) {
        std::lock_guard<std::mutex> lock(m_out_mutex);
        std::fwrite(line.data(), 1, line.size(), m_out);
        std::fflush(m_out);  // a pipe sees each line at once
      }
    }
    if (m_options.count > 0 && seq == m_options.count) m_stop.Request(StopSignal::kCount);
  }

  void OnLoginDatafeedNodeSuccess(int site_type, const std::string& server_host) override {
    std::lock_guard<std::mutex> lock(m_counters_mutex);
    // Every login of a site type after its first is a reconnect.
    if (++m_logins[site_type] > 1) ++m_reconnects;
  }
  void OnDisconnected(int site_type, const std::string& server_host) override {
    ErrLine("disconnected: site type " + std::to_string(site_type) + " " + server_host);
    std::lock_guard<std::mutex> lock(m_counters_mutex);
    ++m_disconnects;
  }
  void OnSubscribeResponse(const model::SubscribeResponse& response) override {
    m_subscribed_sites.fetch_add(1);
  }

  Counters Snapshot() {
    std::lock_guard<std::mutex> lock(m_counters_mutex);
    return m_counters;
  }
  std::string Extras() {
    std::lock_guard<std::mutex> lock(m_counters_mutex);
    return "reconnects " + std::to_string(m_reconnects) + " disconnects " + std::to_string(m_disconnects);
  }
  int SubscribedSites() const { return m_subscribed_sites.load(); }
  // Records delivered from now on are ignored, so the summary covers the run.
  void Close() { m_closed.store(true); }
  void WriteLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_out_mutex);
    std::fprintf(m_out, "%s\n", line.c_str());
    std::fflush(m_out);
  }

 private:
  // The record field set in the envelope (its lowest-numbered message field)
  // and its name; "unknown" and no record when none is set.
  static std::string RecordOf(const model::MarketData& data, const google::protobuf::Message** record) {
    const google::protobuf::Reflection* reflection = data.GetReflection();
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    reflection->ListFields(data, &fields);
    for (const auto* field : fields) {
      if (field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE && !field->is_repeated()) {
        *record = &reflection->GetMessage(data, field);
        return field->name();
      }
    }
    return "unknown";
  }

  const qel::cli::CliOptions& m_options;
  FILE* const m_out;
  StopSignal& m_stop;
  std::mutex m_out_mutex;       // whole lines on m_out
  std::mutex m_counters_mutex;  // m_counters, m_logins, m_reconnects, m_disconnects
  Counters m_counters;
  std::map<int, int64_t> m_logins;
  int64_t m_reconnects = 0;
  int64_t m_disconnects = 0;
  std::atomic<int> m_subscribed_sites{0};
  std::atomic<bool> m_closed{false};
};

// The client whose statistics --stats and --metrics show. Releasing the
// client goes through here, so a snapshot never runs on a destroyed client.
// Called by main, the signal thread (Release) and the metrics thread (Take);
// borrows the client.
class StatsSource {
 public:
  void Set(qc::ClientInterface* client) {
    std::lock_guard<std::mutex> lock(m_client_mutex);
    m_client = client;
  }
  // False once the client is released (or before it exists).
  bool Take(std::vector<qc::SiteTypeStats>* out) {
    std::lock_guard<std::mutex> lock(m_client_mutex);
    return m_client != nullptr && qc::GetClientStats(m_client, out) == 0;
  }
  // Stops every library thread (ClientFactory::Uninstance); a snapshot in
  // progress ends first.
  void Release() {
    std::lock_guard<std::mutex> lock(m_client_mutex);
    m_client = nullptr;
    qc::ClientFactory::Uninstance();
  }

 private:
  std::mutex m_client_mutex;  // guards m_client; held across a snapshot and the release
  qc::ClientInterface* m_client = nullptr;
};

void PrintStats(StatsSource& source) {
  std::vector<qc::SiteTypeStats> stats;
  if (!source.Take(&stats)) return;
  for (const auto& site : stats) ErrLine("stats " + qel::cli::StatsLine(site));
}

int Run(const qel::cli::CliOptions& options, FILE* out) {
  StopSignal stop;
  StatsSource stats_source;
  // Signals are taken by one thread with sigwait; every other thread,
  // including the library's (they inherit the mask), has them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);  // wakes the signal thread at exit
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::atomic<bool> exiting{false};
  qel::cli::CallGate gate;
  std::thread signal_thread([&] {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) != 0 || exiting.load()) return;
      if (sig == SIGUSR1) continue;
      if (stop.Why() == 0) ErrLine(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
      stop.Request(StopSignal::kSignal);
      gate.InterruptCall([&stats_source] { stats_source.Release(); });
    }
  });
  auto finish_signal_thread = [&] {
    exiting.store(true);
    pthread_kill(signal_thread.native_handle(), SIGUSR1);
    signal_thread.join();
  };

  StderrLog log(options.verbose, gate);
  RecordPrinter printer(options, out, stop);
  qc::ClientFactory* factory = qc::ClientFactory::Instance();
  factory->RegistLogHandle(&log);
  // The file log is the configuration file's choice; without one the
  // library's lines go to standard error only.
  qc::ClientConfig::CloseFileLog();
  qc::ClientConfig::CloseCoutLog();
  if (!options.config_file.empty()) factory->SetConfig(options.config_file.c_str());
  if (options.tls != qel::cli::CliOptions::Tls::kUnset) {
    qc::ClientConfig::SetUseSSL(options.tls == qel::cli::CliOptions::Tls::kOn);
  }
  if (!options.ca_file.empty()) qc::ClientConfig::SetSSLCertfolder(options.ca_file.c_str());

  int exit_code = 0;
  const Clock::time_point started = Clock::now();
  qc::ClientInterface* client = stop.Why() == 0 ? factory->CreateClient(&printer) : nullptr;
  if (client == nullptr && stop.Why() == 0) {
    ErrLine(std::string("cannot create the client (TLS setup failed: check --ca-file '") +
            qc::ClientConfig::GetSSLCertfolder() + "')");
    exit_code = 1;
  }
  // Before the login, so the capture holds every frame of the run.
  bool recording = false;
  if (client != nullptr && !options.record_file.empty()) {
    recording = qc::StartCapture(client, options.record_file.c_str()) == 0;
    if (!recording) {
      ErrLine("cannot record to '" + options.record_file + "'");
      exit_code = 1;
      client = nullptr;
    }
  }
  stats_source.Set(client);
  qel::cli::MetricsServer metrics;
  if (client != nullptr && options.metrics_port >= 0) {
    std::string why;
    if (metrics.Start(static_cast<uint16_t>(options.metrics_port),
                      [&stats_source] {
                        std::vector<qc::SiteTypeStats> stats;
                        stats_source.Take(&stats);
                        return qel::cli::PrometheusText(stats);
                      },
                      &why)) {
      ErrLine("metrics on http://127.0.0.1:" + std::to_string(metrics.Port()) + "/metrics");
    } else {
      ErrLine("--metrics: " + why);
      exit_code = 1;
    }
  }
  if (client != nullptr && exit_code == 0 && gate.Enter()) {
    const int ret = client->LoginByServiceDiscovery(options.user, options.password, options.host,
                                                    options.port, options.backups);
    gate.Leave();
    if (ret != 0 && stop.Why() == 0) {
      ErrLine("login failed: " + std::to_string(ret) + " (" + qc::ResultCodeMeaning(ret) + ")");
      exit_code = 1;
    }
    if (ret == 0 && gate.Enter()) {
      int sub = 0;
      if (options.security_ids.empty()) {
        model::SubscribeByDataType by_type;
        for (int t : options.data_types) by_type.add_qeldatatypes(t);
        sub = client->SubscribeByDatatype(model::COVERAGE, by_type);
      } else {
        model::SubscribeById by_id;
        for (int t : options.data_types) {
          model::SubscribeByIdDetail* detail = by_id.add_subscribebyiddetails();
          detail->set_qeldatatype(t);
          for (const std::string& id : options.security_ids) detail->add_quorsecurityid(id);
        }
        sub = client->SubscribeById(model::COVERAGE, by_id);
      }
      gate.Leave();
      if (sub != 0 && stop.Why() == 0) {
        ErrLine("subscription failed: " + std::to_string(sub) + " (" + qc::ResultCodeMeaning(sub) + ")");
        exit_code = 1;
      } else if (sub == 0) {
        ErrLine("subscribed on " + std::to_string(printer.SubscribedSites()) + " site type(s)");
      }
    }
  }
  gate.Close();
  const bool streaming = exit_code == 0 && stop.Why() == 0;
  if (exit_code == 0 && !streaming) exit_code = 130;  // interrupted before the data flowed

  if (streaming) {
    const Clock::time_point begun = Clock::now();
    const Clock::time_point end = options.seconds > 0
        ? begun + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds))
        : Clock::time_point::max();
    Counters last = printer.Snapshot();
    Clock::time_point tick = begun;
    Clock::time_point next_stats = begun + std::chrono::seconds(options.stats_every);
    for (;;) {
      const Clock::time_point next = std::min(tick + std::chrono::seconds(1), end);
      if (stop.WaitUntil(next)) break;
      const Clock::time_point now = Clock::now();
      if (now >= end) {
        stop.Request(StopSignal::kSeconds);
        break;
      }
      if (options.summary) {
        const Counters current = printer.Snapshot();
        const double secs = std::chrono::duration<double>(now - tick).count();
        printer.WriteLine(Rates(current, last, secs) + " " + printer.Extras());
        last = current;
      }
      if (options.stats_every > 0 && now >= next_stats) {
        PrintStats(stats_source);
        next_stats += std::chrono::seconds(options.stats_every);
      }
      tick = now;
    }
  }
  printer.Close();
  const Clock::time_point stopped = Clock::now();
  if (streaming && options.stats_every > 0) PrintStats(stats_source);  // the run's final figures
  metrics.Stop();
  // Stops every library thread: no callback runs after this returns.
  stats_source.Release();
  // After the connections are gone: every frame received is in the file.
  if (recording && qc::StopCapture(client) != 0) {
    ErrLine("writing the capture '" + options.record_file + "' failed");
    if (exit_code == 0) exit_code = 1;
  }
  finish_signal_thread();

  // Rates over the time records flowed, from the first record to the stop.
  const Counters total = printer.Snapshot();
  const double run_secs = std::chrono::duration<double>(stopped - started).count();
  const double flow_secs = total.records > 0
      ? std::max(1e-3, std::chrono::duration<double>(stopped - total.first_record).count()) : 1.0;
  if (total.records == 0) {
    ErrLine("summary: 0 records in " + SecondsText(run_secs) + " s; " + printer.Extras());
  } else {
    ErrLine("summary: " + std::to_string(total.records) + " records, " + std::to_string(total.bytes) +
            " bytes in " + SecondsText(flow_secs) + " s of data (" + SecondsText(run_secs) + " s in all); " +
            Rates(total, Counters{}, flow_secs) + " " + printer.Extras());
  }
  return exit_code;
}

// --read: the records of a capture, printed as a live run prints them; with
// --summary one summary line over the capture, its rates over the span of
// receive times, on standard output.
int ReadFile(const qel::cli::CliOptions& options, FILE* out) {
  StopSignal stop;
  RecordPrinter printer(options, out, stop);
  qel::cli::CaptureSpan span;
  const int code = qel::cli::ReadCaptureRecords(
      options.read_file,
      [&](const model::MarketData& data, int site_type) {
        printer.Take(data, site_type);
        return stop.Why() == 0;
      },
      ErrLine, &span);
  if (code != 0) return code;
  const Counters total = printer.Snapshot();
  const double span_secs = std::max(1e-3, (span.last_ns - span.first_ns) / 1e9);
  // Counts per record type and site type first, then the rates while recording.
  const std::string line = "summary: " + std::to_string(total.records) + " records [" +
                           KeyRates(total.by_type, {}, 1.0, " ") + "] site_type [" +
                           KeyRates(total.by_site, {}, 1.0, ": ") + "], " + std::to_string(total.bytes) +
                           " bytes in " + std::to_string(span.frames) + " frames over " + SecondsText(span_secs) +
                           " s of capture; " + Rates(total, Counters{}, span_secs) + " bad frames " +
                           std::to_string(span.bad_frames);
  if (options.summary) {
    printer.WriteLine(line);
  } else {
    ErrLine(line);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const qel::cli::ParseOutcome parsed =
      qel::cli::ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.kind == qel::cli::ParseOutcome::Kind::kHelp) {
    std::fputs(qel::cli::UsageText().c_str(), stdout);
    return 0;
  }
  if (parsed.kind == qel::cli::ParseOutcome::Kind::kError) {
    std::fprintf(stderr, "qel-cli: %s\nTry 'qel-cli --help' for the flags.\n", parsed.error.c_str());
    return 2;
  }
  // Standard output carries only our lines: the library prints some lines
  // (configuration file, log file) with printf, so its standard output is
  // moved to standard error and ours is a copy of the original descriptor.
  std::fflush(stdout);
  const int out_fd = dup(STDOUT_FILENO);
  if (out_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("qel-cli: cannot set up standard output");
    return 1;
  }
  fcntl(out_fd, F_SETFD, FD_CLOEXEC);
  FILE* out = fdopen(out_fd, "w");
  if (out == nullptr) {
    std::perror("qel-cli: cannot set up standard output");
    return 1;
  }
  const int code = parsed.options.read_file.empty() ? Run(parsed.options, out) : ReadFile(parsed.options, out);
  std::fclose(out);
  return code;
}
