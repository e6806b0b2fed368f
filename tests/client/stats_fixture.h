// A client logged in to the simulator on 127.0.0.1 with two site types
// streaming, for the tests of the client's statistics; plus the simulator's
// own figures summed per site type to compare them with. Test thread only.
#ifndef QEL_TESTS_CLIENT_STATS_FIXTURE_H
#define QEL_TESTS_CLIENT_STATS_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "client/ventrix_tcp_client.h"
#include "client_factory.h"
#include "client_fixture.h"
#include "client_stats.h"
#include "feed_sim.h"
#include "support/recording_handle.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"

namespace qel_test {

// What the simulator sent to the datafeed connections of one site type.
struct SentToSite {
  int64_t md_frames = 0;
  int64_t records = 0;
  int64_t bytes = 0;
  int64_t malformed = 0;
  int64_t index_jumps = 0;
  int64_t indexes_skipped = 0;
  int64_t indexes_repeated = 0;
};

inline std::map<int, SentToSite> SentBySite(const qel::sim::SimulatorStats& stats) {
  std::map<int, SentToSite> out;
  for (const auto& conn : stats.connections) {
    if (conn.discovery) continue;
    SentToSite& site = out[conn.site_type];
    site.md_frames += conn.md_frames_sent;
    site.records += conn.records_sent;
    site.bytes += conn.bytes_sent;
    site.malformed += conn.malformed_sent;
    for (const auto& ch : conn.channels) {
      site.index_jumps += ch.second.index_jumps;
      site.indexes_skipped += ch.second.indexes_skipped;
      site.indexes_repeated += ch.second.indexes_repeated;
    }
  }
  return out;
}

// Counts the records the application is given. Callback workers.
class CountingRecords : public RecordingHandle {
 public:
  void OnMarketData(const com::quor::qel::model::MarketData&) override { records.fetch_add(1); }
  std::atomic<int64_t> records{0};
};

class ClientStatsTestBase : public testing::Test {
 protected:
  void SetUp() override { ResetClientConfig(m_dir); }
  void TearDown() override {
    com::quor::kbr::client::ClientFactory::Uninstance();
    if (m_sim) m_sim->Stop();
    EXPECT_EQ(m_log.UnexpectedErrors(), "");
  }

  // Site types 1 and 2, one stream each on two channels; max_records per
  // stream and connection (0: without end), as fast as the socket takes.
  static qel::sim::Scenario TwoSiteTypes(int64_t max_records, bool lz4_on_site_2) {
    qel::sim::Scenario s;
    s.users = {{"alice", "s3cret"}};
    s.nodes = {{1, 20, false, 0}, {2, 20, false, 0}};
    for (int site : {1, 2}) {
      qel::sim::StreamSpec st;
      st.site_type = site;
      st.data_type = site == 1 ? qel::sim::kQELStock : qel::sim::kQELTrade;
      st.record_kind = st.data_type;
      st.channels = {100 * site + 1, 100 * site + 2};
      st.security_ids = {"600000.SH", "000001.SZ"};
      st.batch = 20;
      st.lz4 = site == 2 && lz4_on_site_2;
      st.max_records = max_records;
      s.streams.push_back(st);
    }
    return s;
  }

  // Starts the simulator, logs in and subscribes both streams.
  void Run(qel::sim::Scenario s) {
    m_sim = StartSimulator(std::move(s));
    ASSERT_NE(m_sim, nullptr);
    m_client = CreateTestClient(&m_handle);
    ASSERT_NE(m_client, nullptr);
    ASSERT_EQ(m_client->LoginByServiceDiscovery("alice", "s3cret", "127.0.0.1", m_sim->DiscoveryPort(), {}), 0);
    com::quor::qel::model::SubscribeByDataType by_type;
    by_type.add_qeldatatypes(qel::sim::kQELStock);
    by_type.add_qeldatatypes(qel::sim::kQELTrade);
    ASSERT_EQ(m_client->SubscribeByDatatype(com::quor::qel::model::COVERAGE, by_type), 0);
  }

  std::vector<com::quor::kbr::client::SiteTypeStats> Snapshot() {
    std::vector<com::quor::kbr::client::SiteTypeStats> out;
    EXPECT_EQ(com::quor::kbr::client::GetClientStats(m_client, &out), 0);
    return out;
  }

  RecordingLog m_log;
  TempDir m_dir;
  CountingRecords m_handle;
  std::unique_ptr<qel::sim::FeedSimulator> m_sim;
  com::quor::kbr::client::VentrixTcpClient* m_client = nullptr;
};

}  // namespace qel_test

#endif  // QEL_TESTS_CLIENT_STATS_FIXTURE_H
