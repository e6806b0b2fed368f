// The simulator over real sockets, spoken to by the small client of
// wire_client.h: discovery and datafeed logins, heartbeats, subscriptions,
// market data decoded and checked against the simulator's own counters, TLS,
// faults and listener control.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "feed_sim.h"
#include "sim_frame.h"
#include "support/test_pki.h"
#include "wire_client.h"

namespace {

using namespace qel::sim;
using wire::Client;
using wire::RawFrame;
namespace model = com::quor::qel::model;
using std::chrono::milliseconds;

constexpr int kStockType = 3;
constexpr int kIndexType = 6;
const std::vector<std::string> kStockIds = {"600000.SH", "600036.SH", "000001.SZ", "000002.SZ"};

Scenario BaseScenario() {
  Scenario sc;
  sc.users = {{"demo", "demo123"}, {"other", "pw"}};
  sc.nodes = {{1, 200, false, 0}, {1, 100, false, 0}, {2, 50, false, 0}};
  StreamSpec stock;
  stock.site_type = 1;
  stock.data_type = kStockType;
  stock.record_kind = kQELStock;
  stock.channels = {11, 12};
  stock.security_ids = kStockIds;
  stock.batch = 50;
  stock.lz4 = true;
  stock.max_records = 2000;
  StreamSpec index;
  index.site_type = 1;
  index.data_type = kIndexType;
  index.record_kind = kMDIndex;
  index.channels = {13};
  index.security_ids = {"000300.SH", "399001.SZ"};
  index.batch = 7;
  index.lz4 = false;
  index.max_records = 300;
  sc.streams = {stock, index};
  return sc;
}

// Logs in to discovery and returns the response (and the request's trace).
model::LoginResponse DiscoveryLogin(Client& c, const std::string& user, const std::string& pw,
                                    RawFrame* frame, model::MetaData* meta) {
  model::LoginResponse rsp;
  EXPECT_TRUE(c.Send(wire::DiscoveryLogin(user, pw, "sdk_login_42")));
  EXPECT_TRUE(c.ReadFrame(frame));
  EXPECT_TRUE(meta->ParseFromString(frame->meta));
  EXPECT_TRUE(wire::ParseResponseBody(*frame, &rsp));
  return rsp;
}

// Sends a datafeed login (in pieces of `piece` bytes when non-zero) and
// returns the parsed answer; *meta, when given, gets the answer's metadata.
model::LoginResponse DatafeedLoginAnswer(Client& c, const std::string& user, const std::string& token,
                                         const std::string& trace, model::MetaData* meta = nullptr,
                                         size_t piece = 0) {
  model::LoginResponse rsp;
  RawFrame f;
  model::MetaData m;
  EXPECT_TRUE(c.Send(wire::DatafeedLogin(user, token, trace), piece));
  EXPECT_TRUE(c.ReadUntil(model::LOGIN_RESPONSE, &f, &m));
  EXPECT_TRUE(wire::ParseResponseBody(f, &rsp));
  if (meta != nullptr) *meta = m;
  return rsp;
}

class FeedSimTest : public ::testing::Test {
 protected:
  void StartSim(Scenario sc) {
    m_sim = std::make_unique<FeedSimulator>(std::move(sc));
    ASSERT_TRUE(m_sim->Start()) << m_sim->LastError();
  }

  // A logged-in datafeed connection to the given node.
  void LoginDatafeed(Client& c, int node_index, const std::string& ca = "") {
    ASSERT_TRUE(c.Connect(m_sim->NodePortByIndex(node_index), ca));
    ASSERT_TRUE(DatafeedLoginAnswer(c, "demo", m_sim->IssueToken("demo"), "sdk_login_1").issuccess());
  }

  model::SubscribeResponse Subscribe(Client& c, const std::string& request_frame) {
    EXPECT_TRUE(c.Send(request_frame));
    RawFrame f;
    model::MetaData meta;
    model::SubscribeResponse rsp;
    EXPECT_TRUE(c.ReadUntil(model::SUBSCRIBE_RESPONSE, &f, &meta));
    EXPECT_EQ(meta.traceid(), "sdk_subscribe_7");
    EXPECT_TRUE(wire::ParseResponseBody(f, &rsp));
    return rsp;
  }

  // What a client saw of one channel.
  struct Seen {
    int64_t frames = 0;
    int64_t records = 0;
    int64_t last_frame_index = 0;
    int64_t last_seq = 0;
    std::set<std::string> ids;
    std::set<int> kinds;
  };

  // Reads market data until `records` records arrived, checking on the way
  // that each channel's frame index and record sequence go up by exactly one.
  std::map<int64_t, Seen> ReadMarketData(Client& c, int64_t records) {
    std::map<int64_t, Seen> seen;
    int64_t total = 0;
    while (total < records) {
      RawFrame f;
      model::MetaData meta;
      if (!c.ReadFrame(&f) || !meta.ParseFromString(f.meta)) {
        ADD_FAILURE() << "stream ended after " << total << " records";
        break;
      }
      if (meta.sysmessagetype() != model::PUSH_MARKET_DATA) continue;
      std::vector<model::MarketData> recs;
      std::string why;
      if (!wire::DecodeRecords(f, &recs, &why)) {
        ADD_FAILURE() << why;
        break;
      }
      Seen& s = seen[meta.channelno()];
      EXPECT_EQ(meta.channelindex(), s.last_frame_index + 1) << "channel " << meta.channelno();
      s.last_frame_index = meta.channelindex();
      ++s.frames;
      EXPECT_EQ(meta.qelsysmessagenum(), static_cast<int32_t>(recs.size()));
      EXPECT_TRUE(meta.traceid().empty());
      for (const auto& r : recs) {
        EXPECT_EQ(r.qelmessagechannel(), meta.channelno());
        EXPECT_EQ(RecordSequence(r), s.last_seq + 1) << "channel " << meta.channelno();
        s.last_seq = RecordSequence(r);
        const int kind = RecordKindOf(r);
        s.kinds.insert(kind);
        const auto* fd = model::MarketData::descriptor()->FindFieldByNumber(kind);
        const auto& rec = r.GetReflection()->GetMessage(r, fd);
        s.ids.insert(rec.GetReflection()->GetString(
            rec, rec.GetDescriptor()->FindFieldByName("QELSecurityID")));
        const int dt = rec.GetReflection()->GetInt32(
            rec, rec.GetDescriptor()->FindFieldByName("QELDataType"));
        EXPECT_EQ(dt, meta.qeldatatype());
        ++s.records;
      }
      total += static_cast<int64_t>(recs.size());
    }
    return seen;
  }

  // The one datafeed connection's counters as the simulator kept them.
  ConnectionStats OnlyDatafeedConnection() {
    ConnectionStats out;
    int n = 0;
    for (const auto& c : m_sim->Stats().connections) {
      if (!c.discovery) {
        out = c;
        ++n;
      }
    }
    EXPECT_EQ(n, 1);
    return out;
  }

  void ExpectStatsMatch(const std::map<int64_t, Seen>& seen) {
    // The simulator may still be counting the frame it is writing; wait for
    // its totals to settle on what the client read.
    int64_t total = 0;
    for (const auto& kv : seen) total += kv.second.records;
    m_sim->WaitFor([&](const SimulatorStats& s) { return s.records_sent >= total; },
                   milliseconds(20000));
    const ConnectionStats cs = OnlyDatafeedConnection();
    ASSERT_EQ(cs.channels.size(), seen.size());
    for (const auto& kv : seen) {
      const ChannelStats& ch = cs.channels.at(kv.first);
      EXPECT_EQ(ch.records, kv.second.records) << "channel " << kv.first;
      EXPECT_EQ(ch.frames, kv.second.frames) << "channel " << kv.first;
      EXPECT_EQ(ch.last_record_seq, kv.second.last_seq);
      EXPECT_EQ(ch.last_frame_index, kv.second.last_frame_index);
    }
  }

  std::unique_ptr<FeedSimulator> m_sim;
};

// ---- discovery -------------------------------------------------------------

struct LoginCase {
  const char* name;
  const char* user;
  const char* password;
  bool refuse_fault;
  bool success;
};
void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.name; }

class DiscoveryLoginTest : public FeedSimTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(DiscoveryLoginTest, AnswersWithTokenAndNodesOrRefuses) {
  const LoginCase lc = GetParam();
  Scenario sc = BaseScenario();
  sc.faults.refuse_discovery_login = lc.refuse_fault;
  StartSim(sc);
  Client c;
  ASSERT_TRUE(c.Connect(m_sim->DiscoveryPort()));
  RawFrame f;
  model::MetaData meta;
  const model::LoginResponse rsp = DiscoveryLogin(c, lc.user, lc.password, &f, &meta);
  EXPECT_EQ(meta.sysmessagetype(), model::LOGIN_RESPONSE);
  EXPECT_EQ(meta.traceid(), "sdk_login_42");
  EXPECT_EQ(meta.qelsysmessagenum(), 1);
  EXPECT_EQ(f.version, 1);
  EXPECT_EQ(f.protocol, 1);
  EXPECT_EQ(rsp.issuccess(), lc.success);
  if (lc.success) {
    EXPECT_EQ(rsp.token().size(), 32u);
    ASSERT_EQ(rsp.servers_size(), 3);
    for (int i = 0; i < 3; ++i) {
      const auto& s = rsp.servers(i);
      const NodeSpec& n = sc.nodes[static_cast<size_t>(i)];
      EXPECT_EQ(s.ip(), "127.0.0.1");
      EXPECT_EQ(s.port(), m_sim->NodePortByIndex(i));
      EXPECT_NE(s.port(), 0);
      EXPECT_EQ(s.sitetype(), n.site_type);
      EXPECT_EQ(s.ippriority(), n.priority);
      EXPECT_FALSE(s.isssl());
    }
    EXPECT_EQ(m_sim->Stats().discovery_logins_ok, 1);
  } else {
    EXPECT_TRUE(rsp.token().empty());
    EXPECT_EQ(rsp.servers_size(), 0);
    EXPECT_FALSE(rsp.errorcontext().message().empty());
    EXPECT_EQ(m_sim->Stats().discovery_logins_refused, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DiscoveryLoginTest,
    ::testing::Values(LoginCase{"RightPassword", "demo", "demo123", false, true},
                      LoginCase{"WrongPassword", "demo", "demo124", false, false},
                      LoginCase{"OtherUsersPassword", "other", "demo123", false, false},
                      LoginCase{"UnknownUser", "nobody", "demo123", false, false},
                      LoginCase{"RefusedByFault", "demo", "demo123", true, false}),
    [](const ::testing::TestParamInfo<LoginCase>& i) { return std::string(i.param.name); });

TEST_F(FeedSimTest, DiscoveryWrongTraceFaultAndRequestSentByteByByte) {
  StartSim(BaseScenario());
  Faults f;
  f.wrong_trace_id_discovery = true;
  m_sim->SetFaults(f);
  Client c;
  ASSERT_TRUE(c.Connect(m_sim->DiscoveryPort()));
  ASSERT_TRUE(c.Send(wire::DiscoveryLogin("demo", "demo123", "sdk_login_9"), 1));
  RawFrame frame;
  model::MetaData meta;
  ASSERT_TRUE(c.ReadFrame(&frame));
  ASSERT_TRUE(meta.ParseFromString(frame.meta));
  EXPECT_NE(meta.traceid(), "sdk_login_9");
  model::LoginResponse rsp;
  ASSERT_TRUE(wire::ParseResponseBody(frame, &rsp));
  EXPECT_TRUE(rsp.issuccess());
}

// ---- datafeed login and heartbeat -----------------------------------------

TEST_F(FeedSimTest, TokenFromDiscoveryLogsInToDatafeedAndHeartbeatsAreAnswered) {
  StartSim(BaseScenario());
  Client d;
  ASSERT_TRUE(d.Connect(m_sim->DiscoveryPort()));
  RawFrame f;
  model::MetaData meta;
  const model::LoginResponse drsp = DiscoveryLogin(d, "demo", "demo123", &f, &meta);
  ASSERT_TRUE(drsp.issuccess());

  Client c;
  ASSERT_TRUE(c.Connect(static_cast<uint16_t>(drsp.servers(0).port())));
  // A wrong token first (sent in 3-byte pieces), then the right one.
  EXPECT_FALSE(DatafeedLoginAnswer(c, "demo", "not-a-token", "sdk_login_a", &meta, 3).issuccess());
  EXPECT_EQ(meta.traceid(), "sdk_login_a");
  // The token belongs to "demo", not to "other".
  EXPECT_FALSE(DatafeedLoginAnswer(c, "other", drsp.token(), "sdk_login_b").issuccess());
  EXPECT_TRUE(DatafeedLoginAnswer(c, "demo", drsp.token(), "sdk_login_c", &meta).issuccess());
  EXPECT_EQ(meta.traceid(), "sdk_login_c");

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.Send(wire::Heartbeat()));
    ASSERT_TRUE(c.ReadFrame(&f));
    ASSERT_TRUE(meta.ParseFromString(f.meta));
    EXPECT_EQ(meta.sysmessagetype(), model::HEARTBEAT_RESPONSE);
    EXPECT_TRUE(meta.traceid().empty());
    EXPECT_EQ(f.payload_len, 4 + GetI32(f.payload.data()));
  }
  const ConnectionStats cs = OnlyDatafeedConnection();
  EXPECT_EQ(cs.login_requests, 3);
  EXPECT_EQ(cs.logins_ok, 1);
  EXPECT_EQ(cs.logins_refused, 2);
  EXPECT_EQ(cs.heartbeats_received, 3);
  EXPECT_EQ(cs.heartbeats_answered, 3);
  EXPECT_EQ(cs.user, "demo");

  m_sim->RevokeTokens();
  Client late;
  ASSERT_TRUE(late.Connect(m_sim->NodePortByIndex(1)));
  EXPECT_FALSE(DatafeedLoginAnswer(late, "demo", drsp.token(), "sdk_login_d").issuccess());
}

TEST_F(FeedSimTest, HeartbeatsGoUnansweredUnderFault) {
  StartSim(BaseScenario());
  Client c;
  LoginDatafeed(c, 0);
  Faults f;
  f.no_heartbeat_response = true;
  m_sim->SetFaults(f);
  ASSERT_TRUE(c.Send(wire::Heartbeat()));
  EXPECT_TRUE(c.SilentFor(300));
  ASSERT_TRUE(m_sim->WaitFor(
      [](const SimulatorStats& s) {
        for (const auto& c : s.connections) {
          if (!c.discovery && c.heartbeats_received == 1) return true;
        }
        return false;
      },
      milliseconds(20000)));
  EXPECT_EQ(OnlyDatafeedConnection().heartbeats_answered, 0);
}

// ---- subscription and market data -----------------------------------------

TEST_F(FeedSimTest, SubscriptionByTypeDeliversOrderedDecodableRecords) {
  StartSim(BaseScenario());
  Client c;
  LoginDatafeed(c, 0);
  const model::SubscribeResponse rsp = Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7"));
  ASSERT_TRUE(rsp.issuccess());
  ASSERT_EQ(rsp.permitteddatatypes_size(), 1);
  EXPECT_EQ(rsp.permitteddatatypes(0), kStockType);

  const auto seen = ReadMarketData(c, 2000);  // the stream's max_records
  ASSERT_EQ(seen.size(), 2u);                 // channels 11 and 12; no index data
  std::set<std::string> ids;
  for (const auto& kv : seen) {
    EXPECT_EQ(kv.second.kinds, std::set<int>{kQELStock});
    ids.insert(kv.second.ids.begin(), kv.second.ids.end());
  }
  // Security i is on channel channels[i % 2].
  EXPECT_EQ(seen.at(11).ids, (std::set<std::string>{kStockIds[0], kStockIds[2]}));
  EXPECT_EQ(seen.at(12).ids, (std::set<std::string>{kStockIds[1], kStockIds[3]}));
  ExpectStatsMatch(seen);
  EXPECT_TRUE(c.SilentFor(200));  // the stream stopped at max_records
}

TEST_F(FeedSimTest, SubscriptionByIdAndPermissionsFilterTheData) {
  StartSim(BaseScenario());
  m_sim->SetPermittedDataTypes({kIndexType});
  Client c;
  LoginDatafeed(c, 0);
  model::SubscribeRequest req;
  req.set_subscribeactiontype(model::ADD);
  req.mutable_subscribebydatatype()->add_qeldatatypes(kStockType);
  auto* d = req.mutable_subscribebyid()->add_subscribebyiddetails();
  d->set_qeldatatype(kIndexType);
  d->add_quorsecurityid("399001.SZ");
  const model::SubscribeResponse rsp =
      Subscribe(c, wire::RequestFrame(model::SUBSCRIBE_REQUEST, "sdk_subscribe_7", req));
  ASSERT_TRUE(rsp.issuccess());
  ASSERT_EQ(rsp.permitteddatatypes_size(), 1);
  EXPECT_EQ(rsp.permitteddatatypes(0), kIndexType);
  ASSERT_EQ(rsp.permittediddetails_size(), 1);

  // Stock is not permitted; of the index stream only the subscribed security
  // arrives (every other index record is skipped, so 300 records of one id).
  const auto seen = ReadMarketData(c, 300);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.at(13).ids, std::set<std::string>{"399001.SZ"});
  EXPECT_EQ(seen.at(13).kinds, std::set<int>{kMDIndex});
  ExpectStatsMatch(seen);
}

TEST_F(FeedSimTest, RefusedSubscriptionSendsNoData) {
  StartSim(BaseScenario());
  Faults f;
  f.refuse_subscribe = true;
  m_sim->SetFaults(f);
  Client c;
  LoginDatafeed(c, 0);
  const model::SubscribeResponse rsp =
      Subscribe(c, wire::SubscribeTypes({kStockType, kIndexType}, "sdk_subscribe_7"));
  EXPECT_FALSE(rsp.issuccess());
  EXPECT_FALSE(rsp.errorcontext().message().empty());
  EXPECT_TRUE(c.SilentFor(300));
  EXPECT_EQ(OnlyDatafeedConnection().records_sent, 0);
  EXPECT_EQ(OnlyDatafeedConnection().subscribes_refused, 1);
}

// Every parsed request is kept as received (refused ones too), so a test can
// compare what a client sent with what it meant; only the latest are kept.
TEST_F(FeedSimTest, ReceivedSubscribeRequestsAreRecordedAsSent) {
  StartSim(BaseScenario());
  Client c;
  LoginDatafeed(c, 0);
  model::SubscribeRequest req;
  req.set_subscribeactiontype(model::ADD);
  req.mutable_subscribebydatatype()->add_qeldatatypes(kStockType);
  req.mutable_subscribebydatatype()->add_qeldatatypes(kIndexType);
  auto* d = req.mutable_subscribebyid()->add_subscribebyiddetails();
  d->set_qeldatatype(kIndexType);
  d->add_quorsecurityid("399001.SZ");
  d->add_quorsecurityid("");
  req.mutable_subscribebyid()->add_subscribebyiddetails()->set_qeldatatype(kStockType);
  ASSERT_TRUE(Subscribe(c, wire::RequestFrame(model::SUBSCRIBE_REQUEST, "sdk_subscribe_7", req)).issuccess());
  Faults f;
  f.refuse_subscribe = true;
  m_sim->SetFaults(f);
  model::SubscribeRequest odd;
  odd.set_subscribeactiontype(static_cast<model::ESubscribeActionType>(7));
  ASSERT_FALSE(Subscribe(c, wire::RequestFrame(model::SUBSCRIBE_REQUEST, "sdk_subscribe_7", odd)).issuccess());

  const std::vector<ReceivedSubscribe> got = OnlyDatafeedConnection().subscribes_received;
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].action, model::ADD);
  EXPECT_EQ(got[0].data_types, (std::vector<int>{kStockType, kIndexType}));
  ASSERT_EQ(got[0].id_details.size(), 2u);
  EXPECT_EQ(got[0].id_details[0].first, kIndexType);
  EXPECT_EQ(got[0].id_details[0].second, (std::vector<std::string>{"399001.SZ", ""}));
  EXPECT_EQ(got[0].id_details[1].first, kStockType);
  EXPECT_TRUE(got[0].id_details[1].second.empty());
  EXPECT_EQ(got[1].action, 7);
  EXPECT_TRUE(got[1].data_types.empty());
  EXPECT_TRUE(got[1].id_details.empty());

  // Past the bound the oldest go first.
  const int extra = static_cast<int>(kMaxRecordedSubscribes) + 3;
  for (int i = 0; i < extra; ++i) {
    ASSERT_FALSE(Subscribe(c, wire::SubscribeTypes({1000 + i}, "sdk_subscribe_7")).issuccess());
  }
  const std::vector<ReceivedSubscribe> kept = OnlyDatafeedConnection().subscribes_received;
  ASSERT_EQ(kept.size(), kMaxRecordedSubscribes);
  EXPECT_EQ(kept.front().data_types, std::vector<int>{1000 + extra - static_cast<int>(kMaxRecordedSubscribes)});
  EXPECT_EQ(kept.back().data_types, std::vector<int>{1000 + extra - 1});
}

TEST_F(FeedSimTest, EveryRecordKindOfBothFamiliesIsPushed) {
  Scenario sc = BaseScenario();
  sc.streams.clear();
  std::vector<int> types;
  for (int kind : AllRecordKinds()) {
    StreamSpec s;
    s.site_type = 1;
    s.data_type = 100 + kind;
    s.record_kind = kind;
    s.channels = {kind};
    s.security_ids = {"SEC" + std::to_string(kind)};
    s.batch = 4;
    s.lz4 = kind % 2 == 0;
    s.max_records = 10;
    sc.streams.push_back(s);
    types.push_back(s.data_type);
  }
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 1);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes(types, "sdk_subscribe_7")).issuccess());
  const auto seen = ReadMarketData(c, 10 * static_cast<int64_t>(AllRecordKinds().size()));
  ASSERT_EQ(seen.size(), AllRecordKinds().size());
  for (int kind : AllRecordKinds()) {
    const Seen& s = seen.at(kind);
    EXPECT_EQ(s.kinds, std::set<int>{kind}) << RecordKindName(kind);
    EXPECT_EQ(s.records, 10) << RecordKindName(kind);
    EXPECT_EQ(s.frames, 3) << RecordKindName(kind);  // 4 + 4 + 2
  }
  ExpectStatsMatch(seen);
}

TEST_F(FeedSimTest, RateLimitedStreamStillSendsWholeBatches) {
  Scenario sc = BaseScenario();
  sc.streams[0].rate_per_sec = 5000;  // a batch of 50 accrues every 10 ms
  sc.streams[0].max_records = 500;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  const auto seen = ReadMarketData(c, 500);
  int64_t frames = 0;
  for (const auto& kv : seen) frames += kv.second.frames;
  EXPECT_EQ(frames, 10);
  ExpectStatsMatch(seen);
}

// Every record of a stamped stream carries the simulator's clock read as its
// frame was built: within the reader's own readings of the same clock, the
// same for every record of a frame, never going back along a channel.
TEST_F(FeedSimTest, StampedStreamCarriesTheSendClock) {
  Scenario sc = BaseScenario();
  sc.streams.resize(1);
  sc.streams[0].send_stamp = StreamSpec::SendStamp::kMonotonic;
  sc.streams[0].max_records = 500;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  const int64_t before = SendStampNow(StreamSpec::SendStamp::kMonotonic);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  std::map<int64_t, int64_t> last_stamp;
  int64_t records = 0;
  while (records < 500) {
    RawFrame f;
    model::MetaData meta;
    ASSERT_TRUE(c.ReadFrame(&f) && meta.ParseFromString(f.meta)) << "after " << records << " records";
    if (meta.sysmessagetype() != model::PUSH_MARKET_DATA) continue;
    const int64_t read_at = SendStampNow(StreamSpec::SendStamp::kMonotonic);
    std::vector<model::MarketData> recs;
    std::string why;
    ASSERT_TRUE(wire::DecodeRecords(f, &recs, &why)) << why;
    ASSERT_FALSE(recs.empty());
    const int64_t stamp = RecordSendStamp(recs.front());
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, read_at);
    EXPECT_GE(stamp, last_stamp[meta.channelno()]) << "channel " << meta.channelno();
    last_stamp[meta.channelno()] = stamp;
    for (const auto& r : recs) EXPECT_EQ(RecordSendStamp(r), stamp);
    records += static_cast<int64_t>(recs.size());
  }
}

TEST_F(FeedSimTest, FramesSplitIntoSmallWritesStillDecode) {
  Scenario sc = BaseScenario();
  sc.streams[0].max_records = 300;
  sc.faults.split_write_bytes = 7;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  const auto seen = ReadMarketData(c, 300);
  ExpectStatsMatch(seen);
}

TEST_F(FeedSimTest, SwitchingSplitWritesOffMidStreamKeepsTheByteOrder) {
  // A slow split stream keeps bytes queued; frames built after the fault is
  // switched off must follow them, not overtake them.
  Scenario sc = BaseScenario();
  sc.streams.resize(1);
  sc.streams[0].max_records = 600;
  sc.streams[0].rate_per_sec = 4000;
  sc.faults.split_write_bytes = 5;
  sc.faults.split_delay_us = 100;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  ASSERT_TRUE(m_sim->WaitForRecords(100, milliseconds(10000)));
  Faults plain = sc.faults;
  plain.split_write_bytes = 0;
  m_sim->SetFaults(plain);
  const auto seen = ReadMarketData(c, 600);
  ExpectStatsMatch(seen);
}

TEST_F(FeedSimTest, RefusedSecondLoginStopsThePush) {
  Scenario sc = BaseScenario();
  sc.streams.resize(1);
  sc.streams[0].max_records = 0;  // endless
  sc.streams[0].rate_per_sec = 2000;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  ASSERT_TRUE(m_sim->WaitForRecords(50, milliseconds(10000)));
  EXPECT_FALSE(DatafeedLoginAnswer(c, "demo", "not-a-token", "sdk_login_2").issuccess());
  EXPECT_FALSE(OnlyDatafeedConnection().logged_in);
  // The refusal is written after every frame sent before it: from here on the
  // connection's record count must stand still while the stream would go on.
  const int64_t after_refusal = m_sim->Stats().records_sent;
  std::this_thread::sleep_for(milliseconds(300));  // 600 records at the stream's rate
  EXPECT_EQ(m_sim->Stats().records_sent, after_refusal);
}

// ---- TLS --------------------------------------------------------------------

// A throw-away CA and a server certificate for 127.0.0.1 signed by it.
class TlsFeedSimTest : public FeedSimTest {
 protected:
  qel_test::TestPki m_pki;  // a throw-away CA and a server certificate for 127.0.0.1
};

TEST_F(TlsFeedSimTest, DiscoveryLoginSubscriptionAndDataOverTls) {
  Scenario sc = BaseScenario();
  sc.discovery_tls = true;
  for (auto& n : sc.nodes) n.tls = true;
  sc.tls_cert_file = m_pki.ServerCert();
  sc.tls_key_file = m_pki.ServerKey();
  sc.streams[0].max_records = 500;
  StartSim(sc);

  Client d;
  ASSERT_TRUE(d.Connect(m_sim->DiscoveryPort(), m_pki.CaFile()));
  RawFrame f;
  model::MetaData meta;
  const model::LoginResponse drsp = DiscoveryLogin(d, "demo", "demo123", &f, &meta);
  ASSERT_TRUE(drsp.issuccess());
  for (const auto& s : drsp.servers()) EXPECT_TRUE(s.isssl());

  Client c;
  ASSERT_TRUE(c.Connect(static_cast<uint16_t>(drsp.servers(0).port()), m_pki.CaFile()));
  ASSERT_TRUE(DatafeedLoginAnswer(c, "demo", drsp.token(), "sdk_login_t").issuccess());
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  const auto seen = ReadMarketData(c, 500);
  ExpectStatsMatch(seen);
  EXPECT_TRUE(OnlyDatafeedConnection().tls);
}

TEST_F(TlsFeedSimTest, NodeWithItsOwnCertificateShowsItAndTheOthersKeepTheScenarios) {
  Scenario sc = BaseScenario();
  sc.nodes[0].tls = true;
  sc.node_tls[0] = {m_pki.ForeignCert(), m_pki.ForeignKey()};
  sc.nodes[1].tls = true;
  sc.tls_cert_file = m_pki.ServerCert();
  sc.tls_key_file = m_pki.ServerKey();
  StartSim(sc);
  Client own_ca;
  EXPECT_TRUE(own_ca.Connect(m_sim->NodePortByIndex(1), m_pki.CaFile()));
  Client refused;
  EXPECT_FALSE(refused.Connect(m_sim->NodePortByIndex(0), m_pki.CaFile())) << "signed by another CA";
  Client foreign_ca;
  EXPECT_TRUE(foreign_ca.Connect(m_sim->NodePortByIndex(0), m_pki.ForeignCaFile()));

  sc.node_tls[0].key_file = m_pki.ServerKey();  // not the certificate's key
  FeedSimulator mismatched(sc);
  EXPECT_FALSE(mismatched.Start());
  EXPECT_NE(mismatched.LastError().find("node 0"), std::string::npos) << mismatched.LastError();
}

TEST_F(TlsFeedSimTest, StartFailsWithoutUsableCertificate) {
  Scenario sc = BaseScenario();
  sc.nodes[0].tls = true;
  FeedSimulator missing(sc);
  EXPECT_FALSE(missing.Start());
  EXPECT_FALSE(missing.LastError().empty());
  sc.tls_cert_file = m_pki.ServerCert();
  sc.tls_key_file = m_pki.RogueKey();  // a key that does not match the certificate
  FeedSimulator mismatched(sc);
  EXPECT_FALSE(mismatched.Start());
  EXPECT_NE(mismatched.LastError().find("key"), std::string::npos);
}

// ---- malformed frames -------------------------------------------------------

struct MalformedCase {
  const char* name;
  Malformed kind;
};
void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedTest : public FeedSimTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTest, FrameIsBrokenTheAnnouncedWay) {
  StartSim(BaseScenario());
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_EQ(m_sim->SendMalformed(GetParam().kind, 1), 1);
  RawFrame f;
  const bool whole = c.ReadFrame(&f);
  model::MetaData meta;
  std::vector<model::MarketData> recs;
  std::string why;
  switch (GetParam().kind) {
    case Malformed::kMetaTooLong:
      EXPECT_FALSE(whole);
      EXPECT_EQ(f.meta_len, 65536);
      break;
    case Malformed::kPayloadTooLong:
      EXPECT_FALSE(whole);
      EXPECT_EQ(f.payload_len, 70000);
      break;
    case Malformed::kNegativeLength:
      EXPECT_FALSE(whole);
      EXPECT_LT(f.payload_len, 0);
      break;
    case Malformed::kGarbageMeta:
      ASSERT_TRUE(whole);
      EXPECT_FALSE(meta.ParseFromString(f.meta));
      break;
    case Malformed::kTruncatedRecord:
      ASSERT_TRUE(whole);
      ASSERT_TRUE(meta.ParseFromString(f.meta));
      EXPECT_FALSE(wire::DecodeRecords(f, &recs, &why));
      EXPECT_NE(why.find("runs past the payload"), std::string::npos) << why;
      break;
    case Malformed::kCorruptLz4:
      ASSERT_TRUE(whole);
      ASSERT_TRUE(meta.ParseFromString(f.meta));
      EXPECT_TRUE(f.flags & 0x4000);
      EXPECT_FALSE(wire::DecodeRecords(f, &recs, &why));
      EXPECT_NE(why.find("LZ4 block does not decompress"), std::string::npos) << why;
      break;
    case Malformed::kUnknownMessageType:
    case Malformed::kNoMessageType:
      // Only the type is wrong: the record behind it is sound.
      ASSERT_TRUE(whole);
      ASSERT_TRUE(meta.ParseFromString(f.meta));
      EXPECT_EQ(static_cast<int>(meta.sysmessagetype()),
                GetParam().kind == Malformed::kUnknownMessageType ? 99 : 0);
      EXPECT_TRUE(wire::DecodeRecords(f, &recs, &why)) << why;
      EXPECT_EQ(recs.size(), 1u);
      break;
    case Malformed::kForeignTraceId:
      ASSERT_TRUE(whole);
      ASSERT_TRUE(meta.ParseFromString(f.meta));
      EXPECT_EQ(meta.sysmessagetype(), model::PUSH_MARKET_DATA);
      EXPECT_EQ(meta.traceid(), "sdk_trace_nobody_sent");
      EXPECT_TRUE(wire::DecodeRecords(f, &recs, &why)) << why;
      EXPECT_EQ(recs.size(), 1u);
      break;
    case Malformed::kUndecodableRecord:
      ASSERT_TRUE(whole);
      ASSERT_TRUE(meta.ParseFromString(f.meta));
      EXPECT_EQ(meta.sysmessagetype(), model::PUSH_MARKET_DATA);
      EXPECT_FALSE(wire::DecodeRecords(f, &recs, &why));
      EXPECT_EQ(why, "record does not parse");
      ASSERT_EQ(recs.size(), 3u) << "every record is framed right";
      EXPECT_EQ(RecordKindOf(recs[0]), 0) << "an envelope without a record";
      EXPECT_EQ(RecordKindOf(recs[2]), 0) << "an envelope without a record";
      break;
  }
  const ConnectionStats cs = OnlyDatafeedConnection();
  EXPECT_EQ(cs.malformed_sent, 1);
  EXPECT_EQ(cs.records_before_malformed, 0) << "nothing was subscribed";
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedTest,
    ::testing::Values(MalformedCase{"MetaTooLong", Malformed::kMetaTooLong},
                      MalformedCase{"PayloadTooLong", Malformed::kPayloadTooLong},
                      MalformedCase{"NegativeLength", Malformed::kNegativeLength},
                      MalformedCase{"GarbageMeta", Malformed::kGarbageMeta},
                      MalformedCase{"TruncatedRecord", Malformed::kTruncatedRecord},
                      MalformedCase{"CorruptLz4", Malformed::kCorruptLz4},
                      MalformedCase{"UnknownMessageType", Malformed::kUnknownMessageType},
                      MalformedCase{"NoMessageType", Malformed::kNoMessageType},
                      MalformedCase{"UndecodableRecord", Malformed::kUndecodableRecord},
                      MalformedCase{"ForeignTraceId", Malformed::kForeignTraceId}),
    [](const ::testing::TestParamInfo<MalformedCase>& i) { return std::string(i.param.name); });

TEST_F(FeedSimTest, MalformedFrameReplacesTheNthMarketDataFrame) {
  Scenario sc = BaseScenario();
  sc.faults.malformed_after_frames = 3;
  sc.faults.malformed_kind = Malformed::kGarbageMeta;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  RawFrame f;
  model::MetaData meta;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.ReadFrame(&f));
    ASSERT_TRUE(meta.ParseFromString(f.meta));
    EXPECT_EQ(meta.sysmessagetype(), model::PUSH_MARKET_DATA);
  }
  ASSERT_TRUE(c.ReadFrame(&f));
  EXPECT_FALSE(meta.ParseFromString(f.meta));
  EXPECT_EQ(OnlyDatafeedConnection().records_before_malformed, 3 * 50) << "three whole stock frames";
}

TEST_F(FeedSimTest, SequenceFaultsSkipAndRepeatChannelIndexes) {
  Scenario sc = BaseScenario();
  sc.faults.skip_index_every = 3;
  sc.faults.skip_index_count = 2;
  sc.faults.repeat_index_every = 5;  // frame 15 is due for both: it repeats
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  std::map<int64_t, std::vector<int64_t>> indexes;  // channel -> ChannelIndex of each frame
  for (int frames = 0; frames < 40;) {  // 2000 stock records, 50 a frame
    RawFrame f;
    model::MetaData meta;
    ASSERT_TRUE(c.ReadFrame(&f) && meta.ParseFromString(f.meta)) << "after " << frames << " frames";
    if (meta.sysmessagetype() != model::PUSH_MARKET_DATA) continue;
    indexes[meta.channelno()].push_back(meta.channelindex());
    ++frames;
  }
  const std::vector<int64_t> expected = {1, 2, 5, 6, 6, 9, 10, 11, 14, 14, 15, 18, 19, 20, 20, 21, 22, 25, 26, 26};
  ASSERT_EQ(indexes.size(), 2u);
  for (const auto& kv : indexes) EXPECT_EQ(kv.second, expected) << "channel " << kv.first;
  for (const auto& kv : OnlyDatafeedConnection().channels) {
    EXPECT_EQ(kv.second.index_jumps, 5) << "frames 3, 6, 9, 12, 18";
    EXPECT_EQ(kv.second.indexes_skipped, 10);
    EXPECT_EQ(kv.second.indexes_repeated, 4) << "frames 5, 10, 15, 20";
    EXPECT_EQ(kv.second.last_frame_index, 26);
  }
}

TEST_F(FeedSimTest, FaultsOfOneSiteTypeLeaveTheOthersBehaving) {
  Scenario sc = BaseScenario();
  sc.faults.no_datafeed_login_response = true;
  sc.faults.only_site_type = 2;
  StartSim(sc);
  Client behaving;
  LoginDatafeed(behaving, 0);  // site type 1 answers
  Client silent;
  ASSERT_TRUE(silent.Connect(m_sim->NodePortByIndex(2)));
  ASSERT_TRUE(silent.Send(wire::DatafeedLogin("demo", m_sim->IssueToken("demo"), "sdk_login_2")));
  EXPECT_TRUE(silent.SilentFor(300));
  ASSERT_TRUE(m_sim->WaitFor(
      [](const SimulatorStats& s) {
        for (const auto& c : s.connections) {
          if (c.site_type == 2 && c.login_requests == 1) return true;
        }
        return false;
      },
      milliseconds(20000)));
  for (const auto& c : m_sim->Stats().connections) {
    if (c.site_type != 2) continue;
    EXPECT_FALSE(c.logged_in);
    EXPECT_EQ(c.logins_ok + c.logins_refused, 0) << "read, not answered";
  }
}

class UnaskedHeartbeatTest : public FeedSimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnaskedHeartbeatTest, EveryDataFrameIsFollowedByTheConfiguredHeartbeats) {
  const bool requests = GetParam();
  Scenario sc = BaseScenario();
  sc.faults.unasked_heartbeats_per_frame = 4;
  sc.faults.unasked_heartbeat_requests = requests;
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  const model::ESysMessageType expected = requests ? model::HEARTBEAT_REQUEST : model::HEARTBEAT_RESPONSE;
  RawFrame f;
  model::MetaData meta;
  for (int frame = 0; frame < 3; ++frame) {
    ASSERT_TRUE(c.ReadFrame(&f));
    ASSERT_TRUE(meta.ParseFromString(f.meta));
    ASSERT_EQ(meta.sysmessagetype(), model::PUSH_MARKET_DATA);
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(c.ReadFrame(&f));
      ASSERT_TRUE(meta.ParseFromString(f.meta));
      EXPECT_EQ(meta.sysmessagetype(), expected) << "frame " << frame << ", heartbeat " << i;
      model::SysHeartbeat hb;
      EXPECT_TRUE(wire::ParseResponseBody(f, &hb));
    }
  }
  EXPECT_GE(OnlyDatafeedConnection().unasked_heartbeats_sent, 12);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnaskedHeartbeatTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Requests" : "Responses");
                         });

// ---- connection faults and listener control --------------------------------

TEST_F(FeedSimTest, ConnectionClosesAfterNFrames) {
  Scenario sc = BaseScenario();
  sc.faults.close_after_frames = 5;  // login response, subscribe response, 3 data frames
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, wire::SubscribeTypes({kStockType}, "sdk_subscribe_7")).issuccess());
  int data_frames = 0;
  RawFrame f;
  while (c.ReadFrame(&f)) ++data_frames;
  EXPECT_EQ(data_frames, 3);
  const ConnectionStats cs = OnlyDatafeedConnection();
  EXPECT_EQ(cs.frames_sent, 5);
  EXPECT_EQ(cs.md_frames_sent, 3);
}

TEST_F(FeedSimTest, ConnectionClosesAtAGivenMomentOrOnRequest) {
  Scenario sc = BaseScenario();
  sc.faults.close_after_ms = 50;
  StartSim(sc);
  Client timed;
  LoginDatafeed(timed, 0);
  EXPECT_TRUE(timed.WaitForEof());

  m_sim->SetFaults(Faults{});
  Client a, b;
  LoginDatafeed(a, 0);
  LoginDatafeed(b, 2);
  EXPECT_EQ(m_sim->CloseDatafeedConnections(1), 1);
  EXPECT_TRUE(a.WaitForEof());
  ASSERT_TRUE(b.Send(wire::Heartbeat()));
  RawFrame f;
  EXPECT_TRUE(b.ReadFrame(&f));  // site type 2 untouched
}

TEST_F(FeedSimTest, NodeAndDiscoveryStopAndRestartOnTheSamePort) {
  StartSim(BaseScenario());
  const uint16_t port = m_sim->NodePortByIndex(0);
  Client before;
  LoginDatafeed(before, 0);
  ASSERT_TRUE(m_sim->StopNode(0));
  EXPECT_TRUE(before.WaitForEof());
  Client refused;
  EXPECT_FALSE(refused.Connect(port));
  ASSERT_TRUE(m_sim->RestartNode(0));
  EXPECT_EQ(m_sim->NodePortByIndex(0), port);
  Client after;
  LoginDatafeed(after, 0);

  const uint16_t dport = m_sim->DiscoveryPort();
  ASSERT_TRUE(m_sim->StopDiscovery());
  Client nod;
  EXPECT_FALSE(nod.Connect(dport));
  ASSERT_TRUE(m_sim->RestartDiscovery());
  Client d;
  ASSERT_TRUE(d.Connect(dport));
  RawFrame f;
  model::MetaData meta;
  EXPECT_TRUE(DiscoveryLogin(d, "demo", "demo123", &f, &meta).issuccess());
}

TEST_F(FeedSimTest, ScheduledActionsDriveTheSameControls) {
  StartSim(BaseScenario());
  ScheduledAction stop;
  stop.kind = ScheduledAction::Kind::kStopNode;
  stop.node_index = 2;
  ASSERT_TRUE(m_sim->RunAction(stop));
  Client c;
  EXPECT_FALSE(c.Connect(m_sim->NodePortByIndex(2)));
  stop.node_index = 9;
  EXPECT_FALSE(m_sim->RunAction(stop));

  ScheduledAction faults;
  faults.kind = ScheduledAction::Kind::kSetFaults;
  faults.faults.refuse_datafeed_login = true;
  ASSERT_TRUE(m_sim->RunAction(faults));
  EXPECT_TRUE(m_sim->GetFaults().refuse_datafeed_login);
  Client d;
  ASSERT_TRUE(d.Connect(m_sim->NodePortByIndex(0)));
  EXPECT_FALSE(DatafeedLoginAnswer(d, "demo", m_sim->IssueToken("demo"), "sdk_login_r").issuccess());
}

TEST_F(FeedSimTest, GarbageFromTheClientClosesTheConnection) {
  StartSim(BaseScenario());
  Client c;
  ASSERT_TRUE(c.Connect(m_sim->NodePortByIndex(0)));
  std::string bad(12, '\0');
  bad[0] = 1;
  bad[1] = 1;
  const int32_t huge = 100000;
  std::memcpy(&bad[4], &huge, 4);
  ASSERT_TRUE(c.Send(bad));
  EXPECT_TRUE(c.WaitForEof());
  EXPECT_EQ(OnlyDatafeedConnection().protocol_errors, 1);
}

// ---- hostile clients ---------------------------------------------------------

// The simulator's log lines, filled by its loop threads through the sink.
struct SimLogLines {
  std::mutex mu;
  std::vector<std::string> lines;  // guarded by mu

  bool Contains(const std::string& text) {
    std::lock_guard<std::mutex> lk(mu);
    for (const auto& l : lines) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

std::function<void(const std::string&)> SinkInto(const std::shared_ptr<SimLogLines>& log) {
  return [log](const std::string& line) {
    std::lock_guard<std::mutex> lk(log->mu);
    log->lines.push_back(line);
  };
}

// Clients that log in, take some market data and vanish (reset or orderly
// close, alternately) while the simulator is still pushing. The exit code
// says how far the run got: 0 when every client was served.
int ClientsVanishingMidPush(const qel_test::TestPki* pki) {
  const bool tls = pki != nullptr;
  Scenario sc = BaseScenario();
  sc.streams.resize(1);
  sc.streams[0].max_records = 0;  // endless
  sc.streams[0].lz4 = false;
  if (tls) {
    for (auto& n : sc.nodes) n.tls = true;
    sc.tls_cert_file = pki->ServerCert();
    sc.tls_key_file = pki->ServerKey();
  }
  FeedSimulator sim(sc);
  if (!sim.Start()) return 2;
  for (int i = 0; i < 60; ++i) {
    Client c;
    if (!c.Connect(sim.NodePortByIndex(0), tls ? pki->CaFile() : "")) return 3;
    if (!c.Send(wire::DatafeedLogin("demo", sim.IssueToken("demo"), "sdk_login_1") +
                wire::SubscribeTypes({kStockType}, "sdk_subscribe_7"))) {
      return 4;
    }
    RawFrame f;
    model::MetaData m;
    if (!c.ReadUntil(model::PUSH_MARKET_DATA, &f, &m)) return 5;
    if (i % 2 == 0) {
      c.Abort();
    } else {
      c.Close();
    }
    if (!sim.WaitFor([](const SimulatorStats& s) { return s.open_datafeed_connections == 0; },
                     milliseconds(20000))) {
      return 6;
    }
  }
  return 0;
}

struct VanishCase {
  const char* name;
  bool tls;
};

class EmbeddingProcessTest : public ::testing::TestWithParam<VanishCase> {};

// A program that embeds the simulator keeps the default SIGPIPE disposition;
// a client that goes away while the simulator writes must not kill it. The
// run happens in a child process so that a signal death is seen as a result.
TEST_P(EmbeddingProcessTest, SurvivesClientsClosingMidPush) {
  std::unique_ptr<qel_test::TestPki> pki;
  if (GetParam().tls) pki = std::make_unique<qel_test::TestPki>();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    _exit(ClientsVanishingMidPush(pki.get()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_FALSE(WIFSIGNALED(status)) << "the embedding process died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, EmbeddingProcessTest,
                         ::testing::Values(VanishCase{"Tcp", false}, VanishCase{"Tls", true}),
                         [](const ::testing::TestParamInfo<VanishCase>& i) { return i.param.name; });

// A subscription request with `ids` security ids of `id_len` characters
// (numbered from `first`) and `types` whole data types (numbered from
// 1000 + first_type), added to what the connection already has.
std::string AddSubscription(int ids, int first, size_t id_len, int types, int first_type = 0) {
  model::SubscribeRequest req;
  req.set_subscribeactiontype(model::ADD);
  if (ids > 0) {
    model::SubscribeByIdDetail* d = req.mutable_subscribebyid()->add_subscribebyiddetails();
    d->set_qeldatatype(kStockType);
    for (int i = 0; i < ids; ++i) {
      std::string id = std::to_string(first + i);
      d->add_quorsecurityid(std::string(id_len - id.size(), 'S') + id);
    }
  }
  for (int t = 0; t < types; ++t) req.mutable_subscribebydatatype()->add_qeldatatypes(1000 + first_type + t);
  return wire::RequestFrame(model::SUBSCRIBE_REQUEST, "sdk_subscribe_7", req);
}

struct SubscriptionBoundCase {
  const char* name;
  int first_ids;
  int first_types;
  int second_ids;
  int second_types;
  size_t id_len;
  bool second_accepted;
  int64_t ids_after;
  int64_t types_after;
};

class SubscriptionBoundTest : public FeedSimTest,
                              public ::testing::WithParamInterface<SubscriptionBoundCase> {};

// Every subscription request gets an answer: accepted up to the per-connection
// caps and while the answer fits one frame's payload, refused (subscription
// unchanged) otherwise.
TEST_P(SubscriptionBoundTest, EveryRequestIsAnsweredAndTheCapsHold) {
  const SubscriptionBoundCase& p = GetParam();
  Scenario sc = BaseScenario();
  sc.streams.clear();
  StartSim(sc);
  Client c;
  LoginDatafeed(c, 0);
  ASSERT_TRUE(Subscribe(c, AddSubscription(p.first_ids, 0, p.id_len, p.first_types)).issuccess());
  const model::SubscribeResponse rsp =
      Subscribe(c, AddSubscription(p.second_ids, p.first_ids, p.id_len, p.second_types, p.first_types));
  EXPECT_EQ(rsp.issuccess(), p.second_accepted);
  if (!p.second_accepted) {
    EXPECT_FALSE(rsp.errorcontext().message().empty());
  }
  const ConnectionStats cs = OnlyDatafeedConnection();
  EXPECT_EQ(cs.subscribed_ids, p.ids_after);
  EXPECT_EQ(cs.subscribed_types, p.types_after);
  EXPECT_EQ(cs.subscribes_refused, p.second_accepted ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Caps, SubscriptionBoundTest,
    ::testing::Values(
        SubscriptionBoundCase{"UpToTheIdCap", kMaxSubscribedIds - 96, 0, 96, 0, 9, true,
                              kMaxSubscribedIds, 0},
        SubscriptionBoundCase{"OneIdOverTheCap", kMaxSubscribedIds, 0, 1, 0, 9, false,
                              kMaxSubscribedIds, 0},
        SubscriptionBoundCase{"OneTypeOverTheCap", 0, kMaxSubscribedTypes, 0, 1, 9, false, 0,
                              kMaxSubscribedTypes},
        // 2 x 1,900 ids of 30 characters: the answer listing them all would
        // need about 120,000 payload bytes, more than a frame carries.
        SubscriptionBoundCase{"AnswerOverAFramePayload", 1900, 0, 1900, 0, 30, false, 1900, 0}),
    [](const ::testing::TestParamInfo<SubscriptionBoundCase>& i) { return i.param.name; });

struct FloodCase {
  const char* name;
  bool subscribe;  // repeat an empty subscription (big answers) instead of heartbeats
};

class ReplyFloodTest : public FeedSimTest, public ::testing::WithParamInterface<FloodCase> {};

// A client that sends requests and never reads their answers is closed once
// the answers queued for it pass the simulator's output bound, with a log
// line, instead of growing the simulator's memory without end.
TEST_P(ReplyFloodTest, ClientThatNeverReadsIsClosedAtTheOutputBound) {
  auto log = std::make_shared<SimLogLines>();
  Scenario sc = BaseScenario();
  sc.streams.clear();  // answers only, no market data
  sc.log = SinkInto(log);
  StartSim(sc);
  Client c;
  ASSERT_TRUE(c.Connect(m_sim->NodePortByIndex(0), "", 4096));
  ASSERT_TRUE(DatafeedLoginAnswer(c, "demo", m_sim->IssueToken("demo"), "sdk_login_1").issuccess());
  std::string request = wire::Heartbeat();
  if (GetParam().subscribe) {
    ASSERT_TRUE(Subscribe(c, AddSubscription(3000, 0, 9, 0)).issuccess());
    request = AddSubscription(0, 0, 9, 0);  // each answer repeats the 3,000 ids
  }
  std::string burst;
  for (int i = 0; i < 1000; ++i) burst += request;
  constexpr int64_t kGiveUpBytes = int64_t{64} << 20;
  int64_t sent = 0;
  while (sent < kGiveUpBytes && c.Send(burst)) sent += static_cast<int64_t>(burst.size());
  EXPECT_LT(sent, kGiveUpBytes) << "the simulator kept answering a client that never reads";
  EXPECT_TRUE(m_sim->WaitFor(
      [](const SimulatorStats& s) { return s.open_datafeed_connections == 0; }, milliseconds(20000)));
  EXPECT_TRUE(OnlyDatafeedConnection().closed_over_output_limit);
  EXPECT_TRUE(log->Contains("output limit")) << "no log line for the closed connection";
}

INSTANTIATE_TEST_SUITE_P(Requests, ReplyFloodTest,
                         ::testing::Values(FloodCase{"Heartbeats", false},
                                           FloodCase{"Subscriptions", true}),
                         [](const ::testing::TestParamInfo<FloodCase>& i) { return i.param.name; });

}  // namespace
