// The data disruptor: one decompress thread with its worker pool per site
// type, started and stopped together; a site type added while running gets
// its thread; a second Start replaces the pipeline instead of doubling it;
// destruction joins every thread and releases what is queued.
#include "disruptor/data_disruptor.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/base_config.h"
#include "disruptor/pipeline_support.h"
#include "support/recording_log.h"

namespace {

namespace qc = com::quor::kbr::client;
using qel_test::FrameSource;
using qel_test::MarketRecorder;
using qel_test::Payload;
using qel_test::SimRecord;
using qel_test::WaitUntil;

// Thread ids of this process right now.
std::set<std::string> ThreadIds() {
  std::set<std::string> ids;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ids.insert(e->d_name);
  }
  closedir(dir);
  return ids;
}

// A thread's timer slack in nanoseconds, or -1 when it cannot be read.
long TimerSlackOf(const std::string& tid) {
  std::ifstream in("/proc/" + tid + "/timerslack_ns");
  long slack = -1;
  in >> slack;
  return in ? slack : -1;
}

// A thread's name as the library set it.
std::string ThreadName(const std::string& tid) {
  std::ifstream in("/proc/self/task/" + tid + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Threads of this process right now.
int ThreadCount() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) n += e->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return n;
}

// Threads of this process before the test starts any. A thread is started and
// joined first: a sanitizer runtime starts its own helper thread with the
// process's first thread, which must not count against the pipeline.
int BaselineThreadCount() {
  std::thread([] {}).join();
  return ThreadCount();
}

bool ThreadCountBecomes(int n) {
  return WaitUntil([&] { return ThreadCount() == n; });
}

class DataDisruptorTest : public testing::Test {
 protected:
  DataDisruptorTest() { qel_test::QuietLogs(); }
  // Creates both queues of a site type, as the datafeed client does.
  FrameSource& AddQueues(uint32_t site) {
    m_queues[site] = std::make_shared<qc::RawDataQueue>();
    m_backs[site] = std::make_shared<qc::RawDataQueueBack>();
    m_links[site] = std::make_shared<qc::DecodeLink>();
    m_sources.push_back(std::make_unique<FrameSource>(*m_queues[site], *m_backs[site], m_links[site].get()));
    return *m_sources.back();
  }
  // One frame of one QELStock record on channel with sequence seq.
  static std::string Frame(int64_t channel, int64_t seq) {
    return Payload({SimRecord(qel::sim::kQELStock, channel, seq)}, false);
  }
  void TearDown() override {
    m_disruptor.reset();
    for (auto& source : m_sources) source->Reap();
    qc::DrainRawDataQueues(m_queues, m_backs);
    EXPECT_EQ(m_log.UnexpectedErrors(), "");
  }

  qel_test::RecordingLog m_log;
  MarketRecorder m_handle;
  qc::RawDataQueueMap m_queues;
  qc::RawDataQueueBackMap m_backs;
  qc::DecodeLinkMap m_links;  // shared with the disruptor as the connections share them
  std::vector<std::unique_ptr<FrameSource>> m_sources;
  std::unique_ptr<qc::DataDisruptor> m_disruptor;
  const int m_baseline = BaselineThreadCount();
};

TEST_F(DataDisruptorTest, OneDecompressThreadAndPoolPerSiteTypeStartAndStopTogether) {
  FrameSource& site1 = AddQueues(1);
  FrameSource& site2 = AddQueues(2);
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  EXPECT_EQ(ThreadCount(), m_baseline) << "construction starts nothing";
  m_disruptor->Start();
  EXPECT_TRUE(m_log.Contains("Create user callback threads, num=5"));
  EXPECT_TRUE(m_log.Contains("Create decompress threads, num=2"));
  EXPECT_TRUE(m_log.Contains("Create decompress threads finish"));
  // 2 decompress threads and 2 x 5 workers.
  EXPECT_TRUE(ThreadCountBecomes(m_baseline + 12)) << ThreadCount() - m_baseline;
  EXPECT_EQ(m_disruptor->DecompressThreadCount(), 2u);

  site1.Push(0, Frame(11, 1));
  site2.Push(0, Frame(22, 1));
  site1.Push(0, Frame(11, 2));
  ASSERT_TRUE(m_handle.WaitTotal(3));
  EXPECT_EQ(m_handle.Seqs(11), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(m_handle.Seqs(22), (std::vector<int64_t>{1}));
  // Each callback learns the site type whose pool delivers it; elsewhere -1.
  EXPECT_EQ(m_handle.SiteTypes(11), std::set<int>{1});
  EXPECT_EQ(m_handle.SiteTypes(22), std::set<int>{2});
  EXPECT_EQ(qc::CurrentMarketDataSiteType(), -1);
  EXPECT_TRUE(site1.WaitReturned(2));
  EXPECT_TRUE(site2.WaitReturned(1));

  // Stop ends the decompress threads; the workers stay until destruction.
  m_disruptor->Stop();
  EXPECT_TRUE(ThreadCountBecomes(m_baseline + 10));
  EXPECT_FALSE(m_disruptor->IsRunning());
  m_disruptor->Stop();
  EXPECT_EQ(m_log.Count("Stop decompress threads"), 2);
  EXPECT_EQ(m_log.Count("Stop decompress finish"), 2);
  m_disruptor.reset();
  EXPECT_TRUE(ThreadCountBecomes(m_baseline));
}

// Records already with the workers when Stop is called are still delivered.
TEST_F(DataDisruptorTest, StopLetsTheWorkersDeliverWhatTheyHold) {
  FrameSource& site = AddQueues(4);
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  m_handle.CloseGate();
  m_disruptor->Start();
  for (int i = 1; i <= 5; ++i) site.Push(0, Frame(3, i));
  // Every body back: every record is with a worker.
  ASSERT_TRUE(site.WaitReturned(5));
  m_disruptor->Stop();
  m_handle.OpenGate();
  ASSERT_TRUE(m_handle.WaitTotal(5));
  EXPECT_EQ(m_handle.Seqs(3), (std::vector<int64_t>{1, 2, 3, 4, 5}));
}

// A site type whose queues appear after Start gets its own thread, also when
// asked from several threads at once; its data is delivered.
TEST_F(DataDisruptorTest, SiteTypeAddedWhileRunningGetsItsThread) {
  m_log.ExpectError("No raw-data queue pair for site type 9");
  FrameSource& first = AddQueues(1);
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  EXPECT_FALSE(m_disruptor->AddSiteType(1)) << "not started yet";
  m_disruptor->Start();
  EXPECT_TRUE(ThreadCountBecomes(m_baseline + 6));

  // Queues are 64 MiB each: two site types keep the test's memory modest.
  FrameSource& late = AddQueues(3);
  std::atomic<int> added{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&] { added += m_disruptor->AddSiteType(3) ? 1 : 0; });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(added.load(), 3);
  EXPECT_EQ(m_disruptor->DecompressThreadCount(), 2u);
  EXPECT_TRUE(ThreadCountBecomes(m_baseline + 12)) << "exactly one more thread and pool";
  EXPECT_TRUE(m_disruptor->AddSiteType(1)) << "already consumed";
  EXPECT_FALSE(m_disruptor->AddSiteType(9)) << "no queues for it";

  late.Push(0, Frame(33, 1));
  first.Push(0, Frame(11, 1));
  ASSERT_TRUE(m_handle.WaitTotal(2));
  EXPECT_EQ(m_handle.Seqs(33), (std::vector<int64_t>{1}));
  EXPECT_EQ(m_handle.Seqs(11), (std::vector<int64_t>{1}));
  EXPECT_TRUE(late.WaitReturned(1));

  m_disruptor->Stop();
  EXPECT_FALSE(m_disruptor->AddSiteType(3)) << "a stopped pipeline stays stopped";
}

// A removed site type loses its thread and pool at once (its queues may then
// be released); the other site type keeps delivering.
TEST_F(DataDisruptorTest, RemovedSiteTypeStopsItsThreadAndPoolOnly) {
  FrameSource& kept = AddQueues(1);
  AddQueues(2);
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  m_disruptor->Start();
  ASSERT_TRUE(ThreadCountBecomes(m_baseline + 12));
  EXPECT_TRUE(m_disruptor->RemoveSiteType(2));
  EXPECT_FALSE(m_disruptor->HasSiteType(2));
  EXPECT_TRUE(ThreadCountBecomes(m_baseline + 6)) << "its decompress thread and workers end";
  EXPECT_FALSE(m_disruptor->RemoveSiteType(2)) << "nothing left to remove";
  kept.Push(0, Frame(11, 1));
  ASSERT_TRUE(m_handle.WaitTotal(1));
  EXPECT_EQ(m_handle.Seqs(11), (std::vector<int64_t>{1}));
  EXPECT_TRUE(m_disruptor->AddSiteType(2)) << "its queues are still there: it can come back";
}

// Every pipeline thread (the decompress thread and the workers) polls with a
// 1 microsecond timer slack, so its short idle sleep is not stretched by the
// default 50 microseconds.
// The decompress thread's back-pressure waits are short sleeps: it asks for a
// 1 us timer slack. Workers never sleep on a timer (they park until woken).
TEST_F(DataDisruptorTest, DecompressThreadUsesFineTimerSlack) {
  AddQueues(1);
  const std::set<std::string> before = ThreadIds();
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  m_disruptor->Start();
  ASSERT_TRUE(ThreadCountBecomes(m_baseline + 6));
  std::vector<std::string> started;
  for (const auto& tid : ThreadIds()) {
    if (before.count(tid) == 0) started.push_back(tid);
  }
  ASSERT_EQ(started.size(), 6u);
  std::string decompress;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& tid : started) {
      if (ThreadName(tid) == "qel-decomp-1") decompress = tid;
    }
    return !decompress.empty();
  }));
  EXPECT_TRUE(WaitUntil([&] { return TimerSlackOf(decompress) == 1000; }))
      << "thread " << decompress << " slack " << TimerSlackOf(decompress) << " ns";
}

// A second Start stops and replaces the pipeline: one consumer per queue,
// the same number of threads, and delivery goes on in order.
TEST_F(DataDisruptorTest, RepeatedStartReplacesThePipeline) {
  FrameSource& site = AddQueues(2);
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  m_disruptor->Start();
  site.Push(0, Frame(8, 1));
  ASSERT_TRUE(m_handle.WaitTotal(1));
  m_disruptor->Start();
  EXPECT_TRUE(ThreadCountBecomes(m_baseline + 6)) << ThreadCount() - m_baseline;
  EXPECT_EQ(m_disruptor->DecompressThreadCount(), 1u);
  for (int i = 2; i <= 4; ++i) site.Push(0, Frame(8, i));
  ASSERT_TRUE(m_handle.WaitTotal(4));
  EXPECT_EQ(m_handle.Seqs(8), (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_TRUE(site.WaitReturned(4));
}

// Destroying a started disruptor without Stop joins every thread; records
// queued behind a blocked callback are released, never delivered.
TEST_F(DataDisruptorTest, DestructionWithoutStopJoinsAllAndReleasesQueuedRecords) {
  FrameSource& site = AddQueues(1);
  m_disruptor = std::make_unique<qc::DataDisruptor>(&m_handle, m_queues, m_backs, &m_links);
  m_handle.CloseGate();
  m_disruptor->Start();
  for (int i = 1; i <= 20; ++i) site.Push(0, Frame(4, i));
  ASSERT_TRUE(site.WaitReturned(20));
  ASSERT_TRUE(WaitUntil([&] { return m_handle.Entered() == 1; }));

  std::thread destroyer([&] { m_disruptor.reset(); });
  // Only the worker inside the callback is left once every other thread has
  // been told to stop and has ended.
  const bool others_ended = ThreadCountBecomes(m_baseline + 2);  // + the destroyer
  m_handle.OpenGate();
  destroyer.join();
  EXPECT_TRUE(others_ended) << ThreadCount() - m_baseline;
  EXPECT_TRUE(ThreadCountBecomes(m_baseline));
  EXPECT_EQ(m_handle.Total(), 1);
}

}  // namespace
