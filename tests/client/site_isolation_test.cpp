// One site type's trouble never reaches another: the TCP client against the
// feed simulator on 127.0.0.1 with two site types, one node each, where the
// node of site type 1 misbehaves (trickles its answers, refuses or ignores a
// subscription, sends a malformed frame) while site type 2 must go on.
// Also the subscription outcome when a site type is not logged in, a
// subscription made from a connection's own callback, and a site type that a
// new node map no longer lists.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "client_fixture.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "datafeed_client/datafeed_client.h"
#include "feed_sim.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using qel_test::Eventually;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kWait(20000);
constexpr int kStockType = 3;  // site type 1
constexpr int kOrderType = 8;  // site type 2

// Counts subscribe answers and the records of each site type; optionally
// subscribes from inside the login callback of site type 1.
class SiteHandle : public qel_test::RecordingHandle {
 public:
  void OnSubscribeResponse(const qc::SubscribeResponse&) override { ++responses; }
  void OnMarketData(const qm::MarketData& record) override {
    if (record.has_qelstock()) ++stock_records;
    if (record.has_qelorder()) ++order_records;
  }
  // Called on the connection's loop thread.
  void OnLoginDatafeedNodeSuccess(int site, const std::string& host) override {
    RecordingHandle::OnLoginDatafeedNodeSuccess(site, host);
    if (site != 1) return;
    qc::VentrixTcpClient* client = subscribe_from_callback.exchange(nullptr);
    if (client == nullptr) return;
    qm::SubscribeByDataType by_type;
    by_type.add_qeldatatypes(kStockType);
    callback_result = client->SubscribeByDatatype(qm::COVERAGE, by_type);
    callback_done = true;
  }
  int64_t Records(int site) const { return site == 1 ? stock_records.load() : order_records.load(); }

  std::atomic<int> responses{0};
  std::atomic<int64_t> stock_records{0};
  std::atomic<int64_t> order_records{0};
  std::atomic<qc::VentrixTcpClient*> subscribe_from_callback{nullptr};
  std::atomic<int> callback_result{0};
  std::atomic<bool> callback_done{false};
};

sim::StreamSpec Stream(int site, int type, int kind) {
  sim::StreamSpec st;
  st.site_type = site;
  st.data_type = type;
  st.record_kind = kind;
  st.channels = {site * 100 + 1};
  st.rate_per_sec = 1000;
  st.batch = 10;
  return st;
}

class SiteIsolationTest : public testing::Test {
 protected:
  void SetUp() override {
    qel_test::ResetClientConfig(m_dir);
    qel_test::ClientWaits w;
    w.subscribe_try_count = 1;
    qel_test::LoadClientWaits(m_dir, w);
    // Answered heartbeats keep a connection without data from idling out
    // under the short read timeouts these tests set.
    qc::BaseConfig::GetInstance().SetHeartBeatInterval(1);
  }
  void TearDown() override {
    qc::ClientFactory::Uninstance();
    if (m_sim) m_sim->Stop();
    qc::BaseConfig::GetInstance().SetHeartBeatInterval(qc::HEARTBEAT_INTERVAL);
    EXPECT_EQ(m_log.UnexpectedErrors(), "");
  }
  void StartSim() {
    sim::Scenario s;
    s.users = {{"alice", "s3cret"}};
    s.nodes = {{1, 20, false, 0}, {2, 20, false, 0}};
    s.streams = {Stream(1, kStockType, sim::kQELStock), Stream(2, kOrderType, sim::kQELOrder)};
    m_sim = qel_test::StartSimulator(std::move(s));
    ASSERT_NE(m_sim, nullptr);
  }
  void CreateClient() {
    m_client = qel_test::CreateTestClient(&m_handle);
    ASSERT_NE(m_client, nullptr);
  }
  int Login() { return m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1", m_sim->DiscoveryPort(), {}); }
  int SubscribeTypes(std::vector<int> types) {
    qm::SubscribeByDataType by_type;
    for (int t : types) by_type.add_qeldatatypes(t);
    return m_client->SubscribeByDatatype(qm::COVERAGE, by_type);
  }
  // Logged in and subscribed on both site types, data flowing on both, and
  // the daemon past its first check.
  void LoginAndSubscribeBoth() {
    StartSim();
    if (HasFatalFailure()) return;
    CreateClient();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Login(), 0);
    ASSERT_EQ(SubscribeTypes({kStockType, kOrderType}), 0);
    ASSERT_TRUE(Eventually([&] { return m_handle.Records(1) > 0 && m_handle.Records(2) > 0; }, kWait));
    ASSERT_TRUE(Eventually([&] { return m_client->DaemonChecksDone() >= 1; }, kWait));
  }
  // Datafeed connections the simulator has accepted for a site type.
  int64_t Connections(int site) const {
    int64_t n = 0;
    for (const auto& c : m_sim->Stats().connections) n += (!c.discovery && c.site_type == site) ? 1 : 0;
    return n;
  }
  // The site type's latest connection, if any.
  bool Latest(int site, sim::ConnectionStats* out) const {
    bool found = false;
    for (const auto& c : m_sim->Stats().connections) {
      if (c.discovery || c.site_type != site) continue;
      *out = c;
      found = true;
    }
    return found;
  }
  // The site type's latest connection is open, logged in and subscribed.
  bool LatestSubscribed(int site) const {
    sim::ConnectionStats c;
    return Latest(site, &c) && c.open && c.logged_in && c.subscribe_requests > c.subscribes_refused;
  }
  qc::SocketConnectThread::ConnectState State(int site) const {
    qc::DatafeedClient::ConnectionPtr conn = m_client->GetDatafeedClient()->GetConnection(site);
    return conn ? conn->m_state.load() : qc::SocketConnectThread::NOT_CONNECTED;
  }

  qel_test::RecordingLog m_log;
  qel_test::TempDir m_dir;
  SiteHandle m_handle;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  qc::VentrixTcpClient* m_client = nullptr;
};

// Site type 1's node accepts the login and then writes one byte at a time,
// never idle for a whole read timeout, so its login never ends by itself.
// Site type 2 then loses its connection: it is logged in and resubscribed at
// once, while site type 1's attempts end at their own deadline.
TEST_F(SiteIsolationTest, TricklingNodeNeitherStallsItsLoginNorDelaysAnotherSiteType) {
  m_log.ExpectError("Connected to datafeed service");  // the closed sockets
  m_log.ExpectError("In daemon thread");
  m_log.ExpectError("not logged in within");
  m_log.ExpectError("Login datafeed service failed");
  m_log.ExpectError("Try to connect to all datafeed node");
  // A resubscription answered late on a loaded machine is retried at the next check.
  m_log.ExpectError("No subscribe response from site type");
  LoginAndSubscribeBoth();
  ASSERT_FALSE(HasFatalFailure());
  qc::BaseConfig::GetInstance().SetReadTimeout(2);

  sim::Faults trickle;
  trickle.only_site_type = 1;
  trickle.split_write_bytes = 1;
  trickle.split_delay_us = 500000;  // one byte every half second: a login answer takes half a minute
  m_sim->SetFaults(trickle);
  const int64_t site1_before = Connections(1);
  ASSERT_GT(m_sim->CloseDatafeedConnections(1), 0);
  // Site type 1 is logging in again (its answer trickling) when site type 2 loses its node.
  ASSERT_TRUE(Eventually(
      [&] {
        sim::ConnectionStats c;
        return Connections(1) > site1_before && Latest(1, &c) && c.open && c.login_requests > 0;
      },
      kWait));
  const int64_t site2_before = Connections(2);
  ASSERT_GT(m_sim->CloseDatafeedConnections(2), 0);

  // A few daemon checks (1 s each); the trickled login answer alone needs 30 s.
  EXPECT_TRUE(Eventually([&] { return Connections(2) > site2_before && LatestSubscribed(2); }, milliseconds(25000)))
      << "site type 2 is logged in and resubscribed while site type 1 is stuck";
  EXPECT_TRUE(Eventually([&] { return State(2) == qc::SocketConnectThread::LOGIN_SUCCESS; }, kWait));
  const int64_t order_records = m_handle.Records(2);
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(2) > order_records + 50; }, kWait));
  // Every login attempt has a deadline: site type 1's trickling login is given up.
  EXPECT_TRUE(Eventually([&] { return m_log.Contains("not logged in within"); }, kWait));
}

// Site type 1's node now refuses (or never answers) the remembered
// subscription after a reconnect: only site type 1 is reset and retried;
// site type 2 keeps its one connection and its data.
struct ResubscribeFault {
  const char* name;
  void (*set)(sim::Faults&);
  const char* error;  // the error line the fault provokes
};
const ResubscribeFault kResubscribeFaults[] = {
    {"Refused", [](sim::Faults& f) { f.refuse_subscribe = true; }, "Receive subscribe response, subscribe failed"},
    {"NeverAnswered", [](sim::Faults& f) { f.no_subscribe_response = true; }, "No subscribe response from site type"},
};

class ResubscribeFaultTest : public SiteIsolationTest, public testing::WithParamInterface<ResubscribeFault> {};

TEST_P(ResubscribeFaultTest, FailedResubscriptionResetsOnlyItsSiteType) {
  m_log.ExpectError(GetParam().error);
  m_log.ExpectError("Connected to datafeed service");
  m_log.ExpectError("In daemon thread");
  m_log.ExpectError("Not connect, cannt send subscribe msg");
  LoginAndSubscribeBoth();
  ASSERT_FALSE(HasFatalFailure());
  qc::BaseConfig::GetInstance().SetReadTimeout(2);  // bounds the wait for an answer that never comes
  const int64_t site2_connections = Connections(2);

  sim::Faults faults;
  faults.only_site_type = 1;
  GetParam().set(faults);
  m_sim->SetFaults(faults);
  const int64_t site1_before = Connections(1);
  ASSERT_GT(m_sim->CloseDatafeedConnections(1), 0);
  // Site type 1 is retried at later checks: at least two more connections.
  ASSERT_TRUE(Eventually([&] { return Connections(1) >= site1_before + 2; }, kWait));
  const int64_t order_records = m_handle.Records(2);
  EXPECT_TRUE(Eventually([&] { return m_handle.Records(2) > order_records + 50; }, kWait));
  EXPECT_EQ(Connections(2), site2_connections) << "site type 2 was never torn down";
  EXPECT_EQ(State(2), qc::SocketConnectThread::LOGIN_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Faults, ResubscribeFaultTest, testing::ValuesIn(kResubscribeFaults),
                         [](const testing::TestParamInfo<ResubscribeFault>& info) { return info.param.name; });

// A malformed frame ends site type 1's stream; before the daemon repairs it
// (its check is far off) a new subscription reaches site type 2 only: it is
// a failure, answered once, never a success repeated from the old answer.
TEST_F(SiteIsolationTest, SubscriptionIsNoSuccessOnASiteTypeWhoseStreamEnded) {
  m_log.ExpectError("Message length is abnormal");
  m_log.ExpectError("Datafeed node not connect");
  qel_test::ClientWaits w;
  w.subscribe_try_count = 1;
  w.daemon_check_interval = 600;
  qel_test::LoadClientWaits(m_dir, w);
  LoginAndSubscribeBoth();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(m_sim->SendMalformed(sim::Malformed::kMetaTooLong, 1), 1);
  ASSERT_TRUE(Eventually([&] { return State(1) != qc::SocketConnectThread::LOGIN_SUCCESS; }, kWait));
  EXPECT_NE(m_client->GetDatafeedClient()->GetConnection(1)->m_subscribeState.load(),
            qc::SocketConnectThread::SUBSCRIBE_SUCCESS)
      << "a closed socket keeps no subscription";

  const int responses = m_handle.responses.load();
  EXPECT_EQ(SubscribeTypes({kStockType, kOrderType}), qc::SUBSCRIBE_RESPONSE_REJECT);
  EXPECT_EQ(m_handle.responses.load(), responses + 1) << "only site type 2 answered";
  EXPECT_EQ(m_client->SubscribeRequestCount(), 1u) << "the failed request is not remembered";
}

// With no logged-in connection at all nothing is sent, and nothing is a success.
TEST_F(SiteIsolationTest, SubscriptionWithoutLoginFails) {
  m_log.ExpectError("SubscribeByDatatype failed");
  CreateClient();
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_LT(SubscribeTypes({kStockType}), 0);
  EXPECT_EQ(m_handle.responses.load(), 0);
  EXPECT_EQ(m_client->SubscribeRequestCount(), 0u);
}

// A subscription from a connection's login callback (its own loop thread)
// cannot wait for an answer that thread would have to read: it is refused at
// once with an error code and line, and the login goes on.
TEST_F(SiteIsolationTest, SubscribeFromAConnectionCallbackIsRefusedPromptly) {
  m_log.ExpectError("called from a library thread");
  qc::BaseConfig::GetInstance().SetReadTimeout(30);
  qel_test::ClientWaits w;
  w.subscribe_try_count = 3;
  w.subscribe_try_interval = 10;  // a retry pause on the loop thread would hold the login 20 s
  qel_test::LoadClientWaits(m_dir, w);
  StartSim();
  CreateClient();
  ASSERT_FALSE(HasFatalFailure());
  m_handle.subscribe_from_callback = m_client;
  std::future<int> login = std::async(std::launch::async, [this] { return Login(); });
  // A wait for the answer would last the 30 s read timeout, the retries 20 s more.
  ASSERT_EQ(login.wait_for(milliseconds(25000)), std::future_status::ready) << "the loop thread was blocked";
  EXPECT_EQ(login.get(), 0);
  ASSERT_TRUE(m_handle.callback_done.load());
  EXPECT_EQ(m_handle.callback_result.load(), qc::SUBSCRIBE_RESPONSE_REJECT);
  EXPECT_EQ(m_client->SubscribeRequestCount(), 0u);
  // The same subscription from an application thread works.
  EXPECT_EQ(SubscribeTypes({kStockType}), 0);
}

// A node map from a new discovery login that no longer lists a site type:
// that site type's connection is stopped and removed with its queues, and it
// no longer counts as connected or subscribed.
TEST_F(SiteIsolationTest, SiteTypeDroppedFromTheNodeMapIsStoppedAndRemoved) {
  StartSim();
  ASSERT_FALSE(HasFatalFailure());
  qel_test::RecordingHandle handle;
  qc::DatafeedClient datafeed(&handle);
  qc::IdToServerHostMapType nodes;
  for (int site : {1, 2}) nodes[site].emplace(20, qc::ServerHost("127.0.0.1", m_sim->NodePort(site, 0), false));
  const std::string token = m_sim->IssueToken("alice");
  datafeed.Init("alice", token, nodes);
  datafeed.Start();
  ASSERT_EQ(datafeed.TryLoginDatafeed(), 0);
  ASSERT_TRUE(m_sim->WaitForDatafeedLogins(2, kWait));

  nodes.erase(2);
  datafeed.Init("alice", token, nodes);
  datafeed.UpdateDatafeedNode();
  EXPECT_EQ(datafeed.GetConnection(2), nullptr);
  EXPECT_EQ(datafeed.GetDataQueue(2), nullptr);
  EXPECT_EQ(datafeed.GetDataQueueBack(2), nullptr);
  EXPECT_NE(datafeed.GetConnection(1), nullptr);
  EXPECT_TRUE(Eventually(
      [&] {
        for (const auto& c : m_sim->Stats().connections) {
          if (!c.discovery && c.site_type == 2 && c.open) return false;
        }
        return true;
      },
      kWait))
      << "the dropped site type's socket is closed";
  EXPECT_TRUE(datafeed.isAllConnected()) << "only site type 1 counts";
  // A later login attempt leaves the dropped site type alone.
  EXPECT_EQ(datafeed.TryLoginDatafeed(), 0);
  EXPECT_EQ(datafeed.GetConnection(2), nullptr);
}

}  // namespace
