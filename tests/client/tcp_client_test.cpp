// The TCP client end to end against the feed simulator on 127.0.0.1: login
// through discovery (plain and TLS), subscriptions by type and by id, a
// refused subscription, recovery by the daemon after a node closes, the login
// guards, and a prompt Uninstance from every waiting state.
//
// The data pipeline is not part of these tests: each site type's raw-data
// queue is drained here, which is how the tests see market data arrive.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "feed_sim.h"
#include "client_fixture.h"
#include "feed_sim/wire_client.h"
#include "support/closed_port.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using qel_test::ClosedPort;
using qel_test::Eventually;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kWait(30000);
// Waits configured far longer than any test runs: a test that ends promptly
// while one of them is in progress shows the wait was interrupted.
constexpr int kLongWaitSeconds = 600;
constexpr int kStockType = 3;   // site type 1
constexpr int kOrderType = 8;   // site type 2

// Records the datafeed-level callbacks too.
class ClientHandle : public qel_test::RecordingHandle {
 public:
  void OnLoginDataServiceSuccess() override { ++login_success; }
  void OnLoginDataServiceFailed() override { ++login_failed; }
  void OnSubscribeResponse(const qc::SubscribeResponse& response) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_responses;
    for (int type : response.permitteddatatypes()) m_permitted.push_back(type);
  }
  int Responses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_responses;
  }
  // Called on the callback workers: site type 1 streams stock records,
  // site type 2 orders; anything else is a fault.
  void OnMarketData(const qm::MarketData& record) override {
    if (record.has_qelstock()) {
      ++m_stock_records;
    } else if (record.has_qelorder()) {
      ++m_order_records;
    } else {
      ++m_foreign_records;
    }
  }
  int64_t Records(int site) const { return site == 1 ? m_stock_records.load() : m_order_records.load(); }
  int64_t Faults() const { return m_foreign_records.load(); }
  std::atomic<int> login_success{0};
  std::atomic<int> login_failed{0};

 private:
  mutable std::mutex m_mutex;
  int m_responses = 0;
  std::vector<int> m_permitted;
  std::atomic<int64_t> m_stock_records{0};
  std::atomic<int64_t> m_order_records{0};
  std::atomic<int64_t> m_foreign_records{0};
};

using Waits = qel_test::ClientWaits;

class TcpClientTest : public testing::Test {
 protected:
  void SetUp() override {
    qel_test::ResetClientConfig(m_dir);
    ASSERT_FALSE(qc::BaseConfig::GetInstance().IsUseSSL());
  }
  void TearDown() override {
    qc::ClientFactory::Uninstance();
    if (m_sim) m_sim->Stop();
    EXPECT_EQ(m_log.UnexpectedErrors(), "");
  }

  void LoadWaits(const Waits& w) { qel_test::LoadClientWaits(m_dir, w); }

  static sim::StreamSpec Stream(int site, int type, int kind, std::vector<int64_t> channels) {
    sim::StreamSpec st;
    st.site_type = site;
    st.data_type = type;
    st.record_kind = kind;
    st.channels = std::move(channels);
    st.security_ids = {"600000.SH", "000001.SZ"};
    st.rate_per_sec = 2000;
    st.batch = 20;
    return st;
  }
  // Two site types, two nodes each (or one), a stream on each.
  sim::Scenario TwoSites(bool tls, bool one_node_each = false) {
    sim::Scenario s;
    s.users = {{"alice", "s3cret"}};
    s.nodes = {{1, 20, tls, 0}, {1, 10, tls, 0}, {2, 20, tls, 0}, {2, 10, tls, 0}};
    if (one_node_each) s.nodes = {{1, 20, tls, 0}, {2, 20, tls, 0}};
    s.streams = {Stream(1, kStockType, sim::kQELStock, {101, 102}), Stream(2, kOrderType, sim::kQELOrder, {201})};
    if (tls) qel_test::UseTls(s, m_pki);
    return s;
  }
  void StartSim(sim::Scenario s) {
    m_sim = qel_test::StartSimulator(std::move(s));
    ASSERT_NE(m_sim, nullptr);
  }
  void CreateClient() {
    m_client = qel_test::CreateTestClient(&m_handle);
    ASSERT_NE(m_client, nullptr);
  }
  int Login(std::vector<std::string> backups = {}) {
    return m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1", m_sim->DiscoveryPort(),
                                             std::move(backups));
  }
  void LoginAndDrain() {  // records reach m_handle through the data pipeline
    CreateClient();
    ASSERT_EQ(Login(), 0);
  }
  int SubscribeTypes(std::vector<int> types) {
    qm::SubscribeByDataType by_type;
    for (int t : types) by_type.add_qeldatatypes(t);
    return m_client->SubscribeByDatatype(qm::COVERAGE, by_type);
  }
  int64_t DiscoveryLogins() const {
    int64_t n = 0;
    for (const auto& c : m_sim->Stats().connections) n += c.discovery ? 1 : 0;
    return n;
  }

  qel_test::RecordingLog m_log;
  qel_test::TempDir m_dir;
  ClientHandle m_handle;
  std::unique_ptr<qel_test::TestPki> m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  qc::VentrixTcpClient* m_client = nullptr;
};

class TcpClientTransportTest : public TcpClientTest, public testing::WithParamInterface<bool> {};

TEST_P(TcpClientTransportTest, LoginThenSubscribeByTypeAndByIdDeliversEachSiteType) {
  StartSim(TwoSites(GetParam()));
  LoginAndDrain();
  EXPECT_EQ(m_client->IsUseSsl(), GetParam());
  EXPECT_EQ(m_handle.login_success.load(), 1);
  EXPECT_EQ(m_handle.Count("NodeSuccess 1"), 1);
  EXPECT_EQ(m_handle.Count("NodeSuccess 2"), 1);
  EXPECT_TRUE(Eventually([&] { return m_log.Contains("=== daemon thread start ==="); }, kWait));

  ASSERT_EQ(SubscribeTypes({kStockType, kOrderType}), 0);
  EXPECT_EQ(m_handle.Responses(), 2) << "one response per site type";
  EXPECT_TRUE(m_log.Contains("SubscribeByDatatype success"));
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(1) > 100 && m_handle.Records(2) > 100; }, kWait));

  qm::SubscribeById by_id;
  auto* detail = by_id.add_subscribebyiddetails();
  detail->add_quorsecurityid("600000.SH");
  detail->set_qeldatatype(kStockType);
  ASSERT_EQ(m_client->SubscribeById(qm::ADD, by_id), 0);
  EXPECT_EQ(m_handle.Responses(), 4);
  EXPECT_TRUE(m_log.Contains("SubscribeById success"));
  EXPECT_EQ(m_client->SubscribeRequestCount(), 2u);
  EXPECT_EQ(m_handle.Faults(), 0);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, TcpClientTransportTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

TEST_F(TcpClientTest, RefusedSubscriptionIsRetriedThenForgotten) {
  m_log.ExpectError("Receive subscribe response, subscribe failed");
  m_log.ExpectError("Not connect, cannt send subscribe msg");
  // A refused subscription closes the socket, so the daemon may find the
  // connection down and reconnect it (cut short when the test ends).
  m_log.ExpectError("In daemon thread, client need reconnect");
  m_log.ExpectError("Login datafeed service failed");
  StartSim(TwoSites(false));
  LoginAndDrain();
  sim::Faults faults;
  faults.refuse_subscribe = true;
  m_sim->SetFaults(faults);
  EXPECT_EQ(SubscribeTypes({kStockType}), qc::SUBSCRIBE_RESPONSE_REJECT);
  EXPECT_EQ(m_handle.Responses(), 0);
  EXPECT_EQ(m_log.Count("SubscribeByDatatype failed, ret=-1040, try again["), 2);
  EXPECT_TRUE(m_log.Contains("SubscribeByDatatype failed"));
  EXPECT_EQ(m_client->SubscribeRequestCount(), 0u) << "a failed request is never remembered";
}

TEST_F(TcpClientTest, SubscriptionNeverAnsweredFailsAfterTheReadTimeout) {
  m_log.ExpectError("No subscribe response from site type");
  Waits w;
  w.subscribe_try_count = 1;
  LoadWaits(w);
  StartSim(TwoSites(false));
  LoginAndDrain();
  // The nodes read subscriptions and never answer them; market data and
  // heartbeats flow on, so the connections stay busy and logged in.
  sim::Faults faults;
  faults.no_subscribe_response = true;
  m_sim->SetFaults(faults);
  qc::BaseConfig::GetInstance().SetReadTimeout(2);
  EXPECT_EQ(SubscribeTypes({kStockType}), qc::SUBSCRIBE_RESPONSE_REJECT);
  EXPECT_EQ(m_log.Count("No subscribe response from site type"), 2) << "one line per site type";
  EXPECT_EQ(m_handle.Responses(), 0);
  EXPECT_FALSE(m_client->GetDatafeedClient()->isAnyStillSubscibing()) << "the silent nodes count as failed";
}

TEST_F(TcpClientTest, NodeClosingMidStreamIsReloggedWithTheOldTokenAndResubscribed) {
  m_log.ExpectError("In daemon thread, client need reconnect after check");
  m_log.ExpectError("Connected to datafeed service");  // the connection's own report of the closed socket
  // With one node per site type the connection has no node to move on to:
  // recovery is the daemon's.
  StartSim(TwoSites(false, true));
  LoginAndDrain();
  ASSERT_EQ(SubscribeTypes({kStockType, kOrderType}), 0);
  ASSERT_TRUE(Eventually([&] { return m_handle.Records(1) > 0; }, kWait));
  const int64_t discovery_logins = DiscoveryLogins();

  ASSERT_GT(m_sim->CloseDatafeedConnections(1), 0);
  ASSERT_TRUE(Eventually([&] { return m_log.Contains("Relogin datafeed service by pre token successfully"); }, kWait));
  // Every remembered request is sent again to the site type that lost its
  // node; site type 2 kept its subscription and is not asked again.
  ASSERT_TRUE(Eventually([&] { return m_handle.Responses() >= 3; }, kWait));
  // Asked on the open connection of site type 2: a reconnect of its own on a
  // loaded machine would resubscribe it once on its new connection, never twice.
  int64_t site2_open = 0;
  for (const auto& c : m_sim->Stats().connections) {
    if (c.discovery || c.site_type != 2 || !c.open) continue;
    ++site2_open;
    EXPECT_EQ(c.subscribe_requests, 1);
  }
  EXPECT_EQ(site2_open, 1);
  const int64_t before = m_handle.Records(1);
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(1) > before + 100; }, kWait)) << "delivery resumes";
  EXPECT_EQ(DiscoveryLogins(), discovery_logins) << "the old token sufficed: no discovery login";
  EXPECT_FALSE(m_log.Contains("try to relogin discovery service"));
}

TEST_F(TcpClientTest, AllNodesGoneMakesTheDaemonLogInThroughDiscoveryAgain) {
  m_log.ExpectError("In daemon thread, client need reconnect after check");
  m_log.ExpectError("Connected to datafeed service");
  m_log.ExpectError("Login datafeed node failed");
  m_log.ExpectError("Login datafeed service failed");
  m_log.ExpectError("Connect to datafeed");
  StartSim(TwoSites(false));
  LoginAndDrain();
  ASSERT_EQ(SubscribeTypes({kStockType}), 0);
  // Tokens of the first login are refused from now on: only a fresh
  // discovery login gets the client back in.
  m_sim->RevokeTokens();
  m_sim->CloseDatafeedConnections();
  ASSERT_TRUE(Eventually([&] { return m_log.Contains("try to login discovery service directly success"); }, kWait));
  ASSERT_TRUE(Eventually([&] { return m_client->GetDatafeedClient()->isAllConnected(); }, kWait));
  ASSERT_TRUE(Eventually([&] { return m_handle.Responses() >= 4; }, kWait)) << "resubscribed on both site types";
  const int64_t before = m_handle.Records(1);
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(1) > before + 100; }, kWait));
}

TEST_F(TcpClientTest, BackupEntriesThatAreNotIpColonPortAreSkipped) {
  m_log.ExpectError("Backup discovery host");
  m_log.ExpectError("Discovery socket");
  StartSim(TwoSites(false));
  CreateClient();
  const std::string good = "127.0.0.1:" + std::to_string(m_sim->DiscoveryPort());
  const int dead = ClosedPort();
  EXPECT_EQ(m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1", dead,
                                              {"127.0.0.1", "127.0.0.1:70000", "127.0.0.1:x1", good}),
            0);
  EXPECT_EQ(m_log.Count("Backup discovery host"), 3);
  EXPECT_TRUE(m_log.Contains("Backup discovery host \"127.0.0.1:70000\" skipped"));
  EXPECT_EQ(m_handle.Count("DiscoverySuccess 127.0.0.1"), 1) << "the valid backup after the dead master";
}

TEST_F(TcpClientTest, SecondLoginOnALoggedInClientIsRefused) {
  m_log.ExpectError("Already logged in");
  StartSim(TwoSites(false));
  LoginAndDrain();
  const int64_t logins = DiscoveryLogins();
  EXPECT_EQ(Login(), qc::LOGIN_DISCOVERY_FAILED_END);
  EXPECT_EQ(DiscoveryLogins(), logins);
  ASSERT_TRUE(Eventually([&] { return m_log.Contains("=== daemon thread start ==="); }, kWait));
  EXPECT_EQ(m_log.Count("=== daemon thread start ==="), 1);
}

TEST_F(TcpClientTest, LoginTryCountZeroStillMakesOneAttempt) {
  m_log.ExpectError("Discovery socket");
  Waits w;
  w.login_try_count = 0;
  LoadWaits(w);
  CreateClient();
  EXPECT_EQ(m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1", ClosedPort(), {}),
            qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_EQ(m_log.Count("=== try to login discovery service ["), 1);
  EXPECT_TRUE(m_log.Contains("[1/1]"));
}

TEST_F(TcpClientTest, DatafeedLoginFailingEveryTimeStartsNoDaemon) {
  m_log.ExpectError("Login datafeed node failed");
  m_log.ExpectError("Login datafeed service failed, ret=-1033");
  StartSim(TwoSites(false));
  sim::Faults faults;
  faults.refuse_datafeed_login = true;
  m_sim->SetFaults(faults);
  CreateClient();
  EXPECT_EQ(Login(), qc::LOGIN_DATAFEED_FAILED_END);
  EXPECT_EQ(m_handle.login_failed.load(), 2) << "one per attempt of the configured two";
  EXPECT_FALSE(m_log.Contains("=== daemon thread start ==="));
}

TEST_F(TcpClientTest, CreateClientReturnsOneClientAndNullWhenTlsCannotBeSetUp) {
  m_log.ExpectError("Load or verify self CA file failed");
  qc::BaseConfig::GetInstance().SetUseSSL(true);
  qc::BaseConfig::GetInstance().SetSSLCertfolder(m_dir.path() + "/missing-ca.pem");
  EXPECT_EQ(qc::ClientFactory::Instance()->CreateClient(&m_handle), nullptr);
  qel_test::TestPki pki;
  qc::BaseConfig::GetInstance().SetSSLCertfolder(pki.CaFile());
  qc::ClientInterface* first = qc::ClientFactory::Instance()->CreateClient(&m_handle);
  ASSERT_NE(first, nullptr) << "a later call tries again from scratch";
  ClientHandle other;
  EXPECT_EQ(qc::ClientFactory::Instance()->CreateClient(&other), first);
}

// Uninstance while the client waits in each of its waiting states, every
// wait configured to last far longer than the test may take.
// Creating a site type's queues is the slow part of a start (they are large);
// once the owner is being destroyed, a start still under way creates no
// further site type, so a shutdown during a login does not wait for them.
TEST(DatafeedClientStart, InterruptedClientCreatesNoSiteType) {
  qel_test::RecordingHandle handle;
  qc::DatafeedClient datafeed(&handle);
  qc::IdToServerHostMapType nodes;
  for (int siteType : {1, 2, 3}) nodes[siteType].emplace(100, qc::ServerHost("127.0.0.1", ClosedPort(), false));
  datafeed.Init("user", "token", nodes);
  datafeed.Interrupt();
  datafeed.Start();
  for (int siteType : {1, 2, 3}) {
    EXPECT_EQ(datafeed.GetConnection(siteType), nullptr) << siteType;
    EXPECT_EQ(datafeed.GetDataQueue(static_cast<uint32_t>(siteType)), nullptr) << siteType;
  }
  EXPECT_EQ(datafeed.TryLoginDatafeed(), qc::LOGIN_DATAFEED_FAILED_END);
}

class TcpClientShutdownTest : public TcpClientTest, public testing::WithParamInterface<int> {
 protected:
  std::future<int> m_call;  // an application call still running, if any
  friend struct ShutdownCases;
  friend struct TrickledDiscoveryCases;
};

struct ShutdownCases {
  static void DaemonSleep(TcpClientShutdownTest* t) {
    Waits w;
    w.daemon_check_interval = kLongWaitSeconds;
    t->LoadWaits(w);
    t->StartSim(t->TwoSites(false));
    t->LoginAndDrain();
    ASSERT_TRUE(Eventually([&] { return t->m_log.Contains("=== daemon thread start ==="); }, kWait));
  }
  static void SubscribeRetrySleep(TcpClientShutdownTest* t) {
    Waits w;
    w.subscribe_try_interval = kLongWaitSeconds;
    // The refused subscription would otherwise let the daemon's next check
    // reconnect in the middle of the test; this case is about the retry sleep.
    w.daemon_check_interval = kLongWaitSeconds;
    t->LoadWaits(w);
    t->StartSim(t->TwoSites(false));
    t->LoginAndDrain();
    ASSERT_TRUE(Eventually([&] { return t->m_client->DaemonChecksDone() >= 1; }, kWait));
    sim::Faults faults;
    faults.refuse_subscribe = true;
    t->m_sim->SetFaults(faults);
    t->m_log.ExpectError("Receive subscribe response, subscribe failed");
    t->m_log.ExpectError("Not connect, cannt send subscribe msg");
    t->m_call = std::async(std::launch::async, [t] { return t->SubscribeTypes({kStockType}); });
    ASSERT_TRUE(Eventually([&] { return t->m_log.Contains("try again[1/2]"); }, kWait));
  }
  static void LoginRetrySleep(TcpClientShutdownTest* t) {
    t->m_log.ExpectError("Login datafeed service failed");
    t->m_log.ExpectError("Login datafeed node failed");
    Waits w;
    w.login_try_interval = kLongWaitSeconds;
    t->LoadWaits(w);
    t->StartSim(t->TwoSites(false));
    sim::Faults faults;
    faults.refuse_datafeed_login = true;
    t->m_sim->SetFaults(faults);
    t->CreateClient();
    t->m_call = std::async(std::launch::async, [t] { return t->Login(); });
    ASSERT_TRUE(Eventually([&] { return t->m_log.Contains("Login datafeed service failed"); }, kWait));
  }
  static void DiscoveryRelogin(TcpClientShutdownTest* t) {
    t->m_log.AllowAnyErrors();  // every node and the discovery service are gone: many failure lines
    t->StartSim(t->TwoSites(false));
    t->LoginAndDrain();
    // The discovery host pause of the pass (5 s) is part of this state.
    t->m_client->GetDiscoveryClient()->SetHostRetryPauseForTest(kLongWaitSeconds);
    ASSERT_TRUE(t->m_sim->StopDiscovery());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(t->m_sim->StopNode(i));
    ASSERT_TRUE(Eventually([&] { return t->m_log.Contains("=== try to relogin discovery service [1]"); }, kWait));
    Waits w;
    w.login_try_interval = kLongWaitSeconds;
    t->LoadWaits(w);
  }
};

// The discovery host sends every byte alone, one a second: its answer, or
// over TLS its handshake, outlasts any test. Each byte resets the read
// timeout, and the attempt's deadline (the configured send and read timeouts)
// is far off, so only the interruption can end the attempt in time.
struct TrickledDiscoveryCases {
  static constexpr int kTrickleMs = 1000;
  // The simulator holds an open discovery connection that got its request
  // or, over TLS, has its handshake under way (a login's connection closes
  // once it is done, so after a login this is the relogin's).
  static bool Trickling(TcpClientShutdownTest* t, bool tls) {
    for (const auto& c : t->m_sim->Stats().connections) {
      if (c.discovery && c.open && (tls || c.frames_received > 0)) return true;
    }
    return false;
  }
  static void Login(TcpClientShutdownTest* t, bool tls) {
    sim::Scenario s = t->TwoSites(tls);
    s.faults.trickle_discovery_ms = kTrickleMs;
    qc::BaseConfig::GetInstance().SetReadTimeout(kLongWaitSeconds);
    t->StartSim(s);
    t->CreateClient();
    t->m_call = std::async(std::launch::async, [t] { return t->Login(); });
    ASSERT_TRUE(Eventually([&] { return Trickling(t, tls); }, kWait));
  }
  static void PlainLogin(TcpClientShutdownTest* t) { Login(t, false); }
  static void TlsLogin(TcpClientShutdownTest* t) { Login(t, true); }
  // The daemon's discovery relogin after every node went away.
  static void Relogin(TcpClientShutdownTest* t) {
    t->m_log.AllowAnyErrors();  // every node is gone: many failure lines
    t->StartSim(t->TwoSites(false));
    t->LoginAndDrain();
    sim::Faults faults;
    faults.trickle_discovery_ms = kTrickleMs;
    t->m_sim->SetFaults(faults);
    qc::BaseConfig::GetInstance().SetReadTimeout(kLongWaitSeconds);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(t->m_sim->StopNode(i));
    ASSERT_TRUE(Eventually([&] { return t->m_log.Contains("=== try to relogin discovery service [1]"); }, kWait));
    ASSERT_TRUE(Eventually([&] { return Trickling(t, false); }, kWait));
  }
};

struct WaitingState {
  const char* name;
  void (*enter)(TcpClientShutdownTest*);  // brings the client into the state; returns once it is in it
};

const WaitingState kWaitingStates[] = {
    {"DaemonSleep", ShutdownCases::DaemonSleep},
    {"SubscribeRetrySleep", ShutdownCases::SubscribeRetrySleep},
    {"LoginRetrySleep", ShutdownCases::LoginRetrySleep},
    {"DiscoveryRelogin", ShutdownCases::DiscoveryRelogin},
    {"TrickledDiscoveryAnswer", TrickledDiscoveryCases::PlainLogin},
    {"TrickledDiscoveryTlsHandshake", TrickledDiscoveryCases::TlsLogin},
    {"TrickledDiscoveryRelogin", TrickledDiscoveryCases::Relogin},
};

TEST_P(TcpClientShutdownTest, UninstanceReturnsPromptly) {
  const WaitingState& state = kWaitingStates[GetParam()];
  state.enter(this);
  ASSERT_FALSE(HasFatalFailure());
  const auto start = std::chrono::steady_clock::now();
  qc::ClientFactory::Uninstance();
  const auto took = std::chrono::steady_clock::now() - start;
  // The configured wait is 600 s; anything near it means the wait ran out
  // instead of being ended.
  EXPECT_LT(took, std::chrono::seconds(60)) << state.name;
  if (m_call.valid()) {
    ASSERT_EQ(m_call.wait_for(kWait), std::future_status::ready);
    EXPECT_LT(m_call.get(), 0) << "the interrupted call reports failure";
  }
  if (m_log.Contains("=== daemon thread start ===")) {
    EXPECT_TRUE(m_log.Contains("=== daemon thread quit ==="));
  }
}

INSTANTIATE_TEST_SUITE_P(WaitingStates, TcpClientShutdownTest,
                         testing::Range(0, static_cast<int>(sizeof(kWaitingStates) / sizeof(kWaitingStates[0]))),
                         [](const testing::TestParamInfo<int>& info) { return kWaitingStates[info.param].name; });

}  // namespace
