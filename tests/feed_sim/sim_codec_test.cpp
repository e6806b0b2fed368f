// The simulator's own framing, record templates and scenario reader, checked
// without sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysLogin.pb.h"
#include "feed_sim.h"
#include "sim_frame.h"
#include "sim_records.h"

namespace {

using namespace qel::sim;
namespace model = com::quor::qel::model;

std::string SampleFrame(const std::string& trace, int body_bytes) {
  model::MetaData meta;
  meta.set_sysmessagetype(model::LOGIN_RESPONSE);
  meta.set_traceid(trace);
  model::LoginResponse rsp;
  rsp.set_token(std::string(static_cast<size_t>(body_bytes), 't'));
  std::string out;
  EXPECT_TRUE(AppendResponseFrame(&out, meta, rsp));
  return out;
}

TEST(SimFrame, HeaderIsLittleEndianWithSignedFields) {
  FrameHeader h;
  h.flags = static_cast<int16_t>(0x9000);
  h.meta_len = 20;
  h.payload_len = -8;
  char b[12];
  EncodeHeader(h, b);
  const unsigned char expect[12] = {1, 1, 0x00, 0x90, 20, 0, 0, 0, 0xF8, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, std::memcmp(b, expect, 12));
  const FrameHeader back = DecodeHeader(b);
  EXPECT_EQ(back.flags, static_cast<int16_t>(0x9000));
  EXPECT_EQ(back.meta_len, 20);
  EXPECT_EQ(back.payload_len, -8);
}

TEST(SimFrame, ResponsePayloadPrefixIsBareBodyLength) {
  const std::string f = SampleFrame("abc", 10);
  const FrameHeader h = DecodeHeader(f.data());
  ASSERT_EQ(f.size(), kHeaderLen + h.meta_len + h.payload_len);
  const int32_t prefix = GetI32(f.data() + kHeaderLen + h.meta_len);
  EXPECT_EQ(prefix + 4, h.payload_len);
  model::LoginResponse rsp;
  ASSERT_TRUE(rsp.ParseFromArray(f.data() + kHeaderLen + h.meta_len + 4, prefix));
  EXPECT_EQ(rsp.token(), std::string(10, 't'));
}

// Two frames and half of a third, fed in every possible split point.
TEST(SimFrame, CutterHandlesEverySplit) {
  const std::string stream = SampleFrame("one", 3) + SampleFrame("two", 300) + SampleFrame("x", 7);
  const size_t third = stream.size() - SampleFrame("x", 7).size();
  const std::string fed = stream.substr(0, third + 9);
  for (size_t cut = 0; cut <= fed.size(); ++cut) {
    FrameCutter c;
    std::vector<std::string> traces;
    Frame f;
    std::string err;
    for (const std::string& piece : {fed.substr(0, cut), fed.substr(cut)}) {
      c.Feed(piece.data(), piece.size());
      while (c.Next(&f, &err) == FrameCutter::Status::kFrame) {
        model::MetaData m;
        ASSERT_TRUE(m.ParseFromString(f.meta));
        traces.push_back(m.traceid());
      }
    }
    ASSERT_EQ(traces, (std::vector<std::string>{"one", "two"})) << "split at " << cut;
    EXPECT_EQ(c.buffered(), 9u);
  }
}

TEST(SimFrame, CutterByteByByte) {
  const std::string stream = SampleFrame("a", 5) + SampleFrame("b", 0);
  FrameCutter c;
  Frame f;
  std::string err;
  int frames = 0;
  for (char ch : stream) {
    c.Feed(&ch, 1);
    while (c.Next(&f, &err) == FrameCutter::Status::kFrame) ++frames;
  }
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(c.buffered(), 0u);
}

struct LengthCase {
  int32_t meta_len;
  int32_t payload_len;
  bool ok;
};
void PrintTo(const LengthCase& c, std::ostream* os) {
  *os << "meta " << c.meta_len << ", payload " << c.payload_len << (c.ok ? ", accepted" : ", refused");
}

class CutterLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(CutterLengths, RejectsNegativeAndOversizedSections) {
  const LengthCase c = GetParam();
  FrameHeader h;
  h.meta_len = c.meta_len;
  h.payload_len = c.payload_len;
  char b[kHeaderLen];
  EncodeHeader(h, b);
  FrameCutter cut;
  cut.Feed(b, sizeof b);
  Frame f;
  std::string err;
  const auto st = cut.Next(&f, &err);
  if (c.ok) {
    EXPECT_EQ(st, FrameCutter::Status::kNeedMore);
  } else {
    EXPECT_EQ(st, FrameCutter::Status::kError);
    EXPECT_FALSE(err.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CutterLengths,
                         ::testing::Values(LengthCase{0, 65535, true}, LengthCase{65535, 0, true},
                                           LengthCase{65536, 0, false},
                                           LengthCase{0, 65536, false}, LengthCase{-1, 0, false},
                                           LengthCase{0, -8, false}));

TEST(SimFrame, RequestBodyAcceptsEitherPrefixConvention) {
  struct Case {
    int32_t prefix;
    size_t body;
    bool ok;
  } cases[] = {{14, 10, true}, {10, 10, true}, {11, 10, false}, {-4, 10, false}, {4, 0, true}};
  for (const auto& c : cases) {
    std::string payload;
    AppendI32(&payload, c.prefix);
    payload.append(c.body, 'b');
    const char* body = nullptr;
    size_t len = 0;
    EXPECT_EQ(RequestBody(payload, &body, &len), c.ok) << c.prefix;
    if (c.ok) {
      EXPECT_EQ(len, c.body);
    }
  }
  const char* body;
  size_t len;
  EXPECT_FALSE(RequestBody("abc", &body, &len));
}

TEST(SimFrame, PayloadRoundTripPlainAndCompressed) {
  for (bool lz4 : {false, true}) {
    RecordPayloadBuilder b;
    b.Reset();
    std::vector<std::string> recs = {"", std::string(10, 'a'), std::string(5000, 'z'), "xyz"};
    for (const auto& r : recs) b.Add(r.data(), r.size());
    const std::string payload = b.Finish(lz4);
    if (lz4) {
      EXPECT_LT(payload.size(), b.raw_size());
      EXPECT_EQ(static_cast<size_t>(GetI32(payload.data())), b.raw_size());
    }
    std::vector<std::string> got;
    std::string scratch, err;
    ASSERT_TRUE(SplitRecordPayload(
        lz4 ? kFlagLz4 : 0, payload, &scratch, &err,
        [](void* ctx, const char* d, size_t n) {
          static_cast<std::vector<std::string>*>(ctx)->emplace_back(d, n);
        },
        &got))
        << err;
    EXPECT_EQ(got, recs);
  }
}

// Every record kind of both families: the hand-assembled record parses as a
// MarketData whose envelope, identity fields and sequence are right.
class RecordKinds : public ::testing::TestWithParam<int> {};

TEST_P(RecordKinds, TemplateEncodesAParsableRecordWithSequence) {
  const int kind = GetParam();
  StreamSpec s;
  s.record_kind = kind;
  s.data_type = 77;
  s.record_type = 0;
  RecordTemplate t;
  std::string err;
  ASSERT_TRUE(RecordTemplate::Build(s, "600000.SH", -5, &t, &err)) << err;
  for (int64_t seq : {int64_t{1}, int64_t{127}, int64_t{128}, int64_t{1} << 40}) {
    std::string bytes(t.EncodedSize(seq), '\0');
    t.Encode(seq, &bytes[0]);
    model::MarketData md;
    ASSERT_TRUE(md.ParseFromString(bytes)) << RecordKindName(kind);
    EXPECT_EQ(md.qelmessagechannel(), -5);
    EXPECT_EQ(md.qelrecordtype(), kind);
    EXPECT_EQ(RecordKindOf(md), kind);
    EXPECT_EQ(RecordSequence(md), seq) << RecordKindName(kind);
    // Identity fields of the record itself, read by name.
    const auto* f = model::MarketData::descriptor()->FindFieldByNumber(kind);
    const auto& rec = md.GetReflection()->GetMessage(md, f);
    const auto* d = rec.GetDescriptor();
    const auto* r = rec.GetReflection();
    EXPECT_EQ(r->GetString(rec, d->FindFieldByName("QELSecurityID")), "600000.SH");
    EXPECT_EQ(r->GetInt32(rec, d->FindFieldByName("QELDataType")), 77);
    EXPECT_EQ(r->GetInt32(rec, d->FindFieldByName("QELRecordType")), kind);
  }
}

// The opt-in send stamp: carried beside the sequence by the kinds that have
// the field, refused at Build by the others, absent when not asked for.
TEST_P(RecordKinds, SendStampIsCarriedWhereTheRecordHasTheField) {
  const int kind = GetParam();
  const std::set<int> stampable = {kQELStock, kQELBond,  kQELFund,  kQELIndex,  kQELOption,
                                   kQELFuture, kQELOrderbook, kMDStock, kMDBond, kMDFund,
                                   kMDIndex,  kMDOption, kMDFuture};
  StreamSpec s;
  s.record_kind = kind;
  RecordTemplate plain;
  std::string err;
  ASSERT_TRUE(RecordTemplate::Build(s, "600000.SH", 3, &plain, &err)) << err;
  EXPECT_FALSE(plain.has_stamp());
  s.send_stamp = StreamSpec::SendStamp::kMonotonic;
  RecordTemplate stamped;
  err.clear();
  if (stampable.count(kind) == 0) {
    EXPECT_FALSE(RecordTemplate::Build(s, "600000.SH", 3, &stamped, &err)) << RecordKindName(kind);
    EXPECT_NE(err.find(kStampFieldName), std::string::npos) << err;
    return;
  }
  ASSERT_TRUE(RecordTemplate::Build(s, "600000.SH", 3, &stamped, &err)) << err;
  ASSERT_TRUE(stamped.has_stamp());
  for (int64_t stamp : {int64_t{0}, int64_t{1}, int64_t{1} << 62, SendStampNow(s.send_stamp)}) {
    const int64_t seq = 300;
    std::string bytes(stamped.EncodedSize(seq, stamp), '\0');
    stamped.Encode(seq, &bytes[0], stamp);
    model::MarketData md;
    ASSERT_TRUE(md.ParseFromString(bytes)) << RecordKindName(kind);
    EXPECT_EQ(RecordSendStamp(md), stamp) << RecordKindName(kind);
    EXPECT_EQ(RecordSequence(md), seq) << RecordKindName(kind);
  }
  std::string bytes(plain.EncodedSize(5), '\0');
  plain.Encode(5, &bytes[0]);
  model::MarketData md;
  ASSERT_TRUE(md.ParseFromString(bytes));
  EXPECT_EQ(RecordSendStamp(md), 0) << "no stamp unless asked for";
}

INSTANTIATE_TEST_SUITE_P(AllKinds, RecordKinds, ::testing::ValuesIn(AllRecordKinds()),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return RecordKindName(i.param);
                         });

TEST(SimRecords, KindCatalogue) {
  EXPECT_EQ(AllRecordKinds().size(), 22u);
  for (int k : AllRecordKinds()) {
    EXPECT_EQ(RecordKindFromName(RecordKindName(k)), k);
    EXPECT_FALSE(SequenceFieldName(k).empty());
  }
  EXPECT_FALSE(IsValidRecordKind(15));
  EXPECT_EQ(RecordKindFromName("QELNothing"), 0);
  model::MarketData empty;
  EXPECT_EQ(RecordSequence(empty), -1);
}

TEST(SimRecords, QueueLevelsSetTheSnapshotDepth) {
  for (int levels : {0, 5, 10}) {
    StreamSpec s;
    s.record_kind = kQELStock;
    s.queue_levels = levels;
    RecordTemplate t;
    std::string err;
    ASSERT_TRUE(RecordTemplate::Build(s, "600000.SH", 1, &t, &err)) << err;
    std::string bytes(t.EncodedSize(1), '\0');
    t.Encode(1, &bytes[0]);
    model::MarketData md;
    ASSERT_TRUE(md.ParseFromString(bytes));
    EXPECT_EQ(md.qelstock().buypricequeue_size(), levels);
    EXPECT_EQ(md.qelstock().sellorderqtyqueue_size(), levels);
  }
  EXPECT_EQ(StreamSpec().queue_levels, 5);
}

TEST(SimRecords, SendStampClocks) {
  EXPECT_EQ(SendStampNow(StreamSpec::SendStamp::kNone), -1);
  const int64_t mono = SendStampNow(StreamSpec::SendStamp::kMonotonic);
  const int64_t real = SendStampNow(StreamSpec::SendStamp::kRealtime);
  EXPECT_GT(mono, 0);
  EXPECT_GT(real, int64_t{1600000000} * 1000000000);  // after September 2020
  EXPECT_GE(SendStampNow(StreamSpec::SendStamp::kMonotonic), mono);
  model::MarketData empty;
  EXPECT_EQ(RecordSendStamp(empty), -1);
}

TEST(SimScenario, ShippedDefaultScenario) {
  Scenario sc;
  std::string err;
  ASSERT_TRUE(LoadScenarioFile(QEL_FEED_SIM_DEFAULT_SCENARIO, &sc, &err)) << err;
  std::map<int, int> nodes_per_site;
  for (const auto& n : sc.nodes) {
    ++nodes_per_site[n.site_type];
    EXPECT_TRUE(n.tls);
  }
  EXPECT_EQ(nodes_per_site.size(), 2u);
  for (const auto& kv : nodes_per_site) EXPECT_EQ(kv.second, 2);
  EXPECT_TRUE(sc.discovery_tls);
  std::set<int> kinds;
  for (const auto& s : sc.streams) kinds.insert(s.record_kind);
  EXPECT_EQ(kinds, (std::set<int>{kQELStock, kQELIndex, kQELOrder, kQELTrade}));
  EXPECT_EQ(sc.users.at("demo"), "demo123");
  EXPECT_EQ(sc.bind_ip, "127.0.0.1");
  // Certificate paths are resolved next to the scenario file.
  EXPECT_EQ(sc.tls_cert_file.find('/'), 0u);
}

TEST(SimScenario, FullDocumentAndErrors) {
  Scenario sc;
  std::string err;
  ASSERT_TRUE(ParseScenarioJson(R"({
      "discovery": {"port": 1234, "tls": false},
      "users": {"u": "p"},
      "permitted_data_types": [3],
      "nodes": [{"site_type": 4, "priority": 9, "tls": false, "port": 0}],
      "streams": [{"site_type": 4, "data_type": 3, "record": 26, "channels": [7, 8],
                   "security_ids": ["A"], "rate_per_sec": 10.5, "batch": 5, "lz4": true,
                   "max_records": 100, "queue_levels": 10, "send_stamp": "monotonic"}],
      "pace_tick_us": 1000,
      "pace_max_backlog_ms": 3,
      "faults": {"refuse_subscribe": true, "split_write_bytes": 3,
                 "malformed_kind": "corrupt_lz4", "close_after_frames": 9,
                 "trickle_discovery_ms": 250, "trickle_query_ms": 40, "flood_query_other_frames": true,
                 "skip_index_every": 4, "skip_index_count": 3, "repeat_index_every": 6},
      "schedule": [{"at_ms": 500, "action": "stop_node", "node": 0},
                   {"at_ms": 900, "action": "set_faults",
                    "faults": {"no_heartbeat_response": true}},
                   {"at_ms": 1000, "action": "send_malformed", "site_type": 4,
                    "malformed_kind": "negative_length"}]
    })",
                                &sc, &err))
      << err;
  EXPECT_EQ(sc.discovery_port, 1234);
  ASSERT_EQ(sc.streams.size(), 1u);
  EXPECT_EQ(sc.streams[0].record_kind, kMDTrade);
  EXPECT_EQ(sc.streams[0].channels, (std::vector<int64_t>{7, 8}));
  EXPECT_DOUBLE_EQ(sc.streams[0].rate_per_sec, 10.5);
  EXPECT_EQ(sc.streams[0].max_records, 100);
  EXPECT_EQ(sc.streams[0].queue_levels, 10);
  EXPECT_EQ(sc.streams[0].send_stamp, StreamSpec::SendStamp::kMonotonic);
  EXPECT_EQ(sc.pace_tick_us, 1000);
  EXPECT_EQ(sc.pace_max_backlog_ms, 3);
  EXPECT_TRUE(sc.faults.refuse_subscribe);
  EXPECT_EQ(sc.faults.split_write_bytes, 3);
  EXPECT_EQ(sc.faults.malformed_kind, Malformed::kCorruptLz4);
  EXPECT_EQ(sc.faults.close_after_frames, 9);
  EXPECT_EQ(sc.faults.trickle_discovery_ms, 250);
  EXPECT_EQ(sc.faults.trickle_query_ms, 40);
  EXPECT_TRUE(sc.faults.flood_query_other_frames);
  EXPECT_EQ(sc.faults.skip_index_every, 4);
  EXPECT_EQ(sc.faults.skip_index_count, 3);
  EXPECT_EQ(sc.faults.repeat_index_every, 6);
  EXPECT_EQ(sc.permitted_data_types, (std::vector<int>{3}));
  ASSERT_EQ(sc.schedule.size(), 3u);
  EXPECT_EQ(sc.schedule[0].kind, ScheduledAction::Kind::kStopNode);
  EXPECT_EQ(sc.schedule[0].at_ms, 500);
  EXPECT_EQ(sc.schedule[1].kind, ScheduledAction::Kind::kSetFaults);
  EXPECT_TRUE(sc.schedule[1].faults.no_heartbeat_response);
  EXPECT_EQ(sc.schedule[2].kind, ScheduledAction::Kind::kSendMalformed);
  EXPECT_EQ(sc.schedule[2].site_type, 4);
  EXPECT_EQ(sc.schedule[2].malformed, Malformed::kNegativeLength);

  const char* bad[] = {
      "not json",
      "[]",
      R"({"nodes": 3})",
      R"({"nodes": [{"site_type": "x"}]})",
      R"({"nodes": [], "streams": [{"record": "Nope"}]})",
      R"({"nodes": [], "streams": [{"record": "QELStock", "channels": []}]})",
      R"({"nodes": [], "streams": [{"record": "QELStock", "channels": [2147483648]}]})",
      R"({"nodes": [], "faults": {"malformed_kind": "weird"}})",
      R"({"nodes": [{"port": 70000}]})",
      R"({"nodes": [], "schedule": [{"action": "explode"}]})",
      R"({"nodes": [], "streams": [{"record": "QELStock", "send_stamp": "sundial"}]})",
      R"({"nodes": [], "streams": [{"record": "QELStock", "queue_levels": 51}]})",
      R"({"nodes": [], "pace_tick_us": 0})",
      R"({"nodes": [], "pace_max_backlog_ms": 0})",
      R"({"nodes": [], "faults": {"trickle_query_ms": -1}})",
      R"({"nodes": [], "faults": {"skip_index_count": 0}})",
  };
  for (const char* text : bad) {
    Scenario s2;
    std::string e2;
    EXPECT_FALSE(ParseScenarioJson(text, &s2, &e2)) << text;
    EXPECT_FALSE(e2.empty()) << text;
  }
}

}  // namespace
