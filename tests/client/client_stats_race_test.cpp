// Snapshots of the client's statistics taken in a tight loop on another
// thread while two site types stream at full speed: under ThreadSanitizer no
// race with the threads that keep the counters, and every counter only ever
// grows from one snapshot to the next.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client_stats.h"
#include "stats_fixture.h"

namespace qc = com::quor::kbr::client;
using qel_test::Eventually;

// ThreadSanitizer reads this binary's suppressions here. The callback
// workers' queues (moodycamel::ReaderWriterQueue) order their slots with
// standalone fences, which GCC's ThreadSanitizer does not model (the
// library's annotations for it are clang-only), so it reports their slot
// reads as races; reports with a frame in that queue are left out, every
// other one stands.
extern "C" const char* __tsan_default_suppressions() { return "race:moodycamel::ReaderWriterQueue\n"; }

namespace {

// The counters of a snapshot, in the order Violations names them.
std::vector<uint64_t> Counters(const qc::SiteTypeStats& s) {
  return {s.frames_received, s.bytes_received,  s.records_decoded,
          s.records_delivered, s.decode_failures, s.gaps,
          s.frames_missing,  s.duplicates_or_backwards, s.reader_pauses,
          s.reconnects,      s.raw_queue_high_water, static_cast<uint64_t>(s.last_frame_unix_ns)};
}

class ClientStatsRaceTest : public qel_test::ClientStatsTestBase {};

TEST_F(ClientStatsRaceTest, SnapshotsDuringFullSpeedStreamingAreMonotonic) {
  Run(TwoSiteTypes(/*max_records=*/0, /*lz4_on_site_2=*/true));

  std::atomic<bool> stop{false};
  std::atomic<int64_t> snapshots{0};
  std::vector<std::string> violations;  // written by the reader, read after the join
  std::thread reader([&] {
    std::map<int, std::vector<uint64_t>> last;
    while (!stop.load()) {
      std::vector<qc::SiteTypeStats> stats;
      if (qc::GetClientStats(m_client, &stats) != 0) {
        violations.push_back("GetClientStats failed");
        return;
      }
      for (const auto& st : stats) {
        const std::vector<uint64_t> now = Counters(st);
        auto it = last.find(st.site_type);
        if (it != last.end()) {
          for (size_t i = 0; i < now.size(); ++i) {
            if (now[i] < it->second[i] && violations.size() < 10) {
              violations.push_back("site type " + std::to_string(st.site_type) + " counter " + std::to_string(i) +
                                   " went from " + std::to_string(it->second[i]) + " to " +
                                   std::to_string(now[i]));
            }
          }
        }
        last[st.site_type] = now;
      }
      snapshots.fetch_add(1);
    }
  });
  // Enough records through both site types for the snapshots to overlap
  // decoding and delivery many times over.
  const bool flowed = Eventually([&] { return m_handle.records.load() >= 200000; }, std::chrono::milliseconds(120000));
  stop.store(true);
  reader.join();
  ASSERT_TRUE(flowed) << m_handle.records.load() << " records";
  EXPECT_GT(snapshots.load(), 100);
  EXPECT_TRUE(violations.empty()) << violations.front();
  const auto stats = Snapshot();
  ASSERT_EQ(stats.size(), 2u);
  for (const auto& st : stats) EXPECT_GT(st.records_delivered, 0u) << "site type " << st.site_type;
}

}  // namespace
