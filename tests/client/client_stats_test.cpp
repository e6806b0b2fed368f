// The client's statistics (GetClientStats) against the feed simulator on
// 127.0.0.1: after a finite run every count per site type equals what the
// simulator says it sent, and the faults the simulator injects show in the
// counters that name them, on their own site type only.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "client_stats.h"
#include "stats_fixture.h"

namespace qc = com::quor::kbr::client;
namespace qm = com::quor::qel::model;
namespace sim = qel::sim;
using qel_test::Eventually;
using qel_test::SentBySite;

namespace {

constexpr std::chrono::milliseconds kWait(60000);
constexpr int64_t kRecordsPerStream = 3000;

int64_t NowUnixNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class ClientStatsTest : public qel_test::ClientStatsTestBase {
 protected:
  // True once the client has taken every frame the simulator sent to each site
  // type (well-formed and malformed) and delivered what they held.
  bool AllTaken() {
    const auto sent = SentBySite(m_sim->Stats());
    const auto stats = Snapshot();
    if (stats.size() != 2 || sent.size() != 2) return false;
    for (const auto& st : stats) {
      const qel_test::SentToSite& s = sent.at(st.site_type);
      if (s.records < kRecordsPerStream) return false;  // the stream has not ended yet
      if (st.frames_received != static_cast<uint64_t>(s.md_frames + s.malformed)) return false;
      // Read before the decode counters: an empty queue means every frame taken was decoded.
      if (st.raw_queue_depth != 0) return false;
      if (st.records_delivered != st.records_decoded) return false;
    }
    return true;
  }
};

TEST_F(ClientStatsTest, CountsMatchWhatTheSimulatorSentPerSiteType) {
  const int64_t started = NowUnixNanos();
  Run(TwoSiteTypes(kRecordsPerStream, /*lz4_on_site_2=*/true));
  ASSERT_TRUE(Eventually([&] { return AllTaken(); }, kWait));
  // Every response and market-data frame has been read once the last frame
  // was; only a heartbeat answer may be on its way: wait for the bytes to match.
  ASSERT_TRUE(Eventually(
      [&] {
        const auto sent = SentBySite(m_sim->Stats());
        for (const auto& st : Snapshot()) {
          if (st.bytes_received != static_cast<uint64_t>(sent.at(st.site_type).bytes)) return false;
        }
        return true;
      },
      kWait));

  const auto sent = SentBySite(m_sim->Stats());
  const auto stats = Snapshot();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0].site_type, 1);
  EXPECT_EQ(stats[1].site_type, 2);
  uint64_t delivered = 0;
  for (const auto& st : stats) {
    SCOPED_TRACE("site type " + std::to_string(st.site_type));
    const qel_test::SentToSite& s = sent.at(st.site_type);
    EXPECT_EQ(st.connection_state, 2) << "logged in";
    EXPECT_EQ(st.node.rfind("127.0.0.1:", 0), 0u) << st.node;
    EXPECT_EQ(st.frames_received, static_cast<uint64_t>(s.md_frames));
    EXPECT_EQ(st.records_decoded, static_cast<uint64_t>(s.records));
    EXPECT_EQ(st.records_delivered, static_cast<uint64_t>(s.records));
    EXPECT_EQ(st.decode_failures, 0u);
    EXPECT_EQ(st.gaps, 0u);
    EXPECT_EQ(st.frames_missing, 0u);
    EXPECT_EQ(st.duplicates_or_backwards, 0u);
    EXPECT_EQ(st.reconnects, 0u);
    EXPECT_EQ(st.raw_queue_depth, 0u);
    EXPECT_GE(st.raw_queue_high_water, 1u);
    EXPECT_LE(st.raw_queue_high_water, st.frames_received);
    EXPECT_GE(st.last_frame_unix_ns, started);
    EXPECT_LE(st.last_frame_unix_ns, NowUnixNanos());
    // The simulator stamps every frame's SendTime: the delay is measured.
    EXPECT_GE(st.delay_p50_us, 0.0);
    EXPECT_GE(st.delay_p99_us, st.delay_p50_us);
    delivered += st.records_delivered;
  }
  EXPECT_EQ(static_cast<int64_t>(delivered), m_handle.records.load()) << "what the application was given";
}

// A fault the simulator injects on site type 2 only, and what it must add to
// that site type's counters (the other site type's stay clean).
struct FaultCase {
  const char* name;
  void (*apply)(sim::Faults&);
  std::vector<std::string> expected_errors;  // error lines the fault provokes
};

void CorruptLz4(sim::Faults& f) {
  f.malformed_after_frames = 10;
  f.malformed_kind = sim::Malformed::kCorruptLz4;
}
void TruncatedRecord(sim::Faults& f) {
  f.malformed_after_frames = 10;
  f.malformed_kind = sim::Malformed::kTruncatedRecord;
}
void UndecodableRecord(sim::Faults& f) {
  f.malformed_after_frames = 10;
  f.malformed_kind = sim::Malformed::kUndecodableRecord;
}
void SkipIndexes(sim::Faults& f) {
  f.skip_index_every = 7;
  f.skip_index_count = 3;
}
void RepeatIndexes(sim::Faults& f) { f.repeat_index_every = 5; }

class ClientStatsFaultTest : public ClientStatsTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(ClientStatsFaultTest, FaultShowsInItsOwnSiteTypesCounters) {
  const FaultCase& fault = GetParam();
  for (const std::string& line : fault.expected_errors) m_log.ExpectError(line);
  sim::Scenario s = TwoSiteTypes(kRecordsPerStream, /*lz4_on_site_2=*/true);
  fault.apply(s.faults);
  s.faults.only_site_type = 2;
  Run(s);
  ASSERT_TRUE(Eventually([&] { return AllTaken(); }, kWait));

  const auto sent = SentBySite(m_sim->Stats());
  const auto stats = Snapshot();
  ASSERT_EQ(stats.size(), 2u);
  const qc::SiteTypeStats& clean = stats[0];
  const qc::SiteTypeStats& faulty = stats[1];
  ASSERT_EQ(clean.site_type, 1);
  ASSERT_EQ(faulty.site_type, 2);
  EXPECT_EQ(clean.decode_failures + clean.gaps + clean.frames_missing + clean.duplicates_or_backwards, 0u);
  EXPECT_EQ(clean.records_delivered, static_cast<uint64_t>(sent.at(1).records));

  const qel_test::SentToSite& s2 = sent.at(2);
  EXPECT_EQ(faulty.decode_failures, static_cast<uint64_t>(s2.malformed)) << "one per malformed frame";
  EXPECT_EQ(faulty.gaps, static_cast<uint64_t>(s2.index_jumps));
  EXPECT_EQ(faulty.frames_missing, static_cast<uint64_t>(s2.indexes_skipped));
  // A malformed frame carries no ChannelIndex (0): behind its channel's frames.
  EXPECT_EQ(faulty.duplicates_or_backwards, static_cast<uint64_t>(s2.indexes_repeated + s2.malformed));
  EXPECT_GT(faulty.decode_failures + faulty.gaps + faulty.duplicates_or_backwards, 0u) << "the fault happened";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ClientStatsFaultTest,
    testing::Values(FaultCase{"CorruptLz4", &CorruptLz4, {"ProcessRawData Decompressed market data failed!"}},
                    FaultCase{"TruncatedRecord", &TruncatedRecord, {}},
                    FaultCase{"UndecodableRecord", &UndecodableRecord,
                              {"ProcessRawData Decode market data failed!", "ParseFromArray failed!"}},
                    FaultCase{"SkipIndexes", &SkipIndexes, {}},
                    FaultCase{"RepeatIndexes", &RepeatIndexes, {}}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Not a client of this library, for the refusal below.
class OtherClient : public qc::ClientInterface {
 public:
  int LoginByServiceDiscovery(const std::string&, const std::string&, const std::string&, int,
                              std::vector<std::string>) override {
    return 0;
  }
  int SubscribeByDatatype(qc::ESubscribeActionType, qc::SubscribeByDataType) override { return 0; }
  int SubscribeById(qc::ESubscribeActionType, qc::SubscribeById) override { return 0; }
};

TEST(ClientStatsRefusal, NullOrForeignClientIsRefusedAndOutIsLeftAlone) {
  std::vector<qc::SiteTypeStats> out(1);
  out[0].site_type = 42;
  OtherClient other;
  EXPECT_EQ(qc::GetClientStats(nullptr, &out), -1029);
  EXPECT_EQ(qc::GetClientStats(&other, &out), -1029);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].site_type, 42);
  EXPECT_EQ(qc::GetClientStats(&other, nullptr), -1029);
}

}  // namespace
