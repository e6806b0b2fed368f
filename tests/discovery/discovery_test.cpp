// Discovery login against the feed simulator on 127.0.0.1: host order and
// callbacks, refusals, trace checks, split and trickled responses, TLS, and
// the node map.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "config/base_config.h"
#include "config/error_define.h"
#include "discovery_client/discovery_client.h"
#include "feed_sim.h"
#include "support/closed_port.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/test_pki.h"
#include "support/wire_frames.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using qel_test::ClosedPort;
using std::chrono::milliseconds;

namespace {

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

// A one-connection discovery host on 127.0.0.1 that answers the login
// request with whatever bytes the test scripts, given the request's trace id.
// Its thread reads the request, writes the answer, then waits for the client
// to close (or gives up after a few seconds).
class ScriptedHost {
 public:
  explicit ScriptedHost(std::function<std::string(const std::string& trace)> reply) : m_reply(std::move(reply)) {
    m_listenFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(m_listenFd, 1), 0);
    socklen_t len = sizeof(addr);
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedHost() {
    shutdown(m_listenFd, SHUT_RDWR);  // wakes a thread still waiting in accept
    if (m_thread.joinable()) m_thread.join();
    close(m_listenFd);
  }
  int Port() const { return m_port; }
  // Waits for the connection to end; returns the trace id of the request the
  // host answered, empty if no request arrived whole.
  std::string Finish() {
    if (m_thread.joinable()) m_thread.join();
    return m_trace;
  }
  // Like Finish, but first stops waiting for a connection that never came.
  std::string Stop() {
    shutdown(m_listenFd, SHUT_RDWR);
    return Finish();
  }

 private:
  static bool ReadExactly(int fd, char* out, size_t n) {
    size_t got = 0;
    while (got < n) {
      const ssize_t r = recv(fd, out + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  void Serve() {
    const int fd = accept(m_listenFd, nullptr, nullptr);
    if (fd < 0) return;
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char header[12];
    int32_t metaLen = 0;
    int32_t payloadLen = 0;
    if (ReadExactly(fd, header, sizeof(header))) {
      memcpy(&metaLen, header + 4, 4);
      memcpy(&payloadLen, header + 8, 4);
      std::string rest(static_cast<size_t>(metaLen) + static_cast<size_t>(payloadLen), '\0');
      qm::MetaData meta;
      if (metaLen >= 0 && payloadLen >= 0 && ReadExactly(fd, &rest[0], rest.size()) &&
          meta.ParseFromArray(rest.data(), metaLen)) {
        m_trace = meta.traceid();
        const std::string answer = m_reply(m_trace);
        send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        char sink[256];
        while (recv(fd, sink, sizeof(sink), 0) > 0) {
        }
      }
    }
    close(fd);
  }

  std::function<std::string(const std::string&)> m_reply;
  int m_listenFd = -1;
  int m_port = 0;
  std::string m_trace;
  std::thread m_thread;
};

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
  m_log.ExpectError("Discovery socket occurs errno: 111");
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
  m_log.ExpectError("Login discovery server successfully, but meet error: invalid user name or password");
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
  m_log.ExpectError("Login discovery server successfully, but meet error: login refused by the service");
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
  m_log.ExpectError("Check discovery login response meta data failed! Try to relogin");
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
  m_log.ExpectError("Discovery socket occurs errno: 111");
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
  m_log.ExpectError("Discovery socket READ IDLE!");
  sim::Scenario s = TwoSiteScenario();
  s.faults.no_discovery_response = true;  // the first pass waits for its read timeout
  qc::BaseConfig::GetInstance().SetReadTimeout(3);
  auto feed = StartSim(s);
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "s3cret", false, Host(*feed), {});
  auto first = std::async(std::launch::async, [this] { return m_client.TryLoginDiscovery(); });
  ASSERT_TRUE(qel_test::Eventually([&] { return DiscoveryConnections(*feed) == 1; }, milliseconds(20000)));
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_TRUE(m_log.Contains("Discovery client is running"));
  EXPECT_EQ(first.get(), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_TRUE(m_log.Contains("Discovery socket READ IDLE!"));
}

// With a CA file the client verifies the discovery host: a certificate must
// come from the CA and be issued for the address connected to (127.0.0.1).
// Anything else is a failed attempt, logged with the host, and the password
// never leaves the client.
struct DiscoveryTlsCase {
  const char* name;
  std::string (qel_test::TestPki::*cert)() const;
  std::string (qel_test::TestPki::*key)() const;
  int result;
  const char* error;  // the refusal line; null when the login succeeds
};
void PrintTo(const DiscoveryTlsCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryTlsTest : public DiscoveryTest, public testing::WithParamInterface<DiscoveryTlsCase> {};

TEST_P(DiscoveryTlsTest, OnlyACertificateFromTheCaForThisAddressIsAccepted) {
  const DiscoveryTlsCase& c = GetParam();
  if (c.error != nullptr) {
    m_log.ExpectError(c.error);
    m_log.ExpectError("Discovery socket occurs errno");
  }
  qel_test::TestPki pki;
  qc::SslCtxPtr ctx = qc::NewClientSslContext(pki.CaFile());
  ASSERT_TRUE(ctx);
  sim::Scenario s = TwoSiteScenario();
  s.discovery_tls = true;
  s.tls_cert_file = (pki.*c.cert)();
  s.tls_key_file = (pki.*c.key)();
  auto feed = StartSim(s);
  m_client.SetHostRetryPauseForTest(0);
  m_client.RegisterSslCtx(ctx.get());
  m_client.InitParams("alice", "s3cret", true, Host(*feed), {});
  EXPECT_EQ(m_client.TryLoginDiscovery(), c.result);
  if (c.error != nullptr) {
    EXPECT_EQ(feed->Stats().discovery_logins_ok, 0);
    EXPECT_EQ(m_log.Count(c.error), 1) << m_log.Errors();
    EXPECT_EQ(DiscoveryConnections(*feed), 1);
  } else {
    EXPECT_EQ(feed->Stats().discovery_logins_ok, 1);
  }
  EXPECT_EQ(m_log.UnexpectedErrors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, DiscoveryTlsTest,
    testing::Values(
        DiscoveryTlsCase{"FromTheCaForThisAddress", &qel_test::TestPki::ServerCert, &qel_test::TestPki::ServerKey, 0,
                         nullptr},
        DiscoveryTlsCase{"FromTheCaForAnotherAddress", &qel_test::TestPki::OtherIpCert,
                         &qel_test::TestPki::OtherIpKey, qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT,
                         "TLS certificate of server 127.0.0.1 refused: IP address mismatch"},
        DiscoveryTlsCase{"SelfSignedRogue", &qel_test::TestPki::RogueCert, &qel_test::TestPki::RogueKey,
                         qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT, "TLS certificate of server 127.0.0.1 refused"}),
    [](const testing::TestParamInfo<DiscoveryTlsCase>& info) { return std::string(info.param.name); });

// Without a CA file the client cannot authenticate the server: the context
// says so once, in a warning, and then accepts any certificate.
TEST_F(DiscoveryTest, TlsWithoutACaFileWarnsOnceAndDoesNotVerify) {
  qel_test::TestPki pki;
  qc::SslCtxPtr ctx = qc::NewClientSslContext("");
  ASSERT_TRUE(ctx);
  EXPECT_EQ(m_log.Count("servers are not authenticated"), 1);
  sim::Scenario s = TwoSiteScenario();
  s.discovery_tls = true;
  s.tls_cert_file = pki.OtherIpCert();
  s.tls_key_file = pki.OtherIpKey();
  auto feed = StartSim(s);
  m_client.RegisterSslCtx(ctx.get());
  m_client.InitParams("alice", "s3cret", true, Host(*feed), {});
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_EQ(m_log.Count("servers are not authenticated"), 1) << "once per context, not per connection";
  EXPECT_EQ(m_log.ErrorCount(), 0) << m_log.Errors();
}

TEST(DiscoveryTlsContext, UnreadableCaFileGivesNoContext) {
  qel_test::RecordingLog log;
  log.ExpectError("Load or verify self CA file failed");
  EXPECT_FALSE(qc::NewClientSslContext("/nonexistent/ca.pem"));
  EXPECT_EQ(log.Count("Load or verify self CA file failed: /nonexistent/ca.pem"), 1);
  EXPECT_EQ(log.UnexpectedErrors(), "");
}

TEST_F(DiscoveryTest, TlsWithoutAContextEndsThePassAsALocalFailure) {
  m_log.ExpectError("Create ssl failed!");
  m_log.ExpectError("Please init ssl env before login!");
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

// Every malformed answer is a failed attempt on that host only: no overrun,
// no verdict on the login, and the next host is asked.
struct BadAnswerCase {
  const char* name;
  std::function<std::string(const std::string& trace)> answer;
  const char* log_line;
};

void PrintTo(const BadAnswerCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryBadAnswerTest : public DiscoveryTest, public testing::WithParamInterface<BadAnswerCase> {};

std::string LoginMeta(const std::string& trace) {
  qm::MetaData meta = qel_test::Meta(qm::LOGIN_RESPONSE, trace);
  return meta.SerializeAsString();
}

// header | meta | payload, with the header's lengths given explicitly.
std::string Answer(const std::string& trace, int32_t metaLength, int32_t payloadLength, const std::string& payload) {
  return qel_test::Header(0, metaLength, payloadLength) + LoginMeta(trace) + payload;
}

std::string BodyLengthThen(int32_t bodyLength, const std::string& body) {
  std::string p;
  qel_test::PutI32(p, bodyLength);
  return p + body;
}

qm::LoginResponse GoodResponse() {
  qm::LoginResponse r;
  r.set_issuccess(true);
  r.set_token("forged");
  return r;
}

const BadAnswerCase kBadAnswers[] = {
    {"PayloadLengthPastItsBound",
     [](const std::string& t) {
       const std::string payload = BodyLengthThen(0xFFFF - 3, std::string(0xFFFF - 3, 'x'));  // 65,536 bytes
       return Answer(t, static_cast<int32_t>(LoginMeta(t).size()), static_cast<int32_t>(payload.size()), payload);
     },
     "Read discovery login response header failed! Try to relogin"},
    {"NegativeMetaLength",
     [](const std::string& t) { return Answer(t, -1, 8, std::string(8, '\0')); },
     "Read discovery login response header failed! Try to relogin"},
    {"MetaLengthPastTheFrameLimit",
     [](const std::string& t) { return Answer(t, 0x10000, 8, std::string(8, '\0')); },
     "Read discovery login response header failed! Try to relogin"},
    {"NegativePayloadLength",
     [](const std::string& t) { return Answer(t, static_cast<int32_t>(LoginMeta(t).size()), -4, ""); },
     "Read discovery login response header failed! Try to relogin"},
    {"BodyLengthPastThePayload",
     [](const std::string& t) {
       const std::string payload = BodyLengthThen(900, GoodResponse().SerializeAsString());
       return Answer(t, static_cast<int32_t>(LoginMeta(t).size()), static_cast<int32_t>(payload.size()), payload);
     },
     "Read discovery login response body failed! Try to relogin"},
    {"NegativeBodyLength",
     [](const std::string& t) {
       const std::string payload = BodyLengthThen(-1, GoodResponse().SerializeAsString());
       return Answer(t, static_cast<int32_t>(LoginMeta(t).size()), static_cast<int32_t>(payload.size()), payload);
     },
     "Read discovery login response body failed! Try to relogin"},
    {"PayloadShorterThanItsBodyLength",
     [](const std::string& t) { return Answer(t, static_cast<int32_t>(LoginMeta(t).size()), 2, std::string("\x05\x00", 2)); },
     "Read discovery login response body failed! Try to relogin"},
    {"UndecodableBody",
     [](const std::string& t) {
       const std::string payload = BodyLengthThen(6, "\xff\xff\xff\xff\xff\xff");
       return Answer(t, static_cast<int32_t>(LoginMeta(t).size()), static_cast<int32_t>(payload.size()), payload);
     },
     "Decode discovery login response body failed! Try to relogin"},
};

TEST_P(DiscoveryBadAnswerTest, IsAFailedAttemptAndTheNextHostIsAsked) {
  m_log.ExpectError(GetParam().log_line);
  m_log.ExpectError("ParseFromArray failed!");
  ScriptedHost bad(GetParam().answer);
  auto good = StartSim(TwoSiteScenario());
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", "s3cret", false, qc::ServerHost("127.0.0.1", bad.Port(), false), {Host(*good)});
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_FALSE(bad.Finish().empty()) << "the scripted host must have answered";
  EXPECT_TRUE(m_log.Contains(GetParam().log_line)) << m_log.Errors();
  EXPECT_EQ(m_handle.Count("DiscoveryFailed"), 1);
  EXPECT_EQ(m_handle.Count("DiscoverySuccess"), 1);
  EXPECT_NE(m_client.GetToken(), "forged");
  EXPECT_EQ(m_client.GetCurrentUsedHost().GetServerPort(), good->DiscoveryPort());
}

INSTANTIATE_TEST_SUITE_P(DiscoveryAnswers, DiscoveryBadAnswerTest, testing::ValuesIn(kBadAnswers),
                         [](const testing::TestParamInfo<BadAnswerCase>& info) { return info.param.name; });

// A response for some 40 nodes (or a long token) passes 1,024 bytes; any
// payload within the frame bounds is read whole and logs in.
TEST_F(DiscoveryTest, LoginResponseOfManyNodesLogsIn) {
  sim::Scenario s;
  s.users = {{"alice", "s3cret"}};
  for (int site = 1; site <= 4; ++site) {
    for (int prio = 1; prio <= 10; ++prio) s.nodes.push_back({site, prio * 10, false, 0});
  }
  auto feed = StartSim(s);
  m_client.InitParams("alice", "s3cret", false, Host(*feed), {});
  ASSERT_EQ(m_client.TryLoginDiscovery(), 0) << m_log.Errors();
  size_t nodes = 0;
  for (const auto& site : m_client.GetDatafeedNodes()) nodes += site.second.size();
  EXPECT_EQ(nodes, 40u);
  EXPECT_EQ(m_client.GetDatafeedNodes().size(), 4u);
  EXPECT_TRUE(m_log.Contains("discovery login response body len: 1")) << "a body of four digits, over 1,024";
  EXPECT_EQ(m_log.ErrorCount(), 0) << m_log.Errors();
}

TEST_F(DiscoveryTest, LoginResponseWithALongTokenLogsIn) {
  const std::string token(3000, 't');
  ScriptedHost host([](const std::string& trace) {
    qm::LoginResponse r;
    r.set_issuccess(true);
    r.set_token(std::string(3000, 't'));
    qm::ServerInfo* info = r.add_servers();
    info->set_sitetype(1);
    info->set_ippriority(10);
    info->set_ip("127.0.0.1");
    info->set_port(9000);
    return qel_test::Frame(qel_test::Meta(qm::LOGIN_RESPONSE, trace), qel_test::ResponsePayload(r));
  });
  m_client.InitParams("alice", "s3cret", false, qc::ServerHost("127.0.0.1", host.Port(), false), {});
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0) << m_log.Errors();
  EXPECT_FALSE(host.Finish().empty());
  EXPECT_EQ(m_client.GetToken(), token);
  EXPECT_EQ(m_client.GetDatafeedNodes().size(), 1u);
}

// A discovery host whose port is outside 1..65535 is refused with an error
// line and never contacted: cut to 16 bits its port would reach another
// service (here a listener on the wrapped port, which must see nothing).
struct BadPortCase {
  const char* name;
  int offset_from_listener;  // port = listener port + offset when use_listener
  bool use_listener;
  int port;
};
void PrintTo(const BadPortCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryBadPortTest : public DiscoveryTest, public testing::WithParamInterface<BadPortCase> {};

TEST_P(DiscoveryBadPortTest, HostIsRefusedAndTheNextOneTried) {
  const BadPortCase& c = GetParam();
  m_log.ExpectError("refused: port outside 1..65535");
  ScriptedHost wrapped([](const std::string&) { return std::string(); });
  const int port = c.use_listener ? wrapped.Port() + c.offset_from_listener : c.port;
  auto good = StartSim(TwoSiteScenario());
  m_client.InitParams("alice", "s3cret", false, qc::ServerHost("127.0.0.1", port, false), {Host(*good)});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m_client.TryLoginDiscovery(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500))
      << "a host never contacted costs no pause";
  EXPECT_EQ(m_log.Count("Discovery host 127.0.0.1:" + std::to_string(port) + " refused: port outside 1..65535"), 1)
      << m_log.Errors();
  EXPECT_EQ(m_handle.Events(), (std::vector<std::string>{"DiscoveryFailed 127.0.0.1", "DiscoveryResponse 3",
                                                         "DiscoverySuccess 127.0.0.1 [1,3]"}));
  EXPECT_EQ(m_log.UnexpectedErrors(), "");
  EXPECT_EQ(wrapped.Stop(), "") << "nothing reached the listener on the wrapped port";
}

INSTANTIATE_TEST_SUITE_P(Ports, DiscoveryBadPortTest,
                         testing::Values(BadPortCase{"WrapsOntoAListener", 65536, true, 0},
                                         BadPortCase{"Negative", 0, false, -1}, BadPortCase{"Zero", 0, false, 0},
                                         BadPortCase{"JustAboveRange", 0, false, 65536}),
                         [](const testing::TestParamInfo<BadPortCase>& info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, OnlyHostsWithBadPortsEndThePassAsALocalFailure) {
  m_log.ExpectError("refused: port outside 1..65535");
  m_client.InitParams("alice", "s3cret", false, qc::ServerHost("127.0.0.1:-1"),
                      {qc::ServerHost("127.0.0.1:111531")});
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_END);
  EXPECT_EQ(m_log.Count("refused: port outside 1..65535"), 2);
  EXPECT_EQ(m_handle.Count("DiscoveryFailed"), 2);
  EXPECT_EQ(m_handle.Count("NoDiscoveryServices"), 1);
}

TEST(DiscoveryNodeMap, NodesWithPortsOutsideTheRangeAreRefused) {
  qel_test::RecordingLog log;
  log.ExpectError("refused: port outside 1..65535");
  qel_test::RecordingHandle handle;
  qc::DiscoveryClient client(&handle);
  google::protobuf::RepeatedPtrField<qm::ServerInfo> list;
  const int ports[] = {111531, -1, 0, 65536, 65535, 1};
  int prio = 0;
  for (int port : ports) {
    qm::ServerInfo* info = list.Add();
    info->set_sitetype(port > 0 && port <= 65535 ? 1 : 2);
    info->set_ippriority(++prio);
    info->set_ip("10.0.0.1");
    info->set_port(port);
  }
  client.UpdateDatafeedNodes(&list);
  ASSERT_EQ(client.GetDatafeedNodes().size(), 1u) << "a site type left without nodes is not in the map";
  std::vector<int> kept;
  for (const auto& node : client.GetDatafeedNodes().at(1)) kept.push_back(node.second.GetServerPort());
  EXPECT_EQ(kept, (std::vector<int>{1, 65535}));
  EXPECT_EQ(log.Count("refused: port outside 1..65535"), 4);
  EXPECT_TRUE(log.Contains("Datafeed node 10.0.0.1:111531 of site type 2 refused: port outside 1..65535"));
  EXPECT_EQ(log.UnexpectedErrors(), "");
}

// A password too long for its encoding fails the login with an error line:
// the request never goes out with an empty password, and since no host could
// do better the pass ends as a local failure.
TEST_F(DiscoveryTest, PasswordTooLongToEncodeEndsThePassLocally) {
  m_log.ExpectError("Password too long");
  m_log.ExpectError("Prepare login message failed");
  auto feed = StartSim(TwoSiteScenario());
  m_client.SetHostRetryPauseForTest(0);
  m_client.InitParams("alice", std::string(600, 'p'), false, Host(*feed), {Host(*feed)});
  EXPECT_EQ(m_client.TryLoginDiscovery(), qc::LOGIN_DISCOVERY_FAILED_END);
  EXPECT_EQ(m_log.Count("Password too long to encode for the login request: 600 bytes"), 1) << m_log.Errors();
  // The client tried one host only; the simulator registers that connection
  // on its own thread, possibly after the pass has returned.
  EXPECT_EQ(m_log.Count("Try to connect discovery server"), 1) << "the backup is not tried";
  EXPECT_TRUE(qel_test::Eventually([&] { return DiscoveryConnections(*feed) == 1; }, milliseconds(20000)));
  EXPECT_EQ(feed->Stats().discovery_logins_refused, 0) << "no request went out";
  EXPECT_EQ(m_log.UnexpectedErrors(), "");
}

// A discovery host that sends its answer, or over TLS its handshake, one byte
// at a time. Each byte resets the socket's read timeout, so only the
// attempt's own deadline or an interruption ends the attempt; both must end
// it long before the trickle would finish. With the fault gone, a test that
// fails stops the simulator, which ends a stuck attempt by closing its socket.
struct TrickleCase {
  const char* name;
  bool tls;
};
void PrintTo(const TrickleCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryTrickleTest : public DiscoveryTest, public testing::WithParamInterface<TrickleCase> {
 protected:
  // Starts a pass against a host trickling one byte per interval; returns
  // once the host holds the connection and is trickling.
  void StartTrickledPass(int interval_ms) {
    sim::Scenario s = TwoSiteScenario();
    s.faults.trickle_discovery_ms = interval_ms;
    if (GetParam().tls) {
      m_pki = std::make_unique<qel_test::TestPki>();
      m_ctx = qc::NewClientSslContext(m_pki->CaFile());
      ASSERT_TRUE(m_ctx);
      s.discovery_tls = true;
      s.tls_cert_file = m_pki->ServerCert();
      s.tls_key_file = m_pki->ServerKey();
      m_client.RegisterSslCtx(m_ctx.get());
    }
    m_feed = StartSim(s);
    m_client.SetHostRetryPauseForTest(0);
    m_client.InitParams("alice", "s3cret", GetParam().tls, Host(*m_feed), {});
    m_pass = std::async(std::launch::async, [this] { return m_client.TryLoginDiscovery(); });
    // Plain: the login request arrived and its answer is on its way. TLS: the
    // handshake (the server's part of it trickled) is under way.
    ASSERT_TRUE(qel_test::Eventually(
        [&] {
          for (const auto& c : m_feed->Stats().connections) {
            if (c.discovery && (GetParam().tls || c.frames_received > 0)) return true;
          }
          return false;
        },
        milliseconds(20000)));
  }
  // The pass's result once it ends within bound; otherwise a failure, and the
  // simulator is stopped so that the stuck attempt ends.
  int PassResult(std::chrono::seconds bound) {
    if (m_pass.wait_for(bound) != std::future_status::ready) {
      ADD_FAILURE() << "the discovery attempt was still running after " << bound.count() << " s";
      m_log.AllowAnyErrors();
      m_feed->Stop();
    }
    return m_pass.get();
  }
  void TearDown() override {
    if (m_pass.valid()) {  // a setup step failed while the pass ran: end it
      m_client.Interrupt();
      if (m_feed) m_feed->Stop();
      m_pass.wait();
    }
    qc::BaseConfig::GetInstance().SetSendTimeout(30);
  }

  std::unique_ptr<qel_test::TestPki> m_pki;
  qc::SslCtxPtr m_ctx;
  std::unique_ptr<sim::FeedSimulator> m_feed;
  std::future<int> m_pass;
};

TEST_P(DiscoveryTrickleTest, InterruptEndsTheAttemptAtOnce) {
  // Read timeout 20 s and send timeout 30 s: the deadline is far off.
  ASSERT_NO_FATAL_FAILURE(StartTrickledPass(1000));
  const auto start = std::chrono::steady_clock::now();
  m_client.Interrupt();
  EXPECT_EQ(PassResult(std::chrono::seconds(10)), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(m_client.IsConnected());
  EXPECT_TRUE(m_log.Contains("Discovery login to 127.0.0.1:" + std::to_string(m_feed->DiscoveryPort()) +
                             " interrupted"));
  EXPECT_EQ(m_log.UnexpectedErrors(), "");
}

TEST_P(DiscoveryTrickleTest, AttemptEndsByItsDeadline) {
  const std::string deadline_line = "did not complete the login in time";
  m_log.ExpectError(deadline_line);
  // Deadline 1 s + 2 s; a byte every 200 ms keeps the read timeout from firing, even with a slow sender.
  qc::BaseConfig::GetInstance().SetReadTimeout(2);
  qc::BaseConfig::GetInstance().SetSendTimeout(1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_NO_FATAL_FAILURE(StartTrickledPass(200));
  EXPECT_EQ(PassResult(std::chrono::seconds(30)), qc::LOGIN_DISCOVERY_FAILED_NEED_RECONNECT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900)) << "not before the deadline";
  EXPECT_EQ(m_log.Count(deadline_line), 1) << m_log.Errors();
  EXPECT_FALSE(m_log.Contains("Discovery socket READ IDLE!")) << "bytes kept coming: the read timeout never fired";
  EXPECT_EQ(m_handle.Events(), (std::vector<std::string>{"DiscoveryFailed 127.0.0.1", "NoDiscoveryServices"}));
  EXPECT_EQ(m_log.UnexpectedErrors(), "");
}

TEST_P(DiscoveryTrickleTest, SlowHostWithinTheDeadlineLogsIn) {
  // A millisecond a byte: the whole exchange takes a few seconds at most,
  // well inside the deadline, and arrives intact.
  ASSERT_NO_FATAL_FAILURE(StartTrickledPass(1));
  EXPECT_EQ(PassResult(std::chrono::seconds(40)), 0);
  EXPECT_EQ(m_client.GetDatafeedNodes().size(), 2u);
  EXPECT_EQ(m_log.UnexpectedErrors(), "");
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, DiscoveryTrickleTest,
                         testing::Values(TrickleCase{"PlainAnswer", false}, TrickleCase{"TlsHandshake", true}),
                         [](const testing::TestParamInfo<TrickleCase>& info) { return std::string(info.param.name); });

