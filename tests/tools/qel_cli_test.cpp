// qel-cli run as a child process against the feed simulator on 127.0.0.1
// over TLS: every stdout line is a JSON record of the subscribed types with
// its site type, subscriptions by id deliver only those ids, --summary prints
// rate lines, SIGINT ends the run cleanly with the summary, and failures
// (wrong password, bad flags) exit non-zero with a message naming the cause.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "feed_sim.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace sim = qel::sim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::seconds kRunBound(90);  // any run ends well within this

using qel_test::ChildResult;

// Runs qel-cli with args, collecting both outputs; killed at the bound.
ChildResult RunCli(const std::vector<std::string>& args, const qel_test::ChildWatcher& watch = nullptr) {
  return qel_test::RunChild(QEL_CLI_PATH, args, kRunBound, watch);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

struct JsonDeleter {
  void operator()(json_t* j) const { json_decref(j); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

// One parsed record line: its wrapper members and the record object.
struct RecordLine {
  std::string type;
  int site_type = 0;
  JsonPtr doc;
  json_t* record = nullptr;
};

// Parses a stdout line; a line that is not the expected object fails the test.
bool ParseRecordLine(const std::string& line, RecordLine* out) {
  json_error_t error;
  out->doc.reset(json_loads(line.c_str(), 0, &error));
  if (!out->doc) {
    ADD_FAILURE() << "not JSON (" << error.text << "): " << line;
    return false;
  }
  json_t* type = json_object_get(out->doc.get(), "type");
  json_t* site = json_object_get(out->doc.get(), "site_type");
  json_t* channel = json_object_get(out->doc.get(), "channel");
  out->record = json_object_get(out->doc.get(), "record");
  if (!json_is_string(type) || !json_is_integer(site) || !json_is_integer(channel) || !json_is_object(out->record) ||
      json_object_size(out->doc.get()) != 4) {
    ADD_FAILURE() << "not {type, site_type, channel, record}: " << line;
    return false;
  }
  out->type = json_string_value(type);
  out->site_type = static_cast<int>(json_integer_value(site));
  return true;
}

// Stocks on site type 1 (two channels, LZ4) and trades on site type 2, at
// rate records/s each (0: as fast as the socket takes), max_records per
// stream (0: without end); TLS when pki is given.
sim::Scenario TwoStreams(const qel_test::TestPki* pki, double rate, int64_t max_records) {
  sim::Scenario s;
  s.users = {{"demo", "demo123"}};
  const bool tls = pki != nullptr;
  s.discovery_tls = tls;
  if (tls) {
    s.tls_cert_file = pki->ServerCert();
    s.tls_key_file = pki->ServerKey();
  }
  s.nodes = {{1, 100, tls, 0}, {2, 100, tls, 0}};
  sim::StreamSpec stock;
  stock.site_type = 1;
  stock.data_type = 3;
  stock.record_kind = sim::kQELStock;
  stock.channels = {101, 102};
  stock.security_ids = {"600000.SH", "000001.SZ"};
  stock.rate_per_sec = rate;
  stock.batch = 20;
  stock.lz4 = true;
  stock.max_records = max_records;
  sim::StreamSpec trade = stock;
  trade.site_type = 2;
  trade.data_type = 9;
  trade.record_kind = sim::kQELTrade;
  trade.channels = {201};
  trade.lz4 = false;
  s.streams = {stock, trade};
  s.log = [](const std::string&) {};
  return s;
}

class QelCliTest : public testing::Test {
 protected:
  void SetUp() override {
    m_sim = std::make_unique<sim::FeedSimulator>(TwoStreams(&m_pki, 2000, m_maxRecords));
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
  }

  std::vector<std::string> Login(const std::string& password = "demo123") const {
    return {"--port", std::to_string(m_sim->DiscoveryPort()), "--user", "demo", "--password", password,
            "--tls", "--ca-file", m_pki.CaFile()};
  }
  static std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  qel_test::TestPki m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  int64_t m_maxRecords = 0;  // records per stream and connection; 0 = no end
};

// Streams that end: 300 stock records (LZ4 frames) on site type 1 and 300
// trade records (plain frames) on site type 2, so a live run can print them
// all and its capture holds exactly those.
class QelCliCaptureTest : public QelCliTest {
 protected:
  void SetUp() override {
    m_maxRecords = 300;
    QelCliTest::SetUp();
  }
  qel_test::TempDir m_dir;
};

TEST_F(QelCliCaptureTest, ReadingTheRecordingPrintsTheLiveLines) {
  const std::string capture = m_dir.path() + "/live.qelcap";
  const ChildResult live = RunCli(Plus(Login(), {"--types", "3,9", "--count", "600", "--record", capture}));
  ASSERT_FALSE(live.timed_out) << live.err;
  ASSERT_EQ(live.exit_code, 0) << live.err;
  std::vector<std::string> live_lines = Lines(live.out);
  ASSERT_EQ(live_lines.size(), 600u) << live.err;

  const ChildResult read = RunCli({"--read", capture});
  ASSERT_FALSE(read.timed_out);
  ASSERT_EQ(read.exit_code, 0) << read.err;
  std::vector<std::string> read_lines = Lines(read.out);
  // Live lines come from several worker threads; the capture is in receive
  // order. The same lines, each as often.
  std::sort(live_lines.begin(), live_lines.end());
  std::sort(read_lines.begin(), read_lines.end());
  EXPECT_EQ(read_lines, live_lines);
  EXPECT_NE(read.err.find("summary: 600 records"), std::string::npos) << read.err;

  const ChildResult summary = RunCli({"--read", capture, "--summary"});
  ASSERT_EQ(summary.exit_code, 0) << summary.err;
  const std::vector<std::string> summary_lines = Lines(summary.out);
  ASSERT_EQ(summary_lines.size(), 1u) << summary.out;
  EXPECT_EQ(summary_lines[0].rfind("summary: 600 records", 0), 0u) << summary_lines[0];
  EXPECT_NE(summary_lines[0].find("QELStock 300"), std::string::npos) << summary_lines[0];
  EXPECT_NE(summary_lines[0].find("QELTrade 300"), std::string::npos) << summary_lines[0];
}

TEST_F(QelCliCaptureTest, ReadOfACutCaptureReportsTheCutAndPrintsTheRest) {
  const std::string capture = m_dir.path() + "/cut.qelcap";
  const ChildResult live = RunCli(Plus(Login(), {"--types", "3", "--count", "300", "--record", capture}));
  ASSERT_EQ(live.exit_code, 0) << live.err;
  std::string bytes;
  {
    std::ifstream in(capture, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(bytes.size(), 100u);
  std::ofstream(capture, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() - 7);
  const ChildResult read = RunCli({"--read", capture, "--summary"});
  EXPECT_EQ(read.exit_code, 0) << read.err;
  EXPECT_NE(read.err.find("capture cut short: entry "), std::string::npos) << read.err;
  // The stock stream sends 20 records a frame: the cut frame's 20 are missing.
  EXPECT_EQ(read.out.rfind("summary: 280 records", 0), 0u) << read.out;
}

TEST_F(QelCliTest, EveryLineIsARecordOfASubscribedTypeWithItsSiteType) {
  const ChildResult r = RunCli(Plus(Login(), {"--types", "3,9", "--count", "3000"}));
  ASSERT_FALSE(r.timed_out) << r.err;
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3000u) << r.err;  // --count: exactly N records, one line each
  std::map<std::string, std::set<int>> sites_of_type;
  for (const std::string& line : lines) {
    RecordLine rec;
    if (!ParseRecordLine(line, &rec)) break;
    sites_of_type[rec.type].insert(rec.site_type);
    EXPECT_TRUE(json_is_string(json_object_get(rec.record, "QELSecurityID"))) << line;
  }
  // Both subscribed types arrived, each tagged with the site type it streams on.
  EXPECT_EQ(sites_of_type, (std::map<std::string, std::set<int>>{{"QELStock", {1}}, {"QELTrade", {2}}}));
  EXPECT_NE(r.err.find("summary: 3000 records"), std::string::npos) << r.err;
}

TEST_F(QelCliTest, SubscriptionByIdDeliversOnlyThoseIds) {
  const ChildResult r = RunCli(Plus(Login(), {"--types", "3", "--ids", "000001.SZ", "--count", "200"}));
  ASSERT_FALSE(r.timed_out) << r.err;
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 200u) << r.err;
  for (const std::string& line : lines) {
    RecordLine rec;
    if (!ParseRecordLine(line, &rec)) break;
    EXPECT_EQ(rec.type, "QELStock");
    const char* id = json_string_value(json_object_get(rec.record, "QELSecurityID"));
    ASSERT_NE(id, nullptr) << line;
    EXPECT_STREQ(id, "000001.SZ");
  }
}

TEST_F(QelCliTest, SummaryModePrintsRateLinesAndStopsAfterSeconds) {
  const ChildResult r = RunCli(Plus(Login(), {"--types", "3,9", "--summary", "--seconds", "3"}));
  ASSERT_FALSE(r.timed_out) << r.err;
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 1u) << r.err;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("records/s ", 0), 0u) << line;
    EXPECT_NE(line.find("site_type ["), std::string::npos) << line;
    EXPECT_NE(line.find(" bytes/s "), std::string::npos) << line;
    EXPECT_NE(line.find(" reconnects 0"), std::string::npos) << line;
  }
  EXPECT_NE(lines.back().find("QELStock"), std::string::npos) << lines.back();
  EXPECT_NE(r.err.find("summary: "), std::string::npos) << r.err;
}

TEST_F(QelCliTest, SigintStopsCleanlyWithSummary) {
  bool sent = false;
  const ChildResult r = RunCli(Plus(Login(), {"--types", "3"}), [&sent](pid_t pid, const std::string& out, auto) {
    if (!sent && out.find('\n') != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  });
  ASSERT_TRUE(sent) << r.err;
  ASSERT_FALSE(r.timed_out) << r.err;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("stopping on SIGINT"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("summary: "), std::string::npos) << r.err;
  // Every line written, including any in flight at the signal, is whole.
  for (const std::string& line : Lines(r.out)) {
    RecordLine rec;
    if (!ParseRecordLine(line, &rec)) break;
  }
}

// The login call blocks for seconds (the library pauses after the datafeed
// login); a signal meanwhile ends the program within a bound, with exit 130.
TEST_F(QelCliTest, SigintDuringLoginEndsPromptly) {
  std::chrono::milliseconds sent_at{-1};
  const ChildResult r = RunCli(Plus(Login(), {"--types", "3"}),
                               [&sent_at](pid_t pid, const std::string&, std::chrono::milliseconds t) {
                                 if (sent_at.count() < 0 && t >= std::chrono::milliseconds(1500)) {
                                   kill(pid, SIGINT);
                                   sent_at = t;
                                 }
                               });
  ASSERT_GE(sent_at.count(), 0) << r.err;
  ASSERT_FALSE(r.timed_out) << r.err;
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(r.err.find("login failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("summary: 0 records"), std::string::npos) << r.err;
  EXPECT_EQ(m_sim->Stats().subscribe_requests, 0);
}

TEST_F(QelCliTest, WrongPasswordExitsNonZeroWithTheCodeAndItsMeaning) {
  const ChildResult r = RunCli(Plus(Login("wrong"), {"--types", "3", "--count", "1"}));
  ASSERT_FALSE(r.timed_out) << r.err;
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_NE(r.err.find("login failed: -1031 (discovery login refused)"), std::string::npos) << r.err;
}

// A port on 127.0.0.1 that was free a moment ago (the kernel's pick).
int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return connected;
}

// Runs a command through the shell; its standard output and error, and its status.
std::string RunCommand(const std::string& command, int* status) {
  std::string text;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return text;
  }
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

// --stats and --metrics over a finite run of two site types: the statistics
// lines on standard error and the scraped metrics agree with what the
// simulator sent. The scrape is Python's urllib (tests/tools/scrape_metrics.py),
// which also checks the exposition format.
class QelCliStatsTest : public testing::Test {
 protected:
  static constexpr int64_t kRecords = 4000;  // per stream

  void SetUp() override {
    m_sim = std::make_unique<sim::FeedSimulator>(TwoStreams(nullptr, 0, kRecords));
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
  }

  // Per site type: market-data frames and records sent so far.
  std::map<int, std::pair<int64_t, int64_t>> Sent() const {
    std::map<int, std::pair<int64_t, int64_t>> out;
    for (const auto& conn : m_sim->Stats().connections) {
      if (conn.discovery) continue;
      out[conn.site_type].first += conn.md_frames_sent;
      out[conn.site_type].second += conn.records_sent;
    }
    return out;
  }

  std::unique_ptr<sim::FeedSimulator> m_sim;
};

TEST_F(QelCliStatsTest, StatsLinesAndScrapedMetricsMatchTheSimulator) {
  const int port = FreeLoopbackPort();
  ASSERT_GT(port, 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
  int scrape_status = -1;
  std::string scrape_output;
  bool scraped = false;
  const ChildResult r = RunCli(
      {"--port", std::to_string(m_sim->DiscoveryPort()), "--user", "demo", "--password", "demo123", "--no-tls",
       "--types", "3,9", "--summary", "--stats", "1", "--metrics", std::to_string(port), "--seconds", "80"},
      [&](pid_t pid, const std::string&, std::chrono::milliseconds) {
        if (scraped) return;
        const auto sent = Sent();
        if (sent.size() != 2 || sent.at(1).second < kRecords || sent.at(2).second < kRecords) return;
        scrape_output = RunCommand("/usr/bin/python3 " QEL_SCRAPE_SCRIPT " " + url + " 1=" +
                                       std::to_string(sent.at(1).second) + " 2=" + std::to_string(sent.at(2).second),
                                   &scrape_status);
        scraped = true;
        kill(pid, SIGTERM);
      });
  ASSERT_TRUE(scraped) << r.err;
  ASSERT_FALSE(r.timed_out) << r.err;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(scrape_status, 0) << scrape_output;
  EXPECT_FALSE(Listening(port)) << "the metrics server stopped with the program";

  // The scraper's last line: {metric: {site_type: value}}.
  const std::vector<std::string> out_lines = Lines(scrape_output);
  ASSERT_FALSE(out_lines.empty());
  json_error_t error;
  JsonPtr doc(json_loads(out_lines.back().c_str(), 0, &error));
  ASSERT_TRUE(doc) << scrape_output;
  auto sample = [&doc](const char* metric, int site) {
    json_t* value = json_object_get(json_object_get(doc.get(), metric), std::to_string(site).c_str());
    return json_is_number(value) ? json_number_value(value) : -1.0;
  };
  const auto sent = Sent();
  for (int site : {1, 2}) {
    SCOPED_TRACE("site type " + std::to_string(site));
    EXPECT_EQ(sample("qel_frames_received_total", site), static_cast<double>(sent.at(site).first));
    EXPECT_EQ(sample("qel_records_decoded_total", site), static_cast<double>(sent.at(site).second));
    EXPECT_EQ(sample("qel_records_delivered_total", site), static_cast<double>(sent.at(site).second));
    EXPECT_EQ(sample("qel_decode_failures_total", site), 0.0);
    EXPECT_EQ(sample("qel_sequence_gaps_total", site), 0.0);
    EXPECT_EQ(sample("qel_reconnects_total", site), 0.0);
    EXPECT_EQ(sample("qel_connection_state", site), 2.0);
    EXPECT_GT(sample("qel_bytes_received_total", site), 0.0);
    EXPECT_GT(sample("qel_last_frame_timestamp_seconds", site), 0.0);
  }

  // --stats: key=value lines per site type; the last ones (at the stop) carry the totals.
  std::map<int, std::string> last_line;
  for (const std::string& line : Lines(r.err)) {
    const std::string prefix = "qel-cli: stats site_type=";
    if (line.rfind(prefix, 0) != 0) continue;
    last_line[std::atoi(line.c_str() + prefix.size())] = line;
  }
  ASSERT_EQ(last_line.size(), 2u) << r.err;
  for (int site : {1, 2}) {
    const std::string& line = last_line[site];
    EXPECT_NE(line.find(" state=2 node=127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(line.find(" frames_received=" + std::to_string(sent.at(site).first) + " "), std::string::npos) << line;
    EXPECT_NE(line.find(" records_delivered=" + std::to_string(sent.at(site).second) + " "), std::string::npos)
        << line;
    EXPECT_NE(line.find(" gaps=0 "), std::string::npos) << line;
  }
}

// Bad flags end the program before it connects: exit 2, the message and the
// hint on standard error, nothing on standard output.
struct BadRun {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

class QelCliBadFlags : public testing::TestWithParam<BadRun> {};

TEST_P(QelCliBadFlags, ExitTwoWithMessageAndHint) {
  const ChildResult r = RunCli(GetParam().args);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(r.err, std::string("qel-cli: ") + GetParam().message + "\nTry 'qel-cli --help' for the flags.\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, QelCliBadFlags,
    testing::Values(
        BadRun{"unknown", {"--port", "1", "--bogus"}, "unknown flag '--bogus'"},
        BadRun{"port", {"--port", "70000", "--user", "u", "--password", "p", "--types", "3"},
               "--port: '70000' is not a port number (1..65535)"},
        BadRun{"no_types", {"--port", "1", "--user", "u", "--password", "p"},
               "--types: missing (the data types to subscribe, e.g. --types 3,6)"},
        BadRun{"read_and_record", {"--read", "/dev/null", "--record", "/dev/null"},
               "--record: cannot be used with --read"},
        BadRun{"read_missing", {"--read", "/nonexistent/run.qelcap"},
               "--read: cannot read '/nonexistent/run.qelcap'"},
        BadRun{"stats_zero", {"--port", "1", "--user", "u", "--password", "p", "--types", "3", "--stats", "0"},
               "--stats: '0' is not a number of seconds (1..86400)"},
        BadRun{"metrics_port", {"--port", "1", "--user", "u", "--password", "p", "--types", "3", "--metrics", "65536"},
               "--metrics: '65536' is not a port number (0..65535)"},
        BadRun{"metrics_value", {"--port", "1", "--metrics"}, "--metrics: needs a value (PORT)"}),
    [](const testing::TestParamInfo<BadRun>& info) { return std::string(info.param.name); });

TEST(QelCliHelp, DocumentsEveryFlagAndExitsZero) {
  const ChildResult r = RunCli({"--help"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  for (const char* flag : {"--host", "--port", "--user", "--password", "--backup", "--tls", "--no-tls", "--ca-file",
                           "--config", "--types", "--ids", "--summary", "--count", "--seconds", "--every",
                           "--record", "--read", "--stats", "--metrics"}) {
    EXPECT_NE(r.out.find(flag), std::string::npos) << flag;
  }
}

}  // namespace
