// Discovery login against the feed simulator on 127.0.0.1: host order and
// callbacks, refusals, trace checks, split responses, TLS, and the node map.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "config/base_config.h"
#include "config/error_define.h"
#include "discovery_client/discovery_client.h"
#include "feed_sim.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/test_pki.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using std::chrono::milliseconds;

namespace {

// A 127.0.0.1 port with nobody listening: bound, read, and closed again.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

sim::Scenario TwoSiteScenario() {
  sim::Scenario s;
  s.users = {{"alice", "s3cret"}};
  s.nodes = {{3, 10, false, 0}, {1, 10, false, 0}, {1, 20, false, 0}};
  return s;
}

int64_t DiscoveryConnections(const sim::FeedSimulator& feed) {
  int64_t n = 0;
  for (const auto& c : feed.Stats().connections) n += c.discovery ? 1 : 0;
  return n;
}

class DiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    qc::BaseConfig::GetInstance().CloseFileLog();
    // Generous: under a sanitizer on a loaded machine an answer can take seconds.
    qc::BaseConfig::GetInstance().SetReadTimeout(20);
  }
  std::unique_ptr<sim::FeedSimulator> StartSim(sim::Scenario s) {
    auto feed = std::make_unique<sim::FeedSimulator>(std::move(s));
    EXPECT_TRUE(feed->Start()) << feed->LastError();
    return feed;
  }
  qc::ServerHost Host(const sim::FeedSimulator& feed) { return qc::ServerHost("127.0.0.1", feed.DiscoveryPort(), false); }

  qel_test::RecordingLog m_log;
  qel_test::RecordingHandle m_handle;
  qc::DiscoveryClient m_client{&m_handle};
};

}  // namespace

TEST_F(DiscoveryTest, FirstHostRefusesTcpSecondAcceptsAfterThePause) {
  auto feed = StartSim(TwoSiteScenario());
  const int dead = ClosedPort();
  m_client.InitParams("alice", "s3cret", false, qc::ServerHost("127.0.0.1", dead, false), {Host(*feed)});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900)) << "5 s between hosts";
  EXPECT_EQ(m_handle.Events(), (std::vector<std::string>{"DiscoveryFailed 127.0.0.1", "DiscoveryResponse 3",
                                                         "DiscoverySuccess 127.0.0.1 [1,3]"}));
  EXPECT_FALSE(m_client.GetToken().empty());
  EXPECT_EQ(m_client.GetCurrentUsedHost().GetServerPort(), feed->DiscoveryPort());
  EXPECT_TRUE(m_client.IsConnected());
}

TEST_F(DiscoveryTest, LoginRequestCarriesTheEncodedPasswordTheServerAccepts) {
  // The simulator decrypts the password itself: a wrong one is refused.
  auto feed = StartSim(TwoSiteScenario());
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "wrong", false, Host(*feed), {Host(*feed)});
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_END);
  EXPECT_EQ(DiscoveryConnections(*feed), 1) << "a refusal ends the pass: the backup is not tried";
  EXPECT_EQ(m_handle.Events(), (std::vector<std::string>{"DiscoveryFailed 127.0.0.1", "NoDiscoveryServices"}));
  EXPECT_TRUE(m_client.GetToken().empty());
}

TEST_F(DiscoveryTest, RefusedLoginEndsThePass) {
  sim::Scenario s = TwoSiteScenario();
  s.faults.refuse_discovery_login = true;
  auto feed = StartSim(s);
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "s3cret", false, Host(*feed), {Host(*feed)});
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_END);
  EXPECT_EQ(DiscoveryConnections(*feed), 1);
  EXPECT_TRUE(m_log.Contains("Login discovery server successfully, but meet error:"));
}

TEST_F(DiscoveryTest, WrongTraceIdMovesToTheNextHost) {
  sim::Scenario bad = TwoSiteScenario();
  bad.faults.wrong_trace_id_discovery = true;
  auto liar = StartSim(bad);
  auto good = StartSim(TwoSiteScenario());
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "s3cret", false, Host(*liar), {Host(*good)});
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_TRUE(m_log.Contains("Check discovery login response meta data failed! Try to relogin"));
  EXPECT_EQ(m_handle.Count("DiscoveryFailed"), 1);
  EXPECT_EQ(m_handle.Count("DiscoverySuccess"), 1);
  EXPECT_EQ(DiscoveryConnections(*good), 1);
}

TEST_F(DiscoveryTest, EveryHostFailingRetryablyGivesNeedReconnect) {
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "s3cret", false, qc::ServerHost("127.0.0.1", ClosedPort(), false),
                      {qc::ServerHost("127.0.0.1:" + std::to_string(ClosedPort()))});
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_EQ(m_handle.Count("DiscoveryFailed"), 2);
  EXPECT_EQ(m_handle.Count("NoDiscoveryServices"), 1);
}

TEST_F(DiscoveryTest, ResponseSplitIntoTinyWritesIsAccumulated) {
  sim::Scenario s = TwoSiteScenario();
  s.faults.split_write_bytes = 3;
  auto feed = StartSim(s);
  m_client.InitParams("alice", "s3cret", false, Host(*feed), {});
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_EQ(m_client.GetDatafeedNodes().size(), 2u);
}

TEST_F(DiscoveryTest, SecondConcurrentPassIsRefusedAtOnce) {
  sim::Scenario s = TwoSiteScenario();
  s.faults.no_discovery_response = true;  // the first pass waits for its read timeout
  qc::BaseConfig::GetInstance().SetReadTimeout(3);
  auto feed = StartSim(s);
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "s3cret", false, Host(*feed), {});
  auto first = std::async(std::launch::async, [this] { return m_client.TryLoginDiscovery(); });
  ASSERT_TRUE(qel_test::Eventually([&] { return DiscoveryConnections(*feed) == 1; }, milliseconds(3000)));
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_TRUE(m_log.Contains("Discovery client is running"));
  EXPECT_EQ(first.get(), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_TRUE(m_log.Contains("Discovery socket READ IDLE!"));
}

TEST_F(DiscoveryTest, TlsWithTheTestCaSucceedsAndAForeignCertificateIsRefused) {
  qel_test::TestPki pki;
  auto ctx = pki.ClientContext();
  sim::Scenario trusted = TwoSiteScenario();
  trusted.discovery_tls = true;
  trusted.tls_cert_file = pki.ServerCert();
  trusted.tls_key_file = pki.ServerKey();
  auto feed = StartSim(trusted);
  m_client.RegisterSslCtx(ctx.get());
  m_client.InitParams("alice", "s3cret", true, Host(*feed), {});
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);

  sim::Scenario rogue = trusted;
  rogue.tls_cert_file = pki.RogueCert();
  rogue.tls_key_file = pki.RogueKey();
  auto impostor = StartSim(rogue);
  qc::DiscoveryClient second(&m_handle);
  second.SetHostRetryPauseForTest(0);
  second.RegisterSslCtx(ctx.get());
  second.InitParams("alice", "s3cret", true, Host(*impostor), {});
  EXPECT_EQ(second.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_EQ(impostor->Stats().discovery_logins_ok, 0);
}

TEST_F(DiscoveryTest, TlsWithoutAContextEndsThePassAsALocalFailure) {
  m_client.InitParams("alice", "s3cret", true, qc::ServerHost("127.0.0.1", ClosedPort(), false), {});
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_END);
  EXPECT_TRUE(m_log.Contains("Please init ssl env before login!"));
}

TEST(DiscoveryNodeMap, SitesAscendPrioritiesDescendDuplicatesDropped) {
  qel_test::RecordingLog log;
  qel_test::RecordingHandle handle;
  qc::DiscoveryClient client(&handle);
  google::protobuf::RepeatedPtrField<qm::ServerInfo> list;
  auto add = [&list](int site, int prio, const std::string& ip, int port, bool ssl) {
    qm::ServerInfo* info = list.Add();
    info->set_sitetype(site);
    info->set_ippriority(prio);
    info->set_ip(ip);
    info->set_port(port);
    info->set_isssl(ssl);
  };
  add(3, 10, "10.0.0.1", 1, false);
  add(1, 10, "10.0.0.2", 2, true);
  add(1, 20, "10.0.0.3", 3, false);
  add(1, 20, "10.0.0.4", 4, false);  // same site and priority: the first stays
  client.UpdateDatafeedNodes(&list);
  std::vector<std::string> order;
  for (const auto& site : client.GetDatafeedNodes()) {
    for (const auto& node : site.second) {
      order.push_back(std::to_string(site.first) + "/" + std::to_string(node.first) + "/" +
                      node.second.GetServerIp() + (node.second.IsSsl() ? "/tls" : ""));
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1/20/10.0.0.3", "1/10/10.0.0.2/tls", "3/10/10.0.0.1"}));
  EXPECT_TRUE(log.Contains("Datafeed service site type: 1, node priority: 20, host: 10.0.0.3:3"));

  log.Clear();
  google::protobuf::RepeatedPtrField<qm::ServerInfo> empty;
  client.UpdateDatafeedNodes(&empty);
  EXPECT_TRUE(client.GetDatafeedNodes().empty());
  EXPECT_FALSE(log.Contains("Receive datafeed service node info:"));
}

TEST(DiscoveryTraceId, NewTraceIdIsLoginPrefixAndMicroseconds) {
  qel_test::RecordingHandle handle;
  qc::DiscoveryClient client(&handle);
  const std::string id = client.GetNewTraceId();
  ASSERT_EQ(id.rfind("sdk_login_", 0), 0u);
  const long long micros = std::stoll(id.substr(10));
  EXPECT_GT(micros, 1600000000LL * 1000000LL);
  EXPECT_EQ(&client.GetCurTraceId(), &client.GetNewTraceId());
}
