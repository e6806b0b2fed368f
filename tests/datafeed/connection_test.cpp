// One site type's datafeed connection against the feed simulator on
// 127.0.0.1: token login, node rotation, heartbeats, TLS selection,
// subscription, and market data reaching the raw-data queue intact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/common_def.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "datafeed_client/connect_thread.h"
#include "feed_sim.h"
#include "feed_sim/wire_client.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/test_pki.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using Conn = qc::SocketConnectThread;
using qel_test::Eventually;
using std::chrono::milliseconds;

namespace {

constexpr int kSite = 2;
// Bound of waits that end as soon as their condition holds: generous, so a
// loaded machine under a sanitizer never turns a slow pass into a failure.
constexpr milliseconds kWait(30000);
constexpr int kDataType = 14;

// Stands in for the decompress thread: takes frames off the raw-data queue,
// checks every record's per-channel sequence, and hands bodies back.
class QueueConsumer {
 public:
  QueueConsumer(std::shared_ptr<qc::RawDataQueue> queue, std::shared_ptr<qc::RawDataQueueBack> back)
      : m_queue(std::move(queue)), m_back(std::move(back)), m_thread([this] { Loop(); }) {}
  ~QueueConsumer() {
    m_stop = true;
    m_thread.join();
  }
  // A paused consumer takes nothing off the queue: a decoder that has fallen behind.
  void SetPaused(bool paused) { m_paused = paused; }
  int64_t records() const { return m_records.load(); }
  int64_t frames() const { return m_frames.load(); }
  int64_t faults() const { return m_faults.load(); }
  std::map<int64_t, int64_t> last_sequence() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastSeq;
  }

 private:
  void Loop() {
    while (!m_stop) {
      qc::RawData* item = m_paused ? nullptr : m_queue->front();
      if (item == nullptr) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      Check(*item);
      char** slot = m_back->alloc();
      if (slot != nullptr) {
        *slot = item->m_body;
        m_back->push();
      } else {
        delete[] item->m_body;
      }
      item->m_body = nullptr;
      m_queue->pop();
    }
  }
  void Check(const qc::RawData& item) {
    wire::RawFrame frame;
    frame.flags = item.m_flags;
    frame.payload.assign(item.m_body, static_cast<size_t>(item.m_payloadLength));
    std::vector<qm::MarketData> records;
    std::string why;
    if (!wire::DecodeRecords(frame, &records, &why)) return Fault();
    ++m_frames;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const qm::MarketData& record : records) {
      // Each connection numbers a channel's records from 1: a 1 starts over.
      int64_t& last = m_lastSeq[record.qelmessagechannel()];
      const int64_t seq = sim::RecordSequence(record);
      if (seq != last + 1 && seq != 1) Fault();
      last = seq;
      ++m_records;
    }
  }
  void Fault() { ++m_faults; }

  std::shared_ptr<qc::RawDataQueue> m_queue;
  std::shared_ptr<qc::RawDataQueueBack> m_back;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_paused{false};
  std::atomic<int64_t> m_records{0};
  std::atomic<int64_t> m_frames{0};
  std::atomic<int64_t> m_faults{0};
  std::mutex m_mutex;
  std::map<int64_t, int64_t> m_lastSeq;
  std::thread m_thread;  // last: starts once everything above exists
};

class ConnectionTest : public testing::Test {
 protected:
  ConnectionTest()
      : m_queue(std::make_shared<qc::RawDataQueue>()), m_back(std::make_shared<qc::RawDataQueueBack>()) {
    qc::BaseConfig::GetInstance().CloseFileLog();
    qc::BaseConfig::GetInstance().SetReadTimeout(30);
    qc::BaseConfig::GetInstance().SetUseSSL(false);
    qc::BaseConfig::GetInstance().SetMaxInflightBytes(256u << 20);
  }
  ~ConnectionTest() override {
    EXPECT_EQ(m_log.UnexpectedErrors(), "") << "error lines the test did not declare";
    m_consumer.reset();
    if (m_conn) m_conn->Stop();
    m_conn.reset();
    qc::DrainRawDataQueues(*m_queue, *m_back);
  }

  void StartSim(sim::Scenario s) {
    m_sim = std::make_unique<sim::FeedSimulator>(std::move(s));
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
    m_token = m_sim->IssueToken("alice");
  }
  // Node list as the discovery service would announce it, from the scenario.
  qc::ServerHostListType NodesFromSim(bool tls_flag_override = false, bool flag = false) {
    qc::ServerHostListType nodes;
    const auto& spec = m_sim->scenario().nodes;
    for (size_t i = 0; i < spec.size(); ++i) {
      if (spec[i].site_type != kSite) continue;
      const bool tls = tls_flag_override ? flag : spec[i].tls;
      nodes.emplace(spec[i].priority, qc::ServerHost("127.0.0.1", m_sim->NodePortByIndex(static_cast<int>(i)), tls));
    }
    return nodes;
  }
  void StartConnection(qc::ServerHostListType nodes, SSL_CTX* ctx = nullptr) {
    m_nodes = std::move(nodes);
    m_conn = std::make_shared<Conn>(&m_handle, m_nodes, m_queue, m_back, m_user, m_token, kSite, ctx);
    m_conn->Start();
    m_conn->TryConnect();
    EXPECT_NE(m_conn->m_state.load(), Conn::NOT_CONNECTED) << "the loop is ready when Start returns";
  }
  bool WaitState(Conn::ConnectState state, milliseconds timeout = milliseconds(10000)) {
    return Eventually([&] { return m_conn->m_state.load() == state; }, timeout);
  }
  // The answer may already be in when SendSubscribeMsg returns: the state is
  // then SUBSCRIBING or already the expected answer, never anything else.
  // stream_may_end: the node ends the stream right after its answer, so the
  // close may already have cleared the subscription when the send returns.
  void Subscribe(Conn::SubscribeState answer = Conn::SUBSCRIBE_SUCCESS, bool stream_may_end = false) {
    qm::SubscribeRequest req;
    req.set_subscribeactiontype(qm::COVERAGE);
    req.mutable_subscribebydatatype()->add_qeldatatypes(kDataType);
    ASSERT_EQ(m_conn->SendSubscribeMsg(&req), 0);
    const auto state = m_conn->m_subscribeState.load();
    EXPECT_TRUE(state == Conn::SUBSCRIBING || state == answer || (stream_may_end && state == Conn::NOT_SUBSCRIBE))
        << state;
  }
  static sim::StreamSpec Stream(int64_t max_records, bool lz4) {
    sim::StreamSpec st;
    st.site_type = kSite;
    st.data_type = kDataType;
    st.record_kind = sim::kQELStock;
    st.channels = {11, 12, 13};
    st.security_ids = {"600000.SH", "600001.SH", "000001.SZ", "000002.SZ"};
    st.batch = 50;
    st.lz4 = lz4;
    st.max_records = max_records;
    return st;
  }
  static sim::Scenario Nodes(int count, bool tls = false) {
    sim::Scenario s;
    s.users = {{"alice", "pw"}};
    for (int i = 0; i < count; ++i) s.nodes.push_back({kSite, 30 - 10 * i, tls, 0});
    return s;
  }

  qel_test::RecordingLog m_log;
  qel_test::RecordingHandle m_handle;
  std::unique_ptr<sim::FeedSimulator> m_sim;
  std::string m_user = "alice";
  std::string m_token;
  qc::ServerHostListType m_nodes;
  std::shared_ptr<qc::RawDataQueue> m_queue;
  std::shared_ptr<qc::RawDataQueueBack> m_back;
  std::shared_ptr<Conn> m_conn;  // owned as the datafeed client owns it
  std::unique_ptr<QueueConsumer> m_consumer;
};

}  // namespace

TEST_F(ConnectionTest, TokenLoginOnTheHighestPriorityNode) {
  StartSim(Nodes(2));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_EQ(m_conn->GetServerIndex(), 0);
  const std::string host = "127.0.0.1:" + std::to_string(m_sim->NodePort(kSite, 0));
  EXPECT_EQ(m_conn->getCurrentHostStr(), host);
  ASSERT_TRUE(m_handle.WaitFor("DataServiceResponse ok", 1, kWait));
  EXPECT_EQ(m_handle.Events()[0], "NodeSuccess 2 " + host);
  m_conn->TryConnect();
  EXPECT_TRUE(m_log.Contains("Is already connected"));
}

TEST_F(ConnectionTest, ThreeDeadNodesEndFailedAtIndexThree) {
  m_log.ExpectError("Connected to datafeed service error, errno: 111");
  StartSim(Nodes(3));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(m_sim->StopNode(m_sim->NodeIndex(kSite, i)));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED));
  EXPECT_EQ(m_conn->GetServerIndex(), 3);
  EXPECT_EQ(m_conn->getCurrentHostStr(), "");
  EXPECT_EQ(m_handle.Count("Disconnected 2 127.0.0.1:"), 3) << "one socket error per refused node";
  EXPECT_TRUE(m_log.Contains("Try to connect to all datafeed node for site type: 2, but still failed"));
}

TEST_F(ConnectionTest, EmptyNodeListFailsAtOnce) {
  StartConnection({});
  EXPECT_EQ(m_conn->m_state.load(), Conn::CONNECT_OR_LOGIN_FAILED);
  EXPECT_EQ(m_conn->getCurrentHostStr(), "");
}

TEST_F(ConnectionTest, RotationMovesDownTheListAndNeverWraps) {
  m_log.ExpectError("Connected to datafeed service closed by peer");
  StartSim(Nodes(3));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(m_conn->GetServerIndex(), i);
    ASSERT_TRUE(m_sim->StopNode(m_sim->NodeIndex(kSite, i)));
    ASSERT_TRUE(m_sim->RestartNode(m_sim->NodeIndex(kSite, i))) << "the node is back, yet never tried again";
    if (i < 2) {
      ASSERT_TRUE(Eventually([&] { return m_conn->GetServerIndex() == i + 1 && m_conn->m_state == Conn::LOGIN_SUCCESS; },
                             milliseconds(10000)));
    }
  }
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED));
  EXPECT_EQ(m_conn->GetServerIndex(), 3);
  EXPECT_EQ(m_conn->Reset(), 0);
  EXPECT_EQ(m_conn->GetServerIndex(), 0);
  EXPECT_EQ(m_conn->m_state.load(), Conn::NOT_CONNECTED) << "visible as soon as Reset returns";
  m_conn->TryConnect();
  EXPECT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
}

// A node that answers the login one byte at a time, never idle for a whole
// read timeout, cannot hold the attempt: it ends at the login deadline and
// the next node is tried, over plain TCP and over TLS alike.
class ConnectionLoginDeadlineTest : public ConnectionTest, public testing::WithParamInterface<bool> {};

TEST_P(ConnectionLoginDeadlineTest, TricklingLoginAnswerEndsAtTheDeadline) {
  m_log.ExpectError("not logged in within 4 seconds");
  m_log.ExpectError("Try to connect to all datafeed node");
  const bool tls = GetParam();
  qel_test::TestPki pki;
  auto ctx = pki.ClientContext();
  qc::BaseConfig::GetInstance().SetUseSSL(tls);
  // Room for connect, TLS handshake and the login request on a loaded machine.
  qc::BaseConfig::GetInstance().SetReadTimeout(4);
  sim::Scenario s = Nodes(2, tls);
  s.tls_cert_file = pki.ServerCert();
  s.tls_key_file = pki.ServerKey();
  s.faults.split_write_bytes = 1;
  s.faults.split_delay_us = 500000;  // the login answer would take half a minute
  StartSim(s);
  StartConnection(NodesFromSim(), ctx.get());
  // Two attempts of one deadline each; nothing like the trickle's 30 s.
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED, milliseconds(25000)));
  EXPECT_EQ(m_conn->GetServerIndex(), 2) << "both nodes were tried";
  EXPECT_EQ(m_log.Count("not logged in within 4 seconds"), 2);
  EXPECT_EQ(m_sim->Stats().datafeed_logins_ok, 2) << "both nodes took the login; their answers were too slow";
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ConnectionLoginDeadlineTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

TEST_F(ConnectionTest, RefusedTokenMovesToTheNextNode) {
  m_log.ExpectError("Login datafeed node failed, site type: 2");
  StartSim(Nodes(2));
  m_sim->RevokeTokens();
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED));
  EXPECT_EQ(m_handle.Count("NodeFailed 2"), 2);
  EXPECT_EQ(m_handle.Count("DataServiceResponse"), 0);
}

TEST_F(ConnectionTest, HeartbeatSilenceResetsOnTheSeventhFiring) {
  m_log.ExpectError("Not receive heartbeat from datafeed service");
  m_log.ExpectError("Send heartbeat msg failed");
  qc::BaseConfig::GetInstance().SetHeartBeatInterval(1);
  sim::Scenario s = Nodes(1);
  s.faults.no_heartbeat_response = true;
  StartSim(s);
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  ASSERT_TRUE(WaitState(Conn::NOT_CONNECTED, milliseconds(20000)));
  EXPECT_EQ(m_log.Count("Not receive heartbeat from datafeed service"), 1);
  const auto stats = m_sim->Stats();
  int64_t received = 0;
  for (const auto& c : stats.connections) received += c.discovery ? 0 : c.heartbeats_received;
  EXPECT_EQ(received, 6) << "six heartbeats go out unanswered; the seventh firing resets";
  EXPECT_TRUE(m_log.Contains("Send heartbeat msg failed"));
}

TEST_F(ConnectionTest, AnsweredHeartbeatsKeepTheConnection) {
  qc::BaseConfig::GetInstance().SetHeartBeatInterval(1);
  StartSim(Nodes(1));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  ASSERT_TRUE(m_sim->WaitFor([](const sim::SimulatorStats& st) { return st.heartbeats_answered >= 3; },
                             milliseconds(10000)));
  EXPECT_EQ(m_conn->m_state.load(), Conn::LOGIN_SUCCESS);
  EXPECT_LE(m_conn->GetHeartbeatCount(), 1u);
}

struct TlsCase {
  const char* name;
  bool config_tls;
  bool node_flag;
  bool listener_tls;
  bool logs_in;  // true exactly when the client's choice matches the listener
  // The listener shows a certificate from the test CA issued for 127.0.0.2:
  // the client, connected to 127.0.0.1, refuses it with this error line.
  const char* refused_certificate_error = nullptr;
};
void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

class ConnectionTlsTest : public ConnectionTest, public testing::WithParamInterface<TlsCase> {};

TEST_P(ConnectionTlsTest, TlsOnlyWhenConfigAndNodeBothAsk) {
  const TlsCase& c = GetParam();
  // A client and a listener that disagree about TLS end the attempt with a
  // socket error (the read timeout, or a reset, depending on who waits).
  if (!c.logs_in) m_log.ExpectError("Connected to datafeed service error");
  if (!c.logs_in) m_log.ExpectError("Datafeed Read IDLE");
  qel_test::TestPki pki;
  auto ctx = pki.ClientContext();
  qc::BaseConfig::GetInstance().SetUseSSL(c.config_tls);
  // A mismatch stalls both ends until the read timeout: keep that one short.
  qc::BaseConfig::GetInstance().SetReadTimeout(c.logs_in ? 30 : 3);
  const bool other_ip = c.refused_certificate_error != nullptr;
  if (other_ip) m_log.ExpectError(c.refused_certificate_error);
  if (!c.logs_in) m_log.AllowAnyErrors();  // each mismatch fails in its own way; the state is the point
  sim::Scenario s = Nodes(1, c.listener_tls);
  s.tls_cert_file = other_ip ? pki.OtherIpCert() : pki.ServerCert();
  s.tls_key_file = other_ip ? pki.OtherIpKey() : pki.ServerKey();
  StartSim(s);
  StartConnection(NodesFromSim(true, c.node_flag), ctx.get());
  if (c.logs_in) {
    EXPECT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  } else {
    EXPECT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED, milliseconds(15000)));
    EXPECT_EQ(m_sim->Stats().datafeed_logins_ok, 0);
  }
  if (other_ip) {
    EXPECT_EQ(m_log.Count(c.refused_certificate_error), 1) << m_log.Errors();
    EXPECT_EQ(m_sim->Stats().datafeed_logins_refused, 0) << "the token never left the client";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Switches, ConnectionTlsTest,
    testing::Values(TlsCase{"BothOnTlsListener", true, true, true, true},
                    TlsCase{"ConfigOffPlainListener", false, true, false, true},
                    TlsCase{"NodeFlagOffPlainListener", true, false, false, true},
                    TlsCase{"BothOnPlainListener", true, true, false, false},
                    TlsCase{"ConfigOffTlsListener", false, true, true, false},
                    TlsCase{"BothOnCertificateForAnotherAddress", true, true, true, false,
                            "TLS certificate of server 127.0.0.1 refused: IP address mismatch"}),
    [](const testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

struct DataCase {
  const char* name;
  bool lz4;
  int split_write_bytes;  // 1: the simulator writes every frame byte by byte
  int64_t records;
};
void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }

class ConnectionDataTest : public ConnectionTest, public testing::WithParamInterface<DataCase> {};

TEST_P(ConnectionDataTest, SubscribedRecordsReachTheQueueInOrderAndComplete) {
  const DataCase& c = GetParam();
  sim::Scenario s = Nodes(1);
  s.streams.push_back(Stream(c.records, c.lz4));
  s.faults.split_write_bytes = c.split_write_bytes;
  StartSim(s);
  m_consumer = std::make_unique<QueueConsumer>(m_queue, m_back);
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_EQ(m_sim->Stats().records_sent, 0) << "nothing is pushed before a subscription";
  Subscribe();
  ASSERT_TRUE(Eventually([&] { return m_conn->m_subscribeState.load() == Conn::SUBSCRIBE_SUCCESS; }, kWait));
  ASSERT_TRUE(m_sim->WaitForRecords(c.records, milliseconds(60000)));
  ASSERT_TRUE(Eventually([&] { return m_consumer->records() >= c.records; }, milliseconds(60000)));
  EXPECT_EQ(m_consumer->records(), c.records);
  EXPECT_EQ(m_consumer->faults(), 0) << "a record out of order, missing, or undecodable";
  const auto stats = m_sim->Stats();
  int64_t frames = 0;
  for (const auto& conn : stats.connections) frames += conn.md_frames_sent;
  EXPECT_EQ(m_consumer->frames(), frames);
  auto seen = m_consumer->last_sequence();
  for (const auto& conn : stats.connections) {
    for (const auto& ch : conn.channels) EXPECT_EQ(seen[ch.first], ch.second.last_record_seq) << ch.first;
  }
  EXPECT_EQ(m_log.ErrorCount(), 0) << m_log.Errors();
}

INSTANTIATE_TEST_SUITE_P(Streams, ConnectionDataTest,
                         testing::Values(DataCase{"Plain", false, 0, 200000}, DataCase{"Lz4", true, 0, 200000},
                                         DataCase{"ByteByByte", true, 1, 3000}),
                         [](const testing::TestParamInfo<DataCase>& info) { return std::string(info.param.name); });

TEST_F(ConnectionTest, RefusedSubscriptionLeavesTheConnectionToBeReconnected) {
  m_log.ExpectError("Receive subscribe response, subscribe failed");
  m_log.ExpectError("Not connect, cannt send subscribe msg to this datafeed node");
  sim::Scenario s = Nodes(1);
  s.faults.refuse_subscribe = true;
  StartSim(s);
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  Subscribe(Conn::SUBSCRIBE_FAILED);
  ASSERT_TRUE(Eventually([&] { return m_conn->m_subscribeState.load() == Conn::SUBSCRIBE_FAILED; }, kWait));
  EXPECT_EQ(m_conn->m_state.load(), Conn::CONNECT_OR_LOGIN_FAILED) << "the socket is closed: not logged in";
  qm::SubscribeRequest req;
  EXPECT_EQ(m_conn->SendSubscribeMsg(&req), qc::INVALID_DATAFEED_SOCKET);
  // The owner's check sees a failed connection and connects it again.
  m_conn->TryConnect();
  EXPECT_FALSE(m_log.Contains("Is already connected"));
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_EQ(m_sim->Stats().datafeed_logins_ok, 2);
}

TEST_F(ConnectionTest, StreamErrorWhileSubscribingEndsTheSubscriptionFailed) {
  m_log.ExpectError("Read datafeed response meta data failed!");
  StartSim(Nodes(1));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  sim::Faults f;
  f.wrong_trace_id_datafeed = true;  // the subscribe answer carries a foreign trace id
  m_sim->SetFaults(f);
  Subscribe(Conn::SUBSCRIBE_FAILED);
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED));
  EXPECT_EQ(m_conn->m_subscribeState.load(), Conn::SUBSCRIBE_FAILED) << "no subscription is left pending";
}

TEST_F(ConnectionTest, PeerCloseWhileSubscribingEndsTheSubscriptionFailed) {
  // Closed with unsent bytes queued, the node's socket may end in a reset.
  m_log.ExpectError("Connected to datafeed service closed by peer");
  m_log.ExpectError("Connected to datafeed service error");
  StartSim(Nodes(1));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  sim::Faults slow;
  slow.split_write_bytes = 1;  // the answer trickles out a byte every 200 ms
  slow.split_delay_us = 200000;
  m_sim->SetFaults(slow);
  Subscribe(Conn::SUBSCRIBING);
  ASSERT_EQ(m_conn->m_subscribeState.load(), Conn::SUBSCRIBING);
  ASSERT_EQ(m_sim->CloseDatafeedConnections(kSite), 1);
  ASSERT_TRUE(Eventually([&] { return m_conn->m_subscribeState.load() != Conn::SUBSCRIBING; }, kWait));
  EXPECT_EQ(m_conn->m_subscribeState.load(), Conn::SUBSCRIBE_FAILED);
}

TEST_F(ConnectionTest, UpdateNodeListMovesToTheNewNodes) {
  m_log.ExpectError("Connected to datafeed service error");
  sim::Scenario s = Nodes(2);
  StartSim(s);
  const qc::ServerHostListType live = NodesFromSim();
  ASSERT_TRUE(m_sim->StopNode(m_sim->NodeIndex(kSite, 0)));
  qc::ServerHostListType dead;
  dead.emplace(1, live.begin()->second);  // the stopped node only
  StartConnection(dead);
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED));
  qc::ServerHostListType fresh;
  fresh.emplace(7, live.rbegin()->second);  // the node that is up
  m_conn->UpdateNodeList(fresh);
  EXPECT_EQ(m_conn->GetServerIndex(), 0);
  m_conn->Reset();
  m_conn->TryConnect();
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_EQ(m_conn->getCurrentHostStr(), live.rbegin()->second.HostText());
}

TEST_F(ConnectionTest, FailedLocalConnectLeavesNoSocket) {
  m_log.ExpectError("Call inet_pton for 256.1.1.1:");
  m_log.ExpectError("Not connect, cannt send subscribe msg to this datafeed node");
  m_nodes.emplace(1, qc::ServerHost("256.1.1.1", 9000, false));
  m_conn = std::make_shared<Conn>(&m_handle, m_nodes, m_queue, m_back, m_user, m_token, kSite, nullptr);
  m_conn->Start();
  m_conn->TryConnect();
  EXPECT_EQ(m_conn->m_state.load(), Conn::NOT_CONNECTED);
  EXPECT_TRUE(m_log.Contains("Call inet_pton for 256.1.1.1:9000"));
  qm::SubscribeRequest req;
  EXPECT_EQ(m_conn->SendSubscribeMsg(&req), qc::INVALID_DATAFEED_SOCKET) << "the half-made socket was freed";
  EXPECT_EQ(m_conn->GetServerIndex(), 0);
}

TEST_F(ConnectionTest, NodePortOutOfRangeIsRefusedNotTruncated) {
  m_log.ExpectError("port out of range");
  sim::Scenario s = Nodes(2);
  StartSim(s);
  qc::ServerHostListType nodes;
  const int good = m_sim->NodePort(kSite, 1);
  // Cut to 16 bits this would reach the first node, which is up.
  nodes.emplace(30, qc::ServerHost("127.0.0.1", m_sim->NodePort(kSite, 0) + 65536, false));
  nodes.emplace(20, qc::ServerHost("127.0.0.1", good, false));
  StartConnection(nodes);
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_EQ(m_conn->getCurrentHostStr(), "127.0.0.1:" + std::to_string(good));
  EXPECT_TRUE(m_log.Contains("port out of range"));
}

TEST_F(ConnectionTest, UnbuildableSubscribeWritesNothing) {
  m_log.ExpectError("Prepare subscribe message failed!");
  StartSim(Nodes(1));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_LT(m_conn->SendSubscribeMsg(nullptr), 0);
  EXPECT_EQ(m_conn->m_subscribeState.load(), Conn::SUBSCRIBE_FAILED);
  // A valid subscribe on the same socket comes after anything the failed call
  // could have written: once it is answered, the node must have seen only it.
  Subscribe();
  ASSERT_TRUE(Eventually([&] { return m_conn->m_subscribeState.load() == Conn::SUBSCRIBE_SUCCESS; }, kWait));
  EXPECT_EQ(m_sim->Stats().subscribe_requests, 1);
  EXPECT_EQ(m_conn->m_state.load(), Conn::LOGIN_SUCCESS);
}

TEST_F(ConnectionTest, MalformedFrameFromTheNodeIsAFatalStreamError) {
  m_log.ExpectError("msg parse fail,Message length is abnormal");
  sim::Scenario s = Nodes(1);
  s.streams.push_back(Stream(0, false));
  s.faults.malformed_after_frames = 20;
  s.faults.malformed_kind = sim::Malformed::kPayloadTooLong;
  StartSim(s);
  m_consumer = std::make_unique<QueueConsumer>(m_queue, m_back);
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  Subscribe(Conn::SUBSCRIBE_SUCCESS, /*stream_may_end=*/true);
  ASSERT_TRUE(WaitState(Conn::CONNECT_OR_LOGIN_FAILED));
  EXPECT_TRUE(m_log.Contains("msg parse fail,Message length is abnormal"));
  EXPECT_EQ(m_handle.Count("NodeFailed 2"), 1);
  EXPECT_TRUE(Eventually([&] { return m_consumer->frames() == 20; }, kWait));
  EXPECT_EQ(m_consumer->faults(), 0);
}

TEST_F(ConnectionTest, ResetAndCloseFromAnotherThreadWhileDataFlows) {
  sim::Scenario s = Nodes(2);
  s.streams.push_back(Stream(0, true));
  StartSim(s);
  m_consumer = std::make_unique<QueueConsumer>(m_queue, m_back);
  StartConnection(NodesFromSim());
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
    Subscribe();
    ASSERT_TRUE(Eventually([&] { return m_consumer->records() > 0; }, kWait));
    m_conn->CloseSocket();
    m_conn->Reset();
    EXPECT_EQ(m_conn->m_state.load(), Conn::NOT_CONNECTED);
    EXPECT_EQ(m_conn->m_subscribeState.load(), Conn::NOT_SUBSCRIBE);
    m_conn->TryConnect();
  }
  EXPECT_EQ(m_consumer->faults(), 0) << "each connection's records start over at 1 and stay in order";
  m_conn->Stop();
  m_conn->Stop();  // idempotent
}

namespace {

// Runs an action of the application's from inside the connection's login
// callback, on the connection's own loop thread.
class ActingHandle : public qel_test::RecordingHandle {
 public:
  std::function<void()> on_login;
  std::atomic<bool> acted{false};
  void OnLoginDatafeedNodeSuccess(int site, const std::string& host) override {
    RecordingHandle::OnLoginDatafeedNodeSuccess(site, host);
    if (on_login && !acted.exchange(true)) on_login();
  }
};

class ConnectionCallbackTest : public ConnectionTest {
 protected:
  std::shared_ptr<Conn> MakeConnection() {
    m_nodes = NodesFromSim();
    return std::make_shared<Conn>(&m_acting, m_nodes, m_queue, m_back, m_user, m_token, kSite, nullptr);
  }
  ActingHandle m_acting;
};

}  // namespace

TEST_F(ConnectionCallbackTest, StopFromItsOwnCallbackIsRefusedThenStopsFromOutside) {
  m_log.ExpectError("called from its own loop thread");
  StartSim(Nodes(1));
  m_conn = MakeConnection();
  m_acting.on_login = [this] { m_conn->Stop(); };
  m_conn->Start();
  m_conn->TryConnect();
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  ASSERT_TRUE(Eventually([&] { return m_log.Contains("called from its own loop thread"); }, kWait));
  // The loop still serves calls after the refused stop.
  m_conn->TryConnect();
  EXPECT_TRUE(m_log.Contains("Is already connected"));
  // Stopped and released from another thread afterwards: a normal, joined stop.
  m_conn->Stop();
  m_conn.reset();
  EXPECT_TRUE(m_sim->WaitFor([](const sim::SimulatorStats& st) { return st.open_datafeed_connections == 0; }, kWait));
}

TEST_F(ConnectionCallbackTest, ReleaseFromItsOwnCallbackIsDetectedAndEndsTheConnection) {
  m_log.ExpectError("released from its own loop thread");
  StartSim(Nodes(1));
  std::shared_ptr<Conn> conn = MakeConnection();
  std::weak_ptr<Conn> watch = conn;
  std::mutex owner_mutex;  // guards owner: the callback drops the application's only reference
  std::shared_ptr<Conn> owner = conn;
  std::atomic<bool> test_released{false};
  m_acting.on_login = [&] {
    // The test's own reference goes first, however late the test thread
    // runs, so that the callback drops the last one.
    EXPECT_TRUE(Eventually([&] { return test_released.load(); }, kWait));
    std::lock_guard<std::mutex> lock(owner_mutex);
    owner.reset();
  };
  conn->Start();
  conn->TryConnect();
  conn.reset();
  test_released = true;
  ASSERT_TRUE(Eventually([&] { return m_acting.acted.load(); }, kWait));
  ASSERT_TRUE(Eventually([&] { return watch.expired(); }, kWait));
  EXPECT_TRUE(Eventually([&] { return m_log.Contains("released from its own loop thread"); }, kWait));
  EXPECT_TRUE(m_sim->WaitFor([](const sim::SimulatorStats& st) { return st.open_datafeed_connections == 0; }, kWait))
      << "the socket is closed once the callback has returned";
}

TEST_F(ConnectionTest, SubscribeResponseReadWhileTheLoopRewritesIt) {
  StartSim(Nodes(1));
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  std::atomic<bool> done{false};
  std::atomic<int64_t> reads{0};
  std::thread reader([&] {
    while (!done) {
      const qm::SubscribeResponse copy = m_conn->getSubscribeRsp();  // a snapshot, never a torn view
      if (copy.issuccess()) {
        EXPECT_EQ(copy.permitteddatatypes_size(), 1);
      }
      ++reads;
    }
  });
  for (int i = 0; i < 50; ++i) {
    Subscribe();
    ASSERT_TRUE(Eventually([&] { return m_conn->m_subscribeState.load() == Conn::SUBSCRIBE_SUCCESS; }, kWait));
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
}

TEST_F(ConnectionTest, SlowDecoderPausesReadingAndLosesNothing) {
  constexpr uint32_t kBudget = 256 * 1024;
  constexpr int64_t kRecords = 300000;
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(kBudget);
  qc::BaseConfig::GetInstance().SetHeartBeatInterval(1);
  sim::Scenario s = Nodes(1);
  s.streams.push_back(Stream(kRecords, false));
  StartSim(s);
  m_consumer = std::make_unique<QueueConsumer>(m_queue, m_back);
  m_consumer->SetPaused(true);  // the decoder has fallen behind
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  Subscribe();
  ASSERT_TRUE(Eventually([&] { return m_conn->IsReadPaused(); }, kWait));
  EXPECT_LE(m_conn->GetInflightBytes(), kBudget);
  EXPECT_EQ(m_log.Count("Datafeed reading paused for site type: 2"), 1);

  // The loop thread is free while reading is paused: timers fire and calls
  // handed over from other threads are served.
  auto heartbeats = [&] {
    int64_t n = 0;
    for (const auto& c : m_sim->Stats().connections) n += c.discovery ? 0 : c.heartbeats_received;
    return n;
  };
  const int64_t before = heartbeats();
  EXPECT_TRUE(Eventually([&] { return heartbeats() >= before + 2; }, kWait));
  m_conn->TryConnect();
  EXPECT_TRUE(m_log.Contains("Is already connected"));
  qm::SubscribeRequest again;
  again.set_subscribeactiontype(qm::COVERAGE);
  again.mutable_subscribebydatatype()->add_qeldatatypes(kDataType);
  EXPECT_EQ(m_conn->SendSubscribeMsg(&again), 0);
  EXPECT_TRUE(m_conn->IsReadPaused()) << "still held back: nothing was decoded meanwhile";
  EXPECT_LE(m_conn->GetInflightBytes(), kBudget);
  EXPECT_LT(m_sim->Stats().records_sent, kRecords) << "TCP holds the node back";
  EXPECT_EQ(m_conn->m_state.load(), Conn::LOGIN_SUCCESS);

  m_consumer->SetPaused(false);
  ASSERT_TRUE(m_sim->WaitForRecords(kRecords, milliseconds(60000)));
  ASSERT_TRUE(Eventually([&] { return m_consumer->records() >= kRecords; }, milliseconds(60000)));
  EXPECT_EQ(m_consumer->records(), kRecords);
  EXPECT_EQ(m_consumer->faults(), 0) << "a record out of order, missing, or undecodable";
  EXPECT_TRUE(Eventually([&] { return m_conn->m_subscribeState.load() == Conn::SUBSCRIBE_SUCCESS; }, kWait));
  EXPECT_EQ(m_conn->m_state.load(), Conn::LOGIN_SUCCESS);
  EXPECT_TRUE(m_log.Contains("Datafeed reading resumed for site type: 2"));
}

// ---- a node that closes while reading is held back ---------------------------

struct HeldCloseCase {
  const char* name;
  bool tls;
  // A heartbeat written after the close fails while reading is still held:
  // the socket error arrives before the connection has read to the end.
  bool heartbeat_fails;
};
void PrintTo(const HeldCloseCase& c, std::ostream* os) { *os << c.name; }

class HeldCloseTest : public ConnectionTest, public testing::WithParamInterface<HeldCloseCase> {};

// The node sends its records two to a frame and closes, while the decode
// stage is behind and the budget lets one frame in flight at a time: nearly
// every frame is still unread (in the input buffer or the kernel) when the
// close is noticed. Every record the node sent is queued, in order, and only
// then does the connection move to the next node.
TEST_P(HeldCloseTest, FramesSentBeforeTheCloseAreDeliveredThenItReconnects) {
  const HeldCloseCase& c = GetParam();
  constexpr int64_t kRecords = 40;
  // Writes into the closed socket must come back as errors, as they do in an
  // application (ClientFactory makes the process ignore SIGPIPE).
  std::signal(SIGPIPE, SIG_IGN);
  m_log.ExpectError("Connected to datafeed service closed by peer");
  m_log.ExpectError("Connected to datafeed service error");
  m_log.ExpectError("Send heartbeat msg failed");
  qc::BaseConfig::GetInstance().SetMaxInflightBytes(1);
  qc::BaseConfig::GetInstance().SetHeartBeatInterval(c.heartbeat_fails ? 1 : 60);
  qc::BaseConfig::GetInstance().SetUseSSL(c.tls);
  qel_test::TestPki pki;
  auto ctx = pki.ClientContext();
  sim::Scenario s = Nodes(2, c.tls);
  s.tls_cert_file = pki.ServerCert();
  s.tls_key_file = pki.ServerKey();
  sim::StreamSpec st = Stream(kRecords, false);
  st.channels = {11};
  st.batch = 2;
  s.streams.push_back(st);
  // Login answer, subscribe answer and twenty market-data frames.
  s.faults.close_after_frames = 2 + kRecords / 2;
  StartSim(s);
  m_consumer = std::make_unique<QueueConsumer>(m_queue, m_back);
  m_consumer->SetPaused(true);  // the decoder has fallen behind
  StartConnection(NodesFromSim(), ctx.get());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  Subscribe();

  // The first node has sent everything and closed.
  sim::ConnectionStats first;
  ASSERT_TRUE(m_sim->WaitFor(
      [&](const sim::SimulatorStats& stats) {
        for (const auto& conn : stats.connections) {
          if (!conn.discovery && conn.md_frames_sent > 0 && !conn.open) {
            first = conn;
            return true;
          }
        }
        return false;
      },
      kWait));
  ASSERT_EQ(first.records_sent, kRecords);
  if (c.heartbeat_fails) {
    // Noticed while reading is held: a heartbeat into the closed socket fails
    // (a TLS connection may have read the close already).
    ASSERT_TRUE(Eventually(
        [&] {
          return m_log.Contains("Connected to datafeed service error") ||
                 m_log.Contains("Connected to datafeed service closed by peer");
        },
        kWait));
    // While the frames read are still being queued, a subscription cannot
    // reach the node: it fails at once instead of waiting for an answer on
    // a socket without a peer, and the drain goes on.
    ASSERT_TRUE(Eventually([&] { return m_conn->IsDraining(); }, kWait));
    m_log.ExpectError("Not connect, cannt send subscribe msg to this datafeed node");
    qm::SubscribeRequest late;
    late.set_subscribeactiontype(qm::COVERAGE);
    late.mutable_subscribebydatatype()->add_qeldatatypes(kDataType);
    EXPECT_EQ(m_conn->SendSubscribeMsg(&late), qc::INVALID_DATAFEED_SOCKET);
    EXPECT_EQ(m_conn->m_subscribeState.load(), Conn::SUBSCRIBE_FAILED);
  }
  // The node has sent everything, but the connection may not have read it
  // yet (a loaded machine): it holds reading back once it has.
  EXPECT_TRUE(Eventually([&] { return m_conn->IsReadPaused(); }, kWait)) << "the decode stage is still behind";
  EXPECT_EQ(m_sim->Stats().datafeed_logins_ok, 1) << "no other node before the frames read are queued";

  m_consumer->SetPaused(false);
  ASSERT_TRUE(Eventually([&] { return m_consumer->records() >= kRecords; }, kWait))
      << m_consumer->records() << " of " << kRecords << " records delivered";
  EXPECT_EQ(m_consumer->faults(), 0) << "a record out of order, missing, or undecodable";
  EXPECT_EQ(m_consumer->frames(), first.md_frames_sent);
  // Then it moves on to the next node.
  ASSERT_TRUE(m_sim->WaitForDatafeedLogins(2, kWait));
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  EXPECT_EQ(m_conn->GetServerIndex(), 1);
  EXPECT_FALSE(m_conn->IsReadPaused());
  EXPECT_EQ(m_consumer->records(), kRecords);
}

INSTANTIATE_TEST_SUITE_P(Closes, HeldCloseTest,
                         testing::Values(HeldCloseCase{"PlainHeartbeatFails", false, true},
                                         HeldCloseCase{"TlsHeartbeatFails", true, true},
                                         HeldCloseCase{"PlainDecoderCatchesUp", false, false},
                                         HeldCloseCase{"TlsDecoderCatchesUp", true, false}),
                         [](const testing::TestParamInfo<HeldCloseCase>& info) { return std::string(info.param.name); });

// ---- ChannelIndex breaks the node makes on purpose ---------------------------

struct GapCase {
  const char* name;
  int64_t skip_index_every;
  int64_t skip_index_count;
  int64_t repeat_index_every;
  bool reconnect;  // the first node closes mid-stream; the second numbers its channels from 1 again
};
void PrintTo(const GapCase& c, std::ostream* os) { *os << c.name; }

class ConnectionGapTest : public ConnectionTest, public testing::WithParamInterface<GapCase> {};

// The connection reports exactly the breaks the simulator says it made, and
// none on a clean stream or across a reconnect.
TEST_P(ConnectionGapTest, ReportsExactlyTheBreaksTheNodeMade) {
  const GapCase& c = GetParam();
  constexpr int64_t kRecords = 3000;  // 60 frames over three channels
  constexpr int64_t kFirstNodeFrames = 20;
  qc::BaseConfig::GetInstance().SetHeartBeatInterval(60);
  sim::Scenario s = Nodes(c.reconnect ? 2 : 1);
  s.streams.push_back(Stream(kRecords, true));
  s.faults.skip_index_every = c.skip_index_every;
  s.faults.skip_index_count = c.skip_index_count;
  s.faults.repeat_index_every = c.repeat_index_every;
  if (c.reconnect) {
    m_log.ExpectError("Connected to datafeed service closed by peer");
    m_log.ExpectError("Connected to datafeed service error");
    s.faults.close_after_frames = 2 + kFirstNodeFrames;  // login and subscribe answers, then data
  }
  StartSim(s);
  m_consumer = std::make_unique<QueueConsumer>(m_queue, m_back);
  StartConnection(NodesFromSim());
  ASSERT_TRUE(WaitState(Conn::LOGIN_SUCCESS));
  Subscribe();
  int64_t expected_records = kRecords;
  if (c.reconnect) {
    int64_t first_records = 0;
    ASSERT_TRUE(m_sim->WaitFor(
        [&](const sim::SimulatorStats& stats) {
          for (const auto& conn : stats.connections) {
            if (!conn.discovery && conn.md_frames_sent > 0 && !conn.open) {
              first_records = conn.records_sent;
              return true;
            }
          }
          return false;
        },
        kWait));
    m_sim->SetFaults(sim::Faults{});  // the second node's connection stays open
    ASSERT_TRUE(Eventually([&] { return m_conn->GetServerIndex() == 1 && m_conn->m_state == Conn::LOGIN_SUCCESS; },
                           kWait));
    Subscribe();
    expected_records += first_records;
    EXPECT_EQ(m_sim->Stats().datafeed_logins_ok, 2);
  }
  ASSERT_TRUE(Eventually([&] { return m_consumer->records() >= expected_records; }, milliseconds(60000)))
      << m_consumer->records() << " of " << expected_records;
  EXPECT_EQ(m_consumer->faults(), 0);
  // A call handed to the loop thread returns once it has run: every frame
  // queued so far has been checked.
  m_conn->TryConnect();

  int64_t jumps = 0, skipped = 0, repeated = 0;
  for (const auto& conn : m_sim->Stats().connections) {
    for (const auto& ch : conn.channels) {
      jumps += ch.second.index_jumps;
      skipped += ch.second.indexes_skipped;
      repeated += ch.second.indexes_repeated;
    }
  }
  if (c.skip_index_every > 0) {
    EXPECT_GT(jumps, 0) << "the fault made no jump";
  }
  if (c.repeat_index_every > 0) {
    EXPECT_GT(repeated, 0) << "the fault repeated nothing";
  }
  const Conn::GapStats stats = m_conn->GetGapStats();
  EXPECT_EQ(stats.gaps, jumps);
  EXPECT_EQ(stats.frames_missing, skipped);
  EXPECT_EQ(stats.duplicates_or_backwards, repeated);
  EXPECT_EQ(m_log.Count("Datafeed sequence gap, site type: 2, channel: 1"), static_cast<int>(jumps));
  EXPECT_EQ(m_log.Count("Datafeed sequence index repeated or behind, site type: 2, channel: 1"),
            static_cast<int>(repeated));
  if (c.skip_index_count > 0 && jumps > 0) {
    const std::string missing = "frames missing: " + std::to_string(c.skip_index_count);
    EXPECT_EQ(m_log.Count(missing), static_cast<int>(jumps)) << "every jump passes over the configured indexes";
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ConnectionGapTest,
                         testing::Values(GapCase{"Clean", 0, 1, 0, false}, GapCase{"SkippedIndexes", 4, 3, 0, false},
                                         GapCase{"RepeatedIndexes", 0, 1, 5, false},
                                         GapCase{"SkippedAndRepeated", 3, 2, 7, false},
                                         GapCase{"Reconnect", 0, 1, 0, true}),
                         [](const testing::TestParamInfo<GapCase>& info) { return std::string(info.param.name); });
