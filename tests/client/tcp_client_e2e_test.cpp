// The whole client against the feed simulator on 127.0.0.1, records counted
// where an application sees them: ClientFactory -> VentrixTcpClient -> the
// data pipeline -> OnMarketData. Every record kind streams; each record's
// per-channel sequence shows order, and the simulator's statistics show that
// nothing was lost. Then the faults that must not stop delivery for good:
// heartbeat silence, malformed frames, every node and discovery restarting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/ventrix_tcp_client.h"
#include "client_fixture.h"
#include "client_factory.h"
#include "config/base_config.h"
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

namespace {

constexpr milliseconds kWait(60000);

// Counts records per channel and per record kind, and checks on each channel
// that the simulator's record sequence strictly increases. Called on the
// callback workers.
class CountingHandle : public qel_test::RecordingHandle {
public:
  void OnMarketData(const qm::MarketData &record) override {
    const int64_t seq = sim::RecordSequence(record);
    const int kind = sim::RecordKindOf(record);
    std::lock_guard<std::mutex> lock(m_countsMutex);
    ++m_total;
    ++m_byKind[kind];
    ChannelSeen &ch = m_byChannel[record.qelmessagechannel()];
    ++ch.records;
    if (seq <= ch.last_seq)
      ++m_outOfOrder;
    ch.last_seq = seq;
  }
  void OnSubscribeResponse(const qc::SubscribeResponse &) override {
    ++responses;
  }

  int64_t Total() const {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    return m_total;
  }
  std::map<int64_t, int64_t> ByChannel() const {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    std::map<int64_t, int64_t> out;
    for (const auto &entry : m_byChannel)
      out[entry.first] = entry.second.records;
    return out;
  }
  std::map<int, int64_t> ByKind() const {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    return m_byKind;
  }
  int64_t OutOfOrder() const {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    return m_outOfOrder;
  }
  // A new connection numbers its records from 1 again.
  void ForgetSequences() {
    std::lock_guard<std::mutex> lock(m_countsMutex);
    for (auto &entry : m_byChannel)
      entry.second.last_seq = 0;
  }

  std::atomic<int> responses{0};

private:
  struct ChannelSeen {
    int64_t records = 0;
    int64_t last_seq = 0;
  };
  mutable std::mutex m_countsMutex; // guards every count below
  int64_t m_total = 0;
  std::map<int64_t, ChannelSeen> m_byChannel;
  std::map<int, int64_t> m_byKind;
  int64_t m_outOfOrder = 0;
};

// Records the simulator sent on each channel, over every connection.
std::map<int64_t, int64_t> SentByChannel(const sim::SimulatorStats &stats) {
  std::map<int64_t, int64_t> out;
  for (const auto &conn : stats.connections) {
    for (const auto &ch : conn.channels)
      out[ch.first] += ch.second.records;
  }
  return out;
}

int64_t DatafeedConnections(const sim::SimulatorStats &stats) {
  int64_t n = 0;
  for (const auto &conn : stats.connections)
    n += conn.discovery ? 0 : 1;
  return n;
}

class TcpClientE2eTest : public testing::Test {
protected:
  void SetUp() override { qel_test::ResetClientConfig(m_dir); }
  void TearDown() override {
    qc::ClientFactory::Uninstance();
    if (m_sim)
      m_sim->Stop();
    qc::BaseConfig::GetInstance().SetHeartBeatInterval(qc::HEARTBEAT_INTERVAL);
    EXPECT_EQ(m_log.UnexpectedErrors(), "");
  }

  // Site type 1 carries every snapshot-like kind, site type 2 orders, trades,
  // IOPV and futures. Each stream has its own data type (its record kind) and
  // its own channel (1000 + kind), and every other stream is LZ4-compressed.
  sim::Scenario AllKinds(bool tls, int64_t max_records, double rate) {
    sim::Scenario s;
    s.users = {{"alice", "s3cret"}};
    s.nodes = {{1, 20, tls, 0}, {2, 20, tls, 0}};
    bool lz4 = false;
    for (int kind : sim::AllRecordKinds()) {
      sim::StreamSpec st;
      st.site_type = SiteOf(kind);
      st.data_type = kind;
      st.record_kind = kind;
      st.channels = {1000 + kind};
      st.security_ids = {"600000.SH", "000001.SZ"};
      st.rate_per_sec = rate;
      st.batch = 25;
      st.lz4 = lz4;
      lz4 = !lz4;
      st.max_records = max_records;
      s.streams.push_back(st);
    }
    if (tls) qel_test::UseTls(s, m_pki);
    return s;
  }
  static int SiteOf(int kind) {
    switch (kind) {
    case sim::kQELOrder:
    case sim::kQELTrade:
    case sim::kQELIopv:
    case sim::kQELFuture:
    case sim::kMDOrder:
    case sim::kMDTrade:
    case sim::kMDFuture:
      return 2;
    default:
      return 1;
    }
  }
  void StartSim(sim::Scenario s) {
    m_sim = qel_test::StartSimulator(std::move(s));
    ASSERT_NE(m_sim, nullptr);
  }
  void LoginAndSubscribeAll() {
    m_client = qel_test::CreateTestClient(&m_handle);
    ASSERT_NE(m_client, nullptr);
    ASSERT_EQ(m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1",
                                                m_sim->DiscoveryPort(), {}),
              0);
    qm::SubscribeByDataType by_type;
    for (int kind : sim::AllRecordKinds())
      by_type.add_qeldatatypes(kind);
    ASSERT_EQ(m_client->SubscribeByDatatype(qm::COVERAGE, by_type), 0);
    EXPECT_EQ(m_handle.responses.load(), 2) << "one response per site type";
  }
  // Waits until at least n more records than now have been delivered.
  bool DeliveryResumes(int64_t n) {
    const int64_t before = m_handle.Total();
    return Eventually([&] { return m_handle.Total() >= before + n; }, kWait);
  }

  qel_test::RecordingLog m_log;
  qel_test::TempDir m_dir;
  CountingHandle m_handle;
  std::unique_ptr<qel_test::TestPki> m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  qc::VentrixTcpClient *m_client = nullptr;
};

class TcpClientE2eTransportTest : public TcpClientE2eTest,
                                  public testing::WithParamInterface<bool> {};

TEST_P(TcpClientE2eTransportTest,
       EveryKindArrivesInChannelOrderAndNothingIsLost) {
  constexpr int64_t kPerStream = 1500;
  StartSim(AllKinds(GetParam(), kPerStream, 3000));
  LoginAndSubscribeAll();
  const size_t kinds = sim::AllRecordKinds().size();
  const int64_t expected = kPerStream * static_cast<int64_t>(kinds);
  // Every stream ends after kPerStream records per connection: the quiet
  // point at which what was sent and what was delivered must agree.
  ASSERT_TRUE(m_sim->WaitForRecords(expected, kWait))
      << "sent " << m_sim->Stats().records_sent;
  ASSERT_TRUE(Eventually([&] { return m_handle.Total() >= expected; }, kWait))
      << "delivered " << m_handle.Total();

  const sim::SimulatorStats stats = m_sim->Stats();
  ASSERT_EQ(DatafeedConnections(stats), 2)
      << "one connection per site type, never replaced";
  EXPECT_EQ(stats.records_sent, expected);
  EXPECT_EQ(m_handle.ByChannel(), SentByChannel(stats));
  const std::map<int, int64_t> by_kind = m_handle.ByKind();
  EXPECT_EQ(by_kind.size(), kinds) << "no kind missing, none foreign";
  for (int kind : sim::AllRecordKinds()) {
    auto it = by_kind.find(kind);
    EXPECT_EQ(it == by_kind.end() ? 0 : it->second, kPerStream)
        << sim::RecordKindName(kind);
  }
  EXPECT_EQ(m_handle.OutOfOrder(), 0);
  EXPECT_EQ(m_handle.Total(), expected) << "nothing delivered twice";
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, TcpClientE2eTransportTest,
                         testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                           return info.param ? "Tls" : "Plain";
                         });

TEST_F(TcpClientE2eTest,
       HeartbeatSilenceResetsTheConnectionAndDeliveryResumes) {
  m_log.ExpectError("Not receive heartbeat from datafeed service");
  m_log.ExpectError("In daemon thread, client need reconnect");
  m_log.ExpectError("Connected to datafeed service");
  m_log.ExpectError("Login datafeed");
  m_log.ExpectError("Connect to datafeed");
  // The heartbeat timer fires while the reset connection has no socket yet.
  m_log.ExpectError("Send heartbeat msg failed");
  // Read when a connection is made: one second between heartbeats, so the
  // allowed run of unanswered heartbeats passes within seconds.
  qc::BaseConfig::GetInstance().SetHeartBeatInterval(1);
  StartSim(AllKinds(false, 0, 500));
  LoginAndSubscribeAll();
  ASSERT_TRUE(DeliveryResumes(200));

  sim::Faults silent;
  silent.no_heartbeat_response = true;
  m_sim->SetFaults(silent);
  const int64_t connections = DatafeedConnections(m_sim->Stats());
  ASSERT_TRUE(Eventually(
      [&] {
        return m_log.Contains("Not receive heartbeat from datafeed service");
      },
      kWait));
  m_sim->SetFaults(sim::Faults{});
  ASSERT_TRUE(Eventually(
      [&] { return DatafeedConnections(m_sim->Stats()) > connections; }, kWait))
      << "the silent connection was replaced";
  ASSERT_TRUE(Eventually(
      [&] { return m_client->GetDatafeedClient()->isAllConnected(); }, kWait));
  ASSERT_TRUE(Eventually([&] { return m_handle.responses.load() >= 4; }, kWait))
      << "resubscribed";
  EXPECT_TRUE(DeliveryResumes(500));
}

// The datafeed client takes new credentials (as after a fresh discovery login)
// while its connections keep logging in again on their own loop threads: each
// login reads a whole, current copy. Under ThreadSanitizer this shows any
// credential string shared unguarded between the two threads.
TEST_F(TcpClientE2eTest, CredentialsReplacedWhileConnectionsLogInAgain) {
  m_log.ExpectError("In daemon thread, client need reconnect");
  m_log.ExpectError("Connected to datafeed service");
  m_log.ExpectError("Login datafeed");
  m_log.ExpectError("Connect to datafeed");
  m_log.ExpectError("Send heartbeat msg failed");
  m_log.ExpectError("cannt send subscribe msg");
  m_log.ExpectError("No subscribe response from site type");
  StartSim(AllKinds(false, 0, 500));
  LoginAndSubscribeAll();
  ASSERT_TRUE(DeliveryResumes(100));

  sim::Faults churn;
  churn.close_after_ms = 30; // every connection is closed soon after its login
  m_sim->SetFaults(churn);
  const int64_t logins = m_sim->Stats().datafeed_logins_ok;
  m_sim->CloseDatafeedConnections(); // the fault holds from the next login on
  qc::DiscoveryClient *discovery = m_client->GetDiscoveryClient();
  const std::string user = discovery->GetUserAccount();
  const std::string token = discovery->GetToken();
  const qc::IdToServerHostMapType nodes = discovery->GetDatafeedNodes();
  // Fresh strings of changing length each time, so every call rewrites them.
  int round = 0;
  const bool relogged = Eventually(
      [&] {
        const std::string pad(static_cast<size_t>(round++ % 40), ' ');
        m_client->GetDatafeedClient()->Init((user + pad).substr(0, user.size()),
                                            (token + pad).substr(0, token.size()),
                                            nodes);
        return m_sim->Stats().datafeed_logins_ok >= logins + 6;
      },
      kWait);
  m_sim->SetFaults(sim::Faults{});
  ASSERT_TRUE(relogged) << "logins with the replaced credentials: "
                        << m_sim->Stats().datafeed_logins_ok - logins;
  EXPECT_EQ(m_client->GetDatafeedClient()->GetUserAccount(), user);
  EXPECT_EQ(m_client->GetDatafeedClient()->GetPasswd(), token);
  ASSERT_TRUE(Eventually(
      [&] { return m_client->GetDatafeedClient()->isAllConnected(); }, kWait));
  EXPECT_TRUE(DeliveryResumes(200));
}

struct MalformedCase {
  const char *name;
  sim::Malformed kind;
  const char *line;  // how the frame is reported
  bool error;        // the line is an error line (else a warning)
};

class TcpClientMalformedTest
    : public TcpClientE2eTest,
      public testing::WithParamInterface<MalformedCase> {};

// The frame header is intact, the body is not: what of the frame cannot be
// read is dropped, the connection stays, and the frames after it are
// delivered.
TEST_P(TcpClientMalformedTest, BadBodyIsDroppedAndLaterFramesArrive) {
  if (GetParam().error) m_log.ExpectError(GetParam().line);
  StartSim(AllKinds(false, 0, 500));
  LoginAndSubscribeAll();
  ASSERT_TRUE(DeliveryResumes(200));
  const int64_t connections = DatafeedConnections(m_sim->Stats());

  ASSERT_EQ(m_sim->SendMalformed(GetParam().kind), 2);
  ASSERT_TRUE(Eventually([&] { return m_log.Contains(GetParam().line); }, kWait))
      << "the dropped frame is reported";
  EXPECT_TRUE(DeliveryResumes(500));
  const sim::SimulatorStats stats = m_sim->Stats();
  EXPECT_EQ(DatafeedConnections(stats), connections) << "no reconnect";
  EXPECT_EQ(stats.open_datafeed_connections, 2);
  EXPECT_EQ(m_handle.OutOfOrder(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TcpClientMalformedTest,
    testing::Values(
        MalformedCase{"CorruptLz4", sim::Malformed::kCorruptLz4,
                      "ProcessRawData Decompressed market data failed!", true},
        MalformedCase{"TruncatedRecord", sim::Malformed::kTruncatedRecord,
                      "Market-data frame cut short (site type ", false}),
    [](const testing::TestParamInfo<MalformedCase> &info) {
      return info.param.name;
    });

TEST_F(TcpClientE2eTest,
       EveryNodeAndDiscoveryRestartingMeansALoginThroughDiscovery) {
  m_log.AllowAnyErrors(); // every server is gone for a while: connect and login
                          // failures of every sort
  StartSim(AllKinds(false, 0, 500));
  LoginAndSubscribeAll();
  ASSERT_TRUE(DeliveryResumes(200));
  const int64_t discovery_logins = m_sim->Stats().discovery_logins_ok;

  ASSERT_TRUE(m_sim->StopDiscovery());
  for (size_t i = 0; i < m_sim->scenario().nodes.size(); ++i)
    ASSERT_TRUE(m_sim->StopNode(static_cast<int>(i)));
  // The old token dies with the nodes, so only a new discovery login helps.
  m_sim->RevokeTokens();
  ASSERT_TRUE(Eventually(
      [&] { return m_log.Contains("try to relogin discovery service"); },
      kWait));
  ASSERT_TRUE(m_sim->RestartDiscovery());
  for (size_t i = 0; i < m_sim->scenario().nodes.size(); ++i)
    ASSERT_TRUE(m_sim->RestartNode(static_cast<int>(i)));

  ASSERT_TRUE(Eventually(
      [&] { return m_sim->Stats().discovery_logins_ok > discovery_logins; },
      kWait));
  ASSERT_TRUE(Eventually(
      [&] { return m_client->GetDatafeedClient()->isAllConnected(); }, kWait));
  ASSERT_TRUE(Eventually([&] { return m_handle.responses.load() >= 4; }, kWait))
      << "resubscribed on both site types";
  m_handle.ForgetSequences();
  EXPECT_TRUE(DeliveryResumes(500));
}

} // namespace
