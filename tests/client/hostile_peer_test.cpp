// The whole client (ClientFactory -> login -> subscribe -> OnMarketData)
// against a simulator on 127.0.0.1 whose site type 1 turns hostile while site
// type 2 behaves: malformed frames of every kind, a certificate from a CA the
// client does not trust, servers that accept and never answer, and floods of
// heartbeats nobody asked for. Whatever site type 1 does, every wait ends
// within the configured timeouts, site type 2 keeps its one connection and
// delivers every record it was sent, and site type 1 delivers every record
// the client had read before the fault.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "client_fixture.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "config/parameter_define.h"
#include "feed_sim.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using qel_test::Eventually;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr milliseconds kWait(60000);
constexpr int kHostileSite = 1;
constexpr int kBehavingSite = 2;
constexpr int kStockType = 3;  // site type 1, channel 101
constexpr int kOrderType = 8;  // site type 2, channel 201
constexpr int64_t kHostileChannel = 101;
constexpr int64_t kBehavingChannel = 201;
constexpr int kReadTimeoutSeconds = 2;
// Bound on a call whose every wait is configured short: far above their sum,
// below a single wait at the library's default read timeout.
constexpr std::chrono::seconds kBoundedWait(25);

// Per channel: records delivered, restarts of the sequence at 1 (a new
// connection) and any other break of the +1 step. Called on the callback
// workers.
class HostileHandle : public qel_test::RecordingHandle {
 public:
  void OnMarketData(const qm::MarketData& record) override {
    const int64_t seq = sim::RecordSequence(record);
    std::lock_guard<std::mutex> lock(m_countsMutex);
    if (sim::RecordKindOf(record) == 0 || seq <= 0) {
      ++m_foreign;
      return;
    }
    Channel& ch = m_channels[record.qelmessagechannel()];
    ++ch.records;
    if (seq == ch.last_seq + 1) {
      // the next record
    } else if (seq == 1) {
      ++ch.restarts;
    } else {
      ++ch.breaks;
    }
    ch.last_seq = seq;
  }
  void OnSubscribeResponse(const qc::SubscribeResponse&) override { ++responses; }

  struct Channel {
    int64_t records = 0;
    int64_t last_seq = 0;
    int64_t restarts = 0;
    int64_t breaks = 0;
  };
  Channel Of(int64_t channel) const {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? Channel{} : it->second;
  }
  int64_t Records(int64_t channel) const { return Of(channel).records; }
  int64_t Foreign() const {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    return m_foreign;
  }
  std::atomic<int> responses{0};

 private:
  mutable std::mutex m_countsMutex;  // guards the counts below
  std::map<int64_t, Channel> m_channels;
  int64_t m_foreign = 0;  // records without a kind or a sequence: only a broken frame holds them
};

std::vector<sim::ConnectionStats> DatafeedConnections(const sim::SimulatorStats& stats, int site_type) {
  std::vector<sim::ConnectionStats> out;
  for (const auto& c : stats.connections) {
    if (!c.discovery && c.site_type == site_type) out.push_back(c);
  }
  return out;
}

int64_t RecordsSent(const sim::SimulatorStats& stats, int site_type) {
  int64_t n = 0;
  for (const auto& c : DatafeedConnections(stats, site_type)) n += c.records_sent;
  return n;
}

class HostilePeerTest : public testing::Test {
 protected:
  void SetUp() override {
    qel_test::ResetClientConfig(m_dir);
    qel_test::ClientWaits waits;
    waits.login_try_count = 1;
    qel_test::LoadClientWaits(m_dir, waits);
    qc::BaseConfig::GetInstance().SetReadTimeout(kReadTimeoutSeconds);
    // Streams end, and idle connections must not run into the short read
    // timeout: heartbeats every second keep them busy (read at connect time).
    qc::BaseConfig::GetInstance().SetHeartBeatInterval(1);
  }
  void TearDown() override {
    // Whatever state site type 1 left the client in, shutting it down is prompt.
    const auto start = steady_clock::now();
    qc::ClientFactory::Uninstance();
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10)) << "Uninstance took too long";
    if (m_sim) m_sim->Stop();
    qc::BaseConfig::GetInstance().SetHeartBeatInterval(qc::HEARTBEAT_INTERVAL);
    qc::BaseConfig::GetInstance().SetUseSSL(false);
  }

  static sim::StreamSpec Stream(int site, int type, int kind, int64_t channel, int64_t max_records) {
    sim::StreamSpec st;
    st.site_type = site;
    st.data_type = type;
    st.record_kind = kind;
    st.channels = {channel};
    st.security_ids = {"600000.SH", "000001.SZ"};
    st.rate_per_sec = 2000;
    st.batch = 20;
    st.max_records = max_records;
    return st;
  }
  // Site type 1: a primary node and a backup; site type 2: one node. Each
  // stream stops after max_records records per connection: the quiet point
  // at which what was sent and what was delivered must agree.
  sim::Scenario TwoSites(int64_t hostile_records, int64_t behaving_records) {
    sim::Scenario s;
    s.users = {{"alice", "s3cret"}};
    s.nodes = {{kHostileSite, 20, false, 0}, {kHostileSite, 10, false, 0}, {kBehavingSite, 20, false, 0}};
    s.streams = {Stream(kHostileSite, kStockType, sim::kQELStock, kHostileChannel, hostile_records),
                 Stream(kBehavingSite, kOrderType, sim::kQELOrder, kBehavingChannel, behaving_records)};
    return s;
  }
  // TLS on every listener with the test CA's certificate, the client
  // trusting that CA only.
  void UseTls(sim::Scenario& s) { qel_test::UseTls(s, m_pki); }
  // Node node_index (and discovery when discovery is set) shows a
  // certificate for 127.0.0.1 signed by a CA the client does not trust.
  void UseForeignCertificate(sim::Scenario& s, int node_index, bool discovery) {
    if (node_index >= 0) s.node_tls[node_index] = {m_pki->ForeignCert(), m_pki->ForeignKey()};
    if (discovery) {
      // Discovery shows the scenario's certificate; the nodes keep the good one.
      for (int i = 0; i < static_cast<int>(s.nodes.size()); ++i) {
        if (s.node_tls.count(i) == 0) s.node_tls[i] = {m_pki->ServerCert(), m_pki->ServerKey()};
      }
      s.tls_cert_file = m_pki->ForeignCert();
      s.tls_key_file = m_pki->ForeignKey();
    }
  }
  // The simulator for s, and the factory's client (not logged in yet).
  void StartSimAndClient(sim::Scenario s) {
    m_sim = qel_test::StartSimulator(std::move(s));
    ASSERT_NE(m_sim, nullptr);
    m_client = qel_test::CreateTestClient(&m_handle);
    ASSERT_NE(m_client, nullptr);
  }
  int Login() { return m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1", m_sim->DiscoveryPort(), {}); }
  int SubscribeBoth() {
    qm::SubscribeByDataType by_type;
    by_type.add_qeldatatypes(kStockType);
    by_type.add_qeldatatypes(kOrderType);
    return m_client->SubscribeByDatatype(qm::COVERAGE, by_type);
  }
  void LoginAndSubscribe() {
    ASSERT_EQ(Login(), 0);
    ASSERT_EQ(SubscribeBoth(), 0);
  }
  // Site type 2 sent its whole stream on one connection, and every record of
  // it was delivered once, in order.
  void ExpectBehavingSiteWhole(int64_t records) {
    ASSERT_TRUE(m_sim->WaitFor([&](const sim::SimulatorStats& s) { return RecordsSent(s, kBehavingSite) >= records; },
                               kWait));
    EXPECT_TRUE(Eventually([&] { return m_handle.Records(kBehavingChannel) >= records; }, kWait))
        << "delivered " << m_handle.Records(kBehavingChannel) << " of " << records;
    const std::vector<sim::ConnectionStats> conns = DatafeedConnections(m_sim->Stats(), kBehavingSite);
    ASSERT_EQ(conns.size(), 1u) << "site type 2 kept its one connection";
    EXPECT_TRUE(conns[0].open);
    EXPECT_EQ(conns[0].records_sent, records);
    const HostileHandle::Channel ch = m_handle.Of(kBehavingChannel);
    EXPECT_EQ(ch.records, records) << "nothing lost, nothing twice";
    EXPECT_EQ(ch.restarts, 0);
    EXPECT_EQ(ch.breaks, 0);
  }

  qel_test::RecordingLog m_log;
  qel_test::TempDir m_dir;
  HostileHandle m_handle;
  std::unique_ptr<qel_test::TestPki> m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  qc::VentrixTcpClient* m_client = nullptr;
};

// ---- malformed frames --------------------------------------------------------

struct MalformedCase {
  const char* name;
  sim::Malformed kind;
  // The reader gives up on the connection (it cannot find the next frame or
  // trust the stream); otherwise it drops the frame and reads on.
  bool fatal;
  std::vector<const char*> error_lines;  // the error lines it is reported with
  // Sound records inside the broken frame, which are delivered (envelopes
  // holding only their channel: no record kind, no sequence).
  int64_t sound_records_inside = 0;
  const char* warning_line = nullptr;  // a fault reported as a warning, not an error
};
void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class HostileMalformedTest : public HostilePeerTest, public testing::WithParamInterface<MalformedCase> {};

// Site type 1 sends ten whole frames (200 records) on every connection, then
// the malformed one, then the rest of its 300 records.
TEST_P(HostileMalformedTest, ReadFramesAreDeliveredAndTheOtherSiteTypeLosesNothing) {
  const MalformedCase& c = GetParam();
  constexpr int64_t kHostileRecords = 300;
  constexpr int64_t kBehavingRecords = 2000;
  constexpr int64_t kFramesBefore = 10;
  for (const char* line : c.error_lines) m_log.ExpectError(line);
  if (c.fatal) {
    // The broken connection is replaced by the daemon.
    m_log.ExpectError("In daemon thread, client need reconnect");
    m_log.ExpectError("Connected to datafeed service");
    m_log.ExpectError("Send heartbeat msg failed");
  }
  sim::Scenario s = TwoSites(kHostileRecords, kBehavingRecords);
  s.faults.only_site_type = kHostileSite;
  s.faults.malformed_after_frames = kFramesBefore;
  s.faults.malformed_kind = c.kind;
  ASSERT_NO_FATAL_FAILURE(StartSimAndClient(s));
  LoginAndSubscribe();

  if (c.fatal) {
    // The fault holds for a second connection too, then site type 1 behaves.
    ASSERT_TRUE(m_sim->WaitFor(
        [](const sim::SimulatorStats& st) {
          int broken = 0;
          for (const auto& conn : DatafeedConnections(st, kHostileSite)) broken += conn.malformed_sent > 0 ? 1 : 0;
          return broken >= 2;
        },
        kWait))
        << "the client came back after the broken frame";
    m_sim->SetFaults(sim::Faults{});
  }
  // Quiet point: an open site-type-1 connection sent its whole stream (past
  // the broken frame only where the reader drops it and reads on).
  ASSERT_TRUE(m_sim->WaitFor(
      [&](const sim::SimulatorStats& st) {
        for (const auto& conn : DatafeedConnections(st, kHostileSite)) {
          if (conn.open && conn.records_sent == kHostileRecords && (!c.fatal || conn.malformed_sent == 0)) return true;
        }
        return false;
      },
      kWait));
  ExpectBehavingSiteWhole(kBehavingRecords);

  // What the client read of each site-type-1 connection: everything before
  // the broken frame, and after it too when the reader went on.
  const std::vector<sim::ConnectionStats> hostile = DatafeedConnections(m_sim->Stats(), kHostileSite);
  int64_t readable = 0;
  int64_t broken = 0;
  for (const auto& conn : hostile) {
    const bool cut = c.fatal && conn.records_before_malformed >= 0;
    readable += cut ? conn.records_before_malformed : conn.records_sent;
    broken += conn.malformed_sent;
    if (conn.records_before_malformed >= 0) {
      EXPECT_EQ(conn.records_before_malformed, kFramesBefore * 20) << "the fault came after ten whole frames";
    }
  }
  ASSERT_GE(broken, 1);
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(kHostileChannel) >= readable; }, kWait))
      << "delivered " << m_handle.Records(kHostileChannel) << " of " << readable;
  const HostileHandle::Channel ch = m_handle.Of(kHostileChannel);
  EXPECT_EQ(ch.records, readable) << "every record read before (and around) the broken frame, once";
  EXPECT_EQ(ch.breaks, 0) << "each connection's records in order, without a gap";
  EXPECT_LE(ch.restarts, static_cast<int64_t>(hostile.size()) - 1) << "one run of records per connection";
  EXPECT_EQ(m_handle.Foreign(), c.sound_records_inside * broken)
      << "the sound records inside the broken frame, and nothing else from it";
  if (c.fatal) {
    EXPECT_GE(hostile.size(), 3u);
    EXPECT_GE(ch.restarts, 1) << "the replacement connections delivered too";
  } else {
    EXPECT_EQ(hostile.size(), 1u) << "the frame was dropped, the connection kept";
  }
  for (const char* line : c.error_lines) EXPECT_TRUE(m_log.Contains(line)) << line << "\n" << m_log.Errors();
  if (c.warning_line != nullptr) EXPECT_EQ(m_log.Count(c.warning_line), broken) << c.warning_line;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HostileMalformedTest,
    testing::Values(
        MalformedCase{"MetaTooLong", sim::Malformed::kMetaTooLong, true, {"msg parse fail,Message length is abnormal"}},
        MalformedCase{"PayloadTooLong", sim::Malformed::kPayloadTooLong, true,
                      {"msg parse fail,Message length is abnormal"}},
        MalformedCase{"NegativeLength", sim::Malformed::kNegativeLength, true,
                      {"msg parse fail,Message length is abnormal"}},
        MalformedCase{"GarbageMeta", sim::Malformed::kGarbageMeta, true,
                      {"meta data ParseFromArray failed!", "Read datafeed response meta data failed!"}},
        // Its one record claims more bytes than the frame holds: the frame
        // is cut short there, with a warning naming where.
        MalformedCase{"TruncatedRecord", sim::Malformed::kTruncatedRecord, false, {}, 0,
                      "Market-data frame cut short (site type 1, channel 101"},
        MalformedCase{"CorruptLz4", sim::Malformed::kCorruptLz4, false,
                      {"ProcessRawData Decompressed market data failed!"}},
        MalformedCase{"UnknownMessageType", sim::Malformed::kUnknownMessageType, false, {}},
        MalformedCase{"NoMessageType", sim::Malformed::kNoMessageType, false, {}},
        MalformedCase{"UndecodableRecord", sim::Malformed::kUndecodableRecord, false,
                      {"ParseFromArray failed!", "ProcessRawData Decode market data failed!"}, 2},
        MalformedCase{"ForeignTraceId", sim::Malformed::kForeignTraceId, true,
                      {"Read datafeed response meta data failed!"}}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

// ---- servers the client must not trust or wait for forever ------------------

enum class Hostility {
  kForeignCertificateDiscovery,  // discovery shows a certificate from another CA
  kForeignCertificateNode,       // both site-type-1 nodes do
  kDiscoveryNeverAnswers,        // discovery reads the login, never answers
  kNodeLoginNeverAnswered,       // site-type-1 nodes read the token login, never answer
};
struct HostileLoginCase {
  const char* name;
  Hostility hostility;
  int code;                   // what LoginByServiceDiscovery returns
  std::vector<const char*> error_lines;
};
void PrintTo(const HostileLoginCase& c, std::ostream* os) { *os << c.name; }

class HostileLoginTest : public HostilePeerTest, public testing::WithParamInterface<HostileLoginCase> {
 protected:
  // TLS with one hostile certificate, or plain with a silent server.
  sim::Scenario Hostile(Hostility h) {
    sim::Scenario s = TwoSites(0, 0);
    switch (h) {
      case Hostility::kForeignCertificateDiscovery:
        UseTls(s);
        UseForeignCertificate(s, -1, true);
        break;
      case Hostility::kForeignCertificateNode:
        UseTls(s);
        UseForeignCertificate(s, 0, false);
        UseForeignCertificate(s, 1, false);
        break;
      case Hostility::kDiscoveryNeverAnswers:
        s.faults.no_discovery_response = true;
        break;
      case Hostility::kNodeLoginNeverAnswered:
        s.faults.no_datafeed_login_response = true;
        s.faults.only_site_type = kHostileSite;
        break;
    }
    return s;
  }
};

// The login fails with its code within the configured waits (one try, a
// two-second read timeout, no pause between nodes), and nothing is delivered.
TEST_P(HostileLoginTest, LoginFailsWithinTheConfiguredWaitsAndDeliversNothing) {
  const HostileLoginCase& c = GetParam();
  for (const char* line : c.error_lines) m_log.ExpectError(line);
  ASSERT_NO_FATAL_FAILURE(StartSimAndClient(Hostile(c.hostility)));
  const auto start = steady_clock::now();
  EXPECT_EQ(Login(), c.code);
  // The configured waits add up to a few seconds (two nodes of site type 1,
  // one read timeout each, and the login loop's one-second polls). The bound
  // leaves room for a loaded machine yet stays below one wait at the
  // library's default read timeout (30 s), so a wait that ignored the
  // configuration, or never ended, fails here.
  EXPECT_LT(steady_clock::now() - start, kBoundedWait);
  const sim::SimulatorStats stats = m_sim->Stats();
  EXPECT_EQ(stats.records_sent, 0);
  EXPECT_EQ(m_handle.Records(kHostileChannel) + m_handle.Records(kBehavingChannel) + m_handle.Foreign(), 0);
  for (const auto& conn : DatafeedConnections(stats, kHostileSite)) {
    EXPECT_EQ(conn.logins_ok, 0);
    if (c.hostility == Hostility::kForeignCertificateNode) {
      EXPECT_EQ(conn.login_requests, 0) << "the token never went to an untrusted node";
    }
  }
  if (c.hostility == Hostility::kForeignCertificateDiscovery) {
    EXPECT_EQ(stats.discovery_logins_ok + stats.discovery_logins_refused, 0) << "the password never left";
  }
  for (const char* line : c.error_lines) EXPECT_TRUE(m_log.Contains(line)) << line << "\n" << m_log.Errors();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileLoginTest,
    testing::Values(
        HostileLoginCase{"ForeignCertificateDiscovery", Hostility::kForeignCertificateDiscovery,
                         qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT,
                         {"TLS certificate of server 127.0.0.1 refused", "Discovery socket"}},
        HostileLoginCase{"ForeignCertificateNode", Hostility::kForeignCertificateNode,
                         qc::LOGIN_DATAFEED_FAILED_END,
                         {"TLS certificate of server 127.0.0.1 refused", "Connected to datafeed service error",
                          "Login datafeed service failed"}},
        HostileLoginCase{"DiscoveryNeverAnswers", Hostility::kDiscoveryNeverAnswers,
                         qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT, {"Discovery socket"}},
        HostileLoginCase{"NodeLoginNeverAnswered", Hostility::kNodeLoginNeverAnswered,
                         qc::LOGIN_DATAFEED_FAILED_END,
                         {"Datafeed Read IDLE", "Login datafeed service failed"}}),
    [](const testing::TestParamInfo<HostileLoginCase>& info) { return std::string(info.param.name); });

// A logged-in client whose site type 1 loses its node and finds only hostile
// ones to reconnect to: site type 2 goes on undisturbed and whole, and site
// type 1 keeps what it delivered before.
class HostileReconnectTest : public HostilePeerTest, public testing::WithParamInterface<Hostility> {};

TEST_P(HostileReconnectTest, OtherSiteTypeGoesOnWhole) {
  const Hostility h = GetParam();
  m_log.AllowAnyErrors();  // a reconnect loop against hostile nodes: every kind of connect and login failure
  constexpr int64_t kHostileRecords = 400;
  constexpr int64_t kBehavingRecords = 12000;  // six seconds of data: the hostile reconnects run meanwhile
  sim::Scenario s = TwoSites(kHostileRecords, kBehavingRecords);
  if (h == Hostility::kForeignCertificateNode) {
    UseTls(s);
    UseForeignCertificate(s, 1, false);  // the backup
  }
  ASSERT_NO_FATAL_FAILURE(StartSimAndClient(s));
  LoginAndSubscribe();
  ASSERT_TRUE(Eventually([&] { return m_handle.Records(kHostileChannel) >= kHostileRecords; }, kWait));
  if (h == Hostility::kNodeLoginNeverAnswered) {
    sim::Faults f;
    f.no_datafeed_login_response = true;
    f.only_site_type = kHostileSite;
    m_sim->SetFaults(f);
  }
  const int64_t attempts_before = static_cast<int64_t>(DatafeedConnections(m_sim->Stats(), kHostileSite).size());
  ASSERT_TRUE(m_sim->StopNode(m_sim->NodeIndex(kHostileSite, 0)));
  // The client tries the hostile nodes (at least twice) while site type 2 streams.
  ASSERT_TRUE(m_sim->WaitFor(
      [&](const sim::SimulatorStats& st) {
        return static_cast<int64_t>(DatafeedConnections(st, kHostileSite).size()) >= attempts_before + 2;
      },
      kWait));
  ExpectBehavingSiteWhole(kBehavingRecords);
  const sim::SimulatorStats stats = m_sim->Stats();
  EXPECT_EQ(stats.datafeed_logins_ok, 2) << "no login on a hostile node";
  EXPECT_EQ(m_handle.Records(kHostileChannel), kHostileRecords) << "what site type 1 delivered before stays";
  EXPECT_EQ(m_handle.Of(kHostileChannel).breaks, 0);
  EXPECT_EQ(m_handle.Foreign(), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileReconnectTest,
                         testing::Values(Hostility::kForeignCertificateNode, Hostility::kNodeLoginNeverAnswered),
                         [](const testing::TestParamInfo<Hostility>& info) {
                           return std::string(info.param == Hostility::kForeignCertificateNode
                                                  ? "ForeignCertificateNode"
                                                  : "NodeLoginNeverAnswered");
                         });

// Site type 1 never answers a subscription; site type 2 does. The call fails
// after the read timeout, and site type 2's data still arrives whole.
TEST_F(HostilePeerTest, SubscriptionUnansweredOnOneSiteTypeFailsInTimeAndTheOtherDelivers) {
  m_log.ExpectError("No subscribe response from site type 1");
  constexpr int64_t kBehavingRecords = 2000;
  sim::Scenario s = TwoSites(0, kBehavingRecords);
  s.faults.no_subscribe_response = true;
  s.faults.only_site_type = kHostileSite;
  ASSERT_NO_FATAL_FAILURE(StartSimAndClient(s));
  ASSERT_EQ(Login(), 0);
  const auto start = steady_clock::now();
  EXPECT_EQ(SubscribeBoth(), qc::SUBSCRIBE_RESPONSE_REJECT);
  // Two tries (ClientWaits), each bounded by the read timeout, one second
  // apart; the bound is the one above.
  EXPECT_LT(steady_clock::now() - start, kBoundedWait);
  ExpectBehavingSiteWhole(kBehavingRecords);
}

// ---- heartbeat floods ----------------------------------------------------------

class HeartbeatFloodTest : public HostilePeerTest, public testing::WithParamInterface<bool> {};

// After every data frame site type 1 sends 200 heartbeats nobody asked for
// (answers, or requests the client has no reason to answer): tens of
// thousands in all. The connection stays, its data is not starved and
// arrives whole, and site type 2 is untouched.
TEST_P(HeartbeatFloodTest, ConnectionStaysAndDeliversEverything) {
  constexpr int64_t kHostileRecords = 3000;  // 150 frames, 30,000 heartbeats
  constexpr int64_t kBehavingRecords = 3000;
  sim::Scenario s = TwoSites(kHostileRecords, kBehavingRecords);
  s.faults.only_site_type = kHostileSite;
  s.faults.unasked_heartbeats_per_frame = 200;
  s.faults.unasked_heartbeat_requests = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartSimAndClient(s));
  LoginAndSubscribe();
  ASSERT_TRUE(m_sim->WaitFor(
      [](const sim::SimulatorStats& st) { return RecordsSent(st, kHostileSite) >= kHostileRecords; }, kWait));
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(kHostileChannel) >= kHostileRecords; }, kWait))
      << "delivered " << m_handle.Records(kHostileChannel);
  ExpectBehavingSiteWhole(kBehavingRecords);
  const std::vector<sim::ConnectionStats> hostile = DatafeedConnections(m_sim->Stats(), kHostileSite);
  ASSERT_EQ(hostile.size(), 1u) << "the flooded connection was kept";
  EXPECT_TRUE(hostile[0].open);
  EXPECT_GE(hostile[0].unasked_heartbeats_sent, 150 * 200);
  const HostileHandle::Channel ch = m_handle.Of(kHostileChannel);
  EXPECT_EQ(ch.records, kHostileRecords);
  EXPECT_EQ(ch.restarts + ch.breaks, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HeartbeatFloodTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Requests" : "Responses");
                         });

}  // namespace
