// The entry functions against the feed simulator on 127.0.0.1: a login
// document logs in (over TLS, through backup servers), subscribe documents
// become the requests the simulator receives, market data reaches the Notify
// as JSON that parses back, a Notify that throws does not stop delivery, and
// logout, a second login and fini_env with a client still logged in work in
// one process.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "client/client_fixture.h"
#include "config/base_config.h"
#include "feed_sim.h"
#include "support/closed_port.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "swig/json2pb.h"
#include "swig/python_wrapper.h"
#include "swig/recording_notify.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using qel_test::Eventually;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kWait(30000);
constexpr int kStockType = 3;
constexpr int kIndexType = 6;

class PythonLoginE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel_test::ResetClientConfig(m_dir);
    Notify_Regist(&m_notify);
  }
  void TearDown() override {
    python_logout();
    Notify_Regist(nullptr);
    globalhandle(false);
    if (m_sim) m_sim->Stop();
  }

  // One site type (two with two_sites), a stock stream and an index stream.
  sim::Scenario Scenario(bool tls, bool two_sites = false) {
    sim::Scenario s;
    s.users = {{"alice", "s3cret"}};
    s.nodes = {{1, 20, tls, 0}};
    if (two_sites) s.nodes.push_back({2, 20, tls, 0});
    sim::StreamSpec stock;
    stock.site_type = 1;
    stock.data_type = kStockType;
    stock.record_kind = sim::kQELStock;
    stock.channels = {11};
    stock.security_ids = {"600000.SH", "600001.SH"};
    stock.rate_per_sec = 500;
    stock.batch = 10;
    sim::StreamSpec index = stock;
    index.data_type = kIndexType;
    index.record_kind = sim::kQELIndex;
    index.security_ids = {"000300.SH"};
    s.streams = {stock, index};
    if (tls) qel_test::UseTls(s, m_pki);
    s.log = [](const std::string&) {};
    return s;
  }
  void StartSim(sim::Scenario s) {
    m_sim = std::make_unique<sim::FeedSimulator>(std::move(s));
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
  }
  // The client python_login will find: made with the binding's handle, with
  // the test pauses at zero (the configuration must already be in place).
  void PrepareClient(bool tls) {
    qc::BaseConfig::GetInstance().SetUseSSL(tls);
    if (tls) qc::BaseConfig::GetInstance().SetSSLCertfolder(m_pki->CaFile());
    m_client = qel_test::CreateTestClient(globalhandle(true));
    ASSERT_NE(m_client, nullptr);
  }
  std::string LoginJson(bool tls, const std::string& extra = "") const {
    std::string json = R"({"UserName":"alice","Password":"s3cret","MainServerIP":"127.0.0.1","MainServerPort":)" +
                       std::to_string(m_sim->DiscoveryPort()) + R"(,"Is_Ssl":)" + (tls ? "true" : "false");
    if (tls) json += R"(,"CertFolder":")" + m_pki->CaFile() + "\"";
    return json + extra + "}";
  }
  void Login(bool tls, const std::string& extra = "") {
    PrepareClient(tls);
    ASSERT_EQ(python_login(LoginJson(tls, extra).c_str(), 0), 0);
  }
  // Every request the site type's connections received, connection by connection.
  std::vector<sim::ReceivedSubscribe> Received(int site_type = 1) const {
    std::vector<sim::ReceivedSubscribe> out;
    for (const auto& c : m_sim->Stats().connections) {
      if (!c.discovery && c.site_type == site_type) {
        out.insert(out.end(), c.subscribes_received.begin(), c.subscribes_received.end());
      }
    }
    return out;
  }
  // Every market-data text delivered so far, parsed back.
  std::vector<qm::MarketData> Delivered() const {
    std::vector<qm::MarketData> out;
    for (const auto& call : m_notify.JsonCalls("OnMarketData")) {
      EXPECT_TRUE(call.length_matches);
      qm::MarketData md;
      json2pb(md, call.text.data(), call.text.size());
      out.push_back(md);
    }
    return out;
  }

  qel_test::RecordingLog m_log;
  qel_test::TempDir m_dir;
  qel_test::RecordingNotify m_notify;
  std::unique_ptr<qel_test::TestPki> m_pki;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  qc::VentrixTcpClient* m_client = nullptr;  // owned by the factory
};

TEST_F(PythonLoginE2eTest, TlsLoginSubscribeAndMarketDataAsJson) {
  StartSim(Scenario(true, true));
  Login(true, R"(,"Thread_Count":3)");
  EXPECT_EQ(qc::BaseConfig::GetInstance().GetHandleThreadNum(), 3u);
  EXPECT_EQ(m_notify.Count("OnLoginDiscoverySuccess 127.0.0.1 [1,2]"), 1);
  EXPECT_TRUE(m_notify.WaitFor("OnLoginDataServiceSuccess", 1, kWait));
  EXPECT_EQ(m_notify.Count("OnLoginDatafeedNodeSuccess"), 2);
  const auto discovery = m_notify.JsonCalls("OnLoginDiscoveryResponse");
  ASSERT_EQ(discovery.size(), 1u);
  qm::LoginResponse answer;
  json2pb(answer, discovery[0].text.data(), discovery[0].text.size());
  EXPECT_TRUE(answer.issuccess());
  EXPECT_FALSE(answer.token().empty());
  EXPECT_EQ(answer.servers_size(), 2);
  EXPECT_EQ(m_sim->Stats().connections.front().tls, true);

  m_log.ExpectError("subscribe parameter non conformance");
  EXPECT_EQ(python_subscribeByDataType(R"({"SubType":2,"QelDataTypes":[3,-999,"x"]})", 0), 0);
  EXPECT_EQ(m_log.Count("subscribe parameter non conformance"), 2);
  EXPECT_EQ(m_notify.JsonCalls("OnSubscribeResponse").size(), 2u) << "one per site type";
  ASSERT_TRUE(Eventually([&] { return Delivered().size() >= 50; }, kWait));
  for (const qm::MarketData& md : Delivered()) {
    ASSERT_TRUE(md.has_qelstock()) << md.DebugString();
    EXPECT_EQ(md.qelmessagechannel(), 11);
    EXPECT_TRUE(md.qelstock().qelsecurityid() == "600000.SH" || md.qelstock().qelsecurityid() == "600001.SH");
  }
}

// A Notify that throws from OnMarketData loses those records only: later
// records arrive, and each loss is one error line naming the callback.
TEST_F(PythonLoginE2eTest, ThrowingNotifyDoesNotStopLaterCallbacks) {
  StartSim(Scenario(false));
  m_log.ExpectError("Notify::OnMarketData raised an error, callback dropped: boom OnMarketData");
  Login(false);
  m_notify.ThrowFrom("OnMarketData", 5);
  EXPECT_EQ(python_subscribeByDataType(R"({"QelDataTypes":[3]})", 0), 0);
  ASSERT_TRUE(Eventually([&] { return m_log.Count("OnMarketData raised an error") == 5; }, kWait));
  const size_t before = Delivered().size();
  ASSERT_TRUE(Eventually([&] { return Delivered().size() >= before + 20; }, kWait));
  EXPECT_EQ(m_log.Count("OnMarketData raised an error"), 5);
}

TEST_F(PythonLoginE2eTest, LogoutThenLoginAgainInOneProcess) {
  StartSim(Scenario(false));
  Login(false);
  EXPECT_EQ(python_subscribeByDataType(R"({"QelDataTypes":[3]})", 0), 0);
  ASSERT_TRUE(Eventually([&] { return !Delivered().empty(); }, kWait));
  python_logout();
  ASSERT_TRUE(m_sim->WaitFor([](const sim::SimulatorStats& s) { return s.open_datafeed_connections == 0; }, kWait));
  const size_t after_logout = Delivered().size();

  Login(false);
  EXPECT_EQ(m_notify.Count("OnLoginDataServiceSuccess"), 2);
  EXPECT_EQ(python_subscribeBySecurityId(R"({"QUORSecurityIDs":[{"QelDataType":6,"QUORSecurityID":["000300.SH"]}]})", 0),
            0);
  ASSERT_TRUE(Eventually([&] { return Delivered().size() > after_logout + 10; }, kWait));
  const std::vector<qm::MarketData> all = Delivered();
  for (size_t i = after_logout; i < all.size(); ++i) {
    ASSERT_TRUE(all[i].has_qelindex()) << "only the index subscribed after the second login";
  }
  EXPECT_EQ(m_sim->Stats().discovery_logins_ok, 2);
}

// Backup servers are tried in array order after the main one; an element
// without a usable "IP" string and "Port" integer is skipped unseen.
TEST_F(PythonLoginE2eTest, BackServerElementsAreTriedInOrderAndBadOnesSkipped) {
  StartSim(Scenario(false));
  m_log.ExpectError("Discovery socket occurs errno");
  const int closed_main = qel_test::ClosedPort();
  const int closed_backup = qel_test::ClosedPort();
  const std::string port = std::to_string(m_sim->DiscoveryPort());
  PrepareClient(false);
  const std::string json = R"({"UserName":"alice","Password":"s3cret","MainServerIP":"127.0.0.1","MainServerPort":)" +
                           std::to_string(closed_main) + R"(,"BackServer":[{"IP":"127.0.0.1","Port":")" + port +
                           R"("},{"IP":"127.0.0.1"},{"Port":)" + port + R"(},7,{"IP":"127.0.0.1","Port":)" +
                           std::to_string(closed_backup) + R"(},{"IP":"127.0.0.1","Port":)" + port + "}]}";
  ASSERT_EQ(python_login(json.c_str(), 0), 0);
  // The main server and the closed backup failed, in that order; the string
  // port (which names the simulator) was never taken.
  std::vector<std::string> events;
  for (const auto& e : m_notify.Events()) {
    if (e.rfind("OnLoginDiscoveryFailed", 0) == 0 || e.rfind("OnLoginDiscoverySuccess", 0) == 0) events.push_back(e);
  }
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], "OnLoginDiscoveryFailed 127.0.0.1");
  EXPECT_EQ(events[1], "OnLoginDiscoveryFailed 127.0.0.1");
  EXPECT_EQ(events[2], "OnLoginDiscoverySuccess 127.0.0.1 [1]");
  EXPECT_FALSE(m_log.Contains("Backup discovery host"));
}

// A failed login hands back the client's code and tears the factory down; the
// next complete login works.
TEST_F(PythonLoginE2eTest, RefusedLoginReturnsTheClientCode) {
  StartSim(Scenario(false));
  m_log.ExpectError("Login discovery server successfully, but meet error: invalid user name or password");
  PrepareClient(false);
  const std::string wrong = R"({"UserName":"alice","Password":"wrong","MainServerIP":"127.0.0.1","MainServerPort":)" +
                            std::to_string(m_sim->DiscoveryPort()) + "}";
  const int result = python_login(wrong.c_str(), 0);
  EXPECT_NE(result, 0);
  EXPECT_NE(result, 1);
  EXPECT_NE(result, -1);
  EXPECT_EQ(m_notify.Count("OnLoginDataServiceSuccess"), 0);
  Login(false);
  EXPECT_TRUE(m_notify.WaitFor("OnLoginDataServiceSuccess", 1, kWait));
}

// fini_env while still logged in logs out first: every connection closes and
// nothing more reaches the (still registered) Notify.
TEST_F(PythonLoginE2eTest, FiniEnvWithClientStillLoggedInLogsOutFirst) {
  StartSim(Scenario(false));
  Login(false);
  EXPECT_EQ(python_subscribeByDataType(R"({"QelDataTypes":[3]})", 0), 0);
  ASSERT_TRUE(Eventually([&] { return !Delivered().empty(); }, kWait));
  python_fini_env();
  ASSERT_TRUE(m_sim->WaitFor([](const sim::SimulatorStats& s) { return s.open_datafeed_connections == 0; }, kWait))
      << "fini_env left the client connected";
  // A new environment logs in again with a new handle.
  python_init_env();
  Notify_Regist(&m_notify);
  Login(false);
  EXPECT_EQ(m_notify.Count("OnLoginDataServiceSuccess"), 2);
}

// --- Subscribe documents: what the simulator received ------------------------

struct SentRequest {
  int action;
  std::vector<int> data_types;
  std::vector<std::pair<int, std::vector<std::string>>> id_details;
};

struct SubscribeCase {
  const char* name;
  bool by_id;
  const char* json;
  int result;
  std::vector<SentRequest> sent;
  std::vector<std::string> errors;  // each expected once
  friend void PrintTo(const SubscribeCase& c, std::ostream* os) { *os << c.name; }
};

class SubscribeDocumentTest : public PythonLoginE2eTest, public ::testing::WithParamInterface<SubscribeCase> {};

TEST_P(SubscribeDocumentTest, SimulatorReceivesWhatTheDocumentMeans) {
  const SubscribeCase& c = GetParam();
  for (const auto& e : c.errors) m_log.ExpectError(e);
  StartSim(Scenario(false));
  Login(false);
  const int result = c.by_id ? python_subscribeBySecurityId(c.json, 0) : python_subscribeByDataType(c.json, 0);
  EXPECT_EQ(result, c.result);
  const std::vector<sim::ReceivedSubscribe> got = Received();
  ASSERT_EQ(got.size(), c.sent.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].action, c.sent[i].action) << i;
    EXPECT_EQ(got[i].data_types, c.sent[i].data_types) << i;
    EXPECT_EQ(got[i].id_details, c.sent[i].id_details) << i;
  }
  for (const auto& e : c.errors) EXPECT_EQ(m_log.Count(e), 1) << e;
}

using Details = std::vector<std::pair<int, std::vector<std::string>>>;
const Details kOne{{3, {"600000.SH"}}};
const Details kTwo{{3, {"600000.SH"}}, {6, {"000300.SH", ""}}};
const Details kThree{{3, {"600000.SH"}}, {6, {"000300.SH", ""}}, {3, {}}};

INSTANTIATE_TEST_SUITE_P(
    Documents, SubscribeDocumentTest,
    ::testing::Values(
        SubscribeCase{"TypeAbsentSubType", false, R"({"QelDataTypes":[3,6]})", 0, {{0, {3, 6}, {}}}, {}},
        SubscribeCase{"TypeSubType1", false, R"({"SubType":1,"QelDataTypes":[3]})", 0, {{0, {3}, {}}}, {}},
        SubscribeCase{"TypeSubType2", false, R"({"SubType":2,"QelDataTypes":[3]})", 0, {{1, {3}, {}}}, {}},
        SubscribeCase{"TypeSubType3", false, R"({"SubType":3,"QelDataTypes":[3]})", 0, {{2, {3}, {}}}, {}},
        SubscribeCase{"TypeSubType4", false, R"({"SubType":4,"QelDataTypes":[3]})", 0, {{3, {3}, {}}}, {}},
        SubscribeCase{"TypeSubType7", false, R"({"SubType":7,"QelDataTypes":[3]})", 0, {{7, {3}, {}}}, {}},
        SubscribeCase{"TypeSubTypeString", false, R"({"SubType":"2","QelDataTypes":[3]})", 0, {{0, {3}, {}}}, {}},
        SubscribeCase{"TypeEmptyArray", false, R"({"SubType":2,"QelDataTypes":[]})", 0, {{1, {}, {}}}, {}},
        SubscribeCase{"TypeNoArray", false, R"({"SubType":2,"QelDataTypes":3})", 0, {}, {}},
        SubscribeCase{"TypeMalformed", false, R"({"QelDataTypes":[3)", 0, {}, {"load subscribe json failed: "}},
        SubscribeCase{"IdKthRequestCarriesKDetails", true,
                      R"({"SubType":2,"QUORSecurityIDs":[{"QelDataType":3,"QUORSecurityID":["600000.SH"]},)"
                      R"({"QelDataType":6,"QUORSecurityID":["000300.SH",7,""]},{"QelDataType":3,"QUORSecurityID":[]}]})",
                      0,
                      {{1, {}, kOne}, {1, {}, kTwo}, {1, {}, kThree}},
                      {}},
        SubscribeCase{"IdNonConformantElementsSkipped", true,
                      R"({"QUORSecurityIDs":[{"QelDataType":"3","QUORSecurityID":["x"]},)"
                      R"({"QelDataType":3,"QUORSecurityID":["600000.SH"]},{"QelDataType":6},)"
                      R"({"QelDataType":6,"QUORSecurityID":"000300.SH"},)"
                      R"({"QelDataType":6,"QUORSecurityID":["000300.SH",""]}]})",
                      0,
                      {{0, {}, kOne}, {0, {}, kTwo}},
                      {"details[0].qelDataType missing or not integer, skipped.\r\n",
                       "details[2].quorSecurityId missing or not array, skipped.\r\n",
                       "details[3].quorSecurityId missing or not array, skipped.\r\n"}},
        SubscribeCase{"IdEmptyArray", true, R"({"QUORSecurityIDs":[]})", 0, {}, {}},
        SubscribeCase{"IdNoArray", true, R"({"SubType":3})", 0, {}, {}}),
    [](const ::testing::TestParamInfo<SubscribeCase>& i) { return i.param.name; });

// The identifier function returns the sum of its requests' results: with the
// simulator refusing, three requests give three times one refusal's code.
TEST_F(PythonLoginE2eTest, IdResultIsTheSumOfTheRequestsResults) {
  StartSim(Scenario(false));
  m_log.ExpectError("Receive subscribe response, subscribe failed");
  // One attempt per request, and no daemon pass (which would reconnect the
  // connection the refusal ended) within the test.
  qel_test::ClientWaits waits;
  waits.subscribe_try_count = 1;
  waits.daemon_check_interval = 600;
  qel_test::LoadClientWaits(m_dir, waits);
  Login(false);
  // The daemon's first check runs right after login; a refusal before it ends
  // would send it reconnecting.
  ASSERT_TRUE(Eventually([&] { return m_client->DaemonChecksDone() >= 1; }, kWait));
  sim::Faults f;
  f.refuse_subscribe = true;
  m_sim->SetFaults(f);
  const int one = python_subscribeByDataType(R"({"QelDataTypes":[3]})", 0);
  ASSERT_LT(one, 0);
  const int sum = python_subscribeBySecurityId(
      R"({"QUORSecurityIDs":[{"QelDataType":3,"QUORSecurityID":["a"]},{"QelDataType":3,"QUORSecurityID":["b"]},)"
      R"({"QelDataType":3,"QUORSecurityID":["c"]}]})",
      0);
  EXPECT_EQ(sum, 3 * one);
}

}  // namespace
