// Callback worker pool: which worker a key selects, per-key order under load,
// stopping with records still queued, callbacks that throw, and the bound on
// a worker's queue that makes the producer wait instead of growing memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <ostream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/library_threads.h"
#include "config/base_config.h"
#include "disruptor/ThreadPool.h"
#include "support/recording_log.h"

namespace {

namespace qc = com::quor::kbr::client;
using qc::CThreadPool;
using qc::MarketDataType;

constexpr auto kPatience = std::chrono::seconds(20);

// Polls cond until it holds or the generous bound passes.
bool Eventually(const std::function<bool()>& cond) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

// A heap record as the decompress thread makes it: the key in the channel,
// a per-key sequence number in the record type.
MarketDataType* NewRecord(int64_t key, int32_t seq) {
  auto* record = new MarketDataType();
  record->set_qelmessagechannel(key);
  record->set_qelrecordtype(seq);
  return record;
}

// Releases every record the workers have handed back, as the decompress
// thread does; returns how many there were.
int ReclaimAll(CThreadPool& pool) {
  int n = 0;
  for (size_t i = 0; i < pool.WorkerCount(); ++i) {
    while (MarketDataType* record = pool.GetTask(static_cast<int>(i))) {
      delete record;
      ++n;
    }
  }
  return n;
}

// Records per key the sequence numbers delivered and the delivering thread.
// Any number of workers may call it at once.
class OrderHandle : public qc::MessageHandle {
 public:
  void OnMarketData(const MarketDataType& data) override {
    std::lock_guard<std::mutex> lock(m_seen_mutex);
    Seen& seen = m_seen[data.qelmessagechannel()];
    seen.seqs.push_back(data.qelrecordtype());
    seen.threads.insert(std::this_thread::get_id());
    if (!qc::IsLibraryThread()) ++m_unmarked;
    ++m_total;
  }
  int Total() const {
    std::lock_guard<std::mutex> lock(m_seen_mutex);
    return m_total;
  }
  std::vector<int32_t> Seqs(int64_t key) const {
    std::lock_guard<std::mutex> lock(m_seen_mutex);
    auto it = m_seen.find(key);
    return it == m_seen.end() ? std::vector<int32_t>{} : it->second.seqs;
  }
  size_t ThreadsOf(int64_t key) const {
    std::lock_guard<std::mutex> lock(m_seen_mutex);
    auto it = m_seen.find(key);
    return it == m_seen.end() ? 0 : it->second.threads.size();
  }
  // Callbacks that ran on a thread not marked as the library's own.
  int Unmarked() const {
    std::lock_guard<std::mutex> lock(m_seen_mutex);
    return m_unmarked;
  }

 private:
  struct Seen {
    std::vector<int32_t> seqs;
    std::set<std::thread::id> threads;
  };
  mutable std::mutex m_seen_mutex;
  std::map<int64_t, Seen> m_seen;
  int m_unmarked = 0;
  int m_total = 0;
};

// Blocks the callback of the first record until Open(); later records pass
// through. Counts and orders what it was given.
// Holds the first callback (or, with hold_every_callback, every callback)
// until the gate opens.
class GateHandle : public OrderHandle {
 public:
  explicit GateHandle(bool hold_every_callback = false) : m_hold_every(hold_every_callback) {}
  void OnMarketData(const MarketDataType& data) override {
    {
      std::unique_lock<std::mutex> lock(m_gate_mutex);
      if (m_hold_every || m_entered == 0) {
        ++m_entered;
        m_gate_cv.notify_all();
        m_gate_cv.wait(lock, [this] { return m_open; });
      }
    }
    OrderHandle::OnMarketData(data);
  }
  bool Entered() { return EnteredCount() > 0; }
  // Callbacks held at the gate so far (passed through it, once open).
  int EnteredCount() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    return m_entered;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_gate_mutex);
    m_open = true;
    m_gate_cv.notify_all();
  }

 private:
  const bool m_hold_every;
  std::mutex m_gate_mutex;  // guards the gate state below
  std::condition_variable m_gate_cv;
  int m_entered = 0;
  bool m_open = false;
};

// Lets callbacks through one permit at a time; Open() lets every later one
// through. Counts and orders what it was given.
class TurnstileHandle : public OrderHandle {
 public:
  void OnMarketData(const MarketDataType& data) override {
    {
      std::unique_lock<std::mutex> lock(m_permit_mutex);
      m_permit_cv.wait(lock, [this] { return m_open || m_permits > 0; });
      if (!m_open) --m_permits;
    }
    OrderHandle::OnMarketData(data);
  }
  void Release(int permits) {
    std::lock_guard<std::mutex> lock(m_permit_mutex);
    m_permits += permits;
    m_permit_cv.notify_all();
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_permit_mutex);
    m_open = true;
    m_permit_cv.notify_all();
  }

 private:
  std::mutex m_permit_mutex;  // guards the permits and m_open
  std::condition_variable m_permit_cv;
  int m_permits = 0;
  bool m_open = false;
};

class PoolTest : public testing::Test {
 protected:
  void SetUp() override {
    qc::BaseConfig::GetInstance().CloseFileLog();
    qc::BaseConfig::GetInstance().CloseCoutLog();
  }
  void TearDown() override { EXPECT_EQ(log.UnexpectedErrors(), ""); }

  qel_test::RecordingLog log;
};

// ---------------------------------------------------------------- key mapping

struct KeyCase {
  const char* name;
  uint32_t workers;
  int64_t key;
  int expected_worker;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class PoolKeyMapping : public PoolTest, public testing::WithParamInterface<KeyCase> {};

// The worker a record went to is the one whose return queue it comes back on.
TEST_P(PoolKeyMapping, RecordIsDeliveredByTheWorkerOfItsKey) {
  const KeyCase& c = GetParam();
  OrderHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(c.workers, 64, &handle), 0);
  ASSERT_EQ(pool.WorkerCount(), c.workers);
  MarketDataType* record = NewRecord(c.key, 1);
  ASSERT_TRUE(pool.AddTask(c.key, record));
  pool.Flush();  // the decode thread wakes the workers once per frame

  int came_back_on = -1;
  ASSERT_TRUE(Eventually([&] {
    for (uint32_t i = 0; i < c.workers; ++i) {
      if (MarketDataType* back = pool.GetTask(static_cast<int>(i))) {
        EXPECT_EQ(back, record);
        delete back;
        came_back_on = static_cast<int>(i);
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(came_back_on, c.expected_worker);
  EXPECT_EQ(CThreadPool::WorkerIndex(c.key, c.workers), static_cast<size_t>(c.expected_worker));
  EXPECT_EQ(handle.Seqs(c.key), std::vector<int32_t>{1});
}

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Keys, PoolKeyMapping,
    testing::Values(KeyCase{"five_key_7", 5, 7, 2}, KeyCase{"five_key_minus_7", 5, -7, 2},
                    KeyCase{"five_key_12", 5, 12, 2}, KeyCase{"five_key_0", 5, 0, 0},
                    KeyCase{"five_key_minus_1", 5, -1, 1}, KeyCase{"five_key_minus_5", 5, -5, 0},
                    // |INT64_MIN| = 2^63, and 2^63 mod 5 = 3
                    KeyCase{"five_key_int64_min", 5, kMin, 3}, KeyCase{"five_key_int64_max", 5, kMax, 2},
                    KeyCase{"one_key_int64_min", 1, kMin, 0}, KeyCase{"one_key_minus_1", 1, -1, 0},
                    KeyCase{"one_key_0", 1, 0, 0}, KeyCase{"two_key_int64_min", 2, kMin, 0},
                    KeyCase{"three_key_int64_min", 3, kMin, 2}, KeyCase{"seven_key_int64_min", 7, kMin, 1}),
    [](const testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(PoolTest, PoolWithoutWorkersReleasesTheRecordUndelivered) {
  CThreadPool pool;
  ASSERT_EQ(pool.Init(0, 64, nullptr), 0);
  EXPECT_FALSE(pool.AddTask(3, NewRecord(3, 1)));  // released here; the leak check watches
  EXPECT_EQ(pool.GetTask(0), nullptr);
}

TEST_F(PoolTest, GetTaskOutsideTheWorkersReturnsNull) {
  OrderHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(3, 64, &handle), 0);
  EXPECT_EQ(pool.GetTask(-1), nullptr);
  EXPECT_EQ(pool.GetTask(3), nullptr);
  EXPECT_EQ(pool.GetTask(1000), nullptr);
}

// ------------------------------------------------------------------- ordering

// The producer adds records of several keys as the decompress thread does,
// reclaiming delivered records after each; two workers deliver them.
TEST_F(PoolTest, TwoWorkersKeepEveryKeysOrderUnderLoad) {
  const std::vector<int64_t> keys = {0, 1, 2, 3, -1, -2, kMin, kMax, 12345, -98765};
  constexpr int kPerKey = 20000;
  OrderHandle handle;
  CThreadPool pool;
  // Small queues so that the producer also meets the bound under load.
  ASSERT_EQ(pool.Init(2, 1024, &handle), 0);

  for (int seq = 1; seq <= kPerKey; ++seq) {
    for (int64_t key : keys) {
      ASSERT_TRUE(pool.AddTask(key, NewRecord(key, seq)));
      pool.Flush();
      for (int w = 0; w < 2; ++w) delete pool.GetTask(w);
    }
  }
  const int total = kPerKey * static_cast<int>(keys.size());
  ASSERT_TRUE(Eventually([&] { return handle.Total() == total; })) << handle.Total();
  for (MarketDataType* record : pool.Stop()) delete record;

  std::vector<int32_t> expected(kPerKey);
  for (int i = 0; i < kPerKey; ++i) expected[static_cast<size_t>(i)] = i + 1;
  for (int64_t key : keys) {
    EXPECT_EQ(handle.Seqs(key), expected) << "key " << key;
    EXPECT_EQ(handle.ThreadsOf(key), 1u) << "key " << key;
  }
}

// The workers' thread set-up, as every callback sees it: the library-thread
// mark, so that ClientFactory::Uninstance called from inside a callback is
// refused instead of joining the thread it runs on.
TEST_F(PoolTest, CallbacksRunOnLibraryThreads) {
  OrderHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(2, 64, &handle), 0);
  ASSERT_TRUE(pool.AddTask(0, NewRecord(0, 1)));
  pool.Flush();
  ASSERT_TRUE(pool.AddTask(1, NewRecord(1, 1)));
  pool.Flush();
  ASSERT_TRUE(Eventually([&] { return handle.Total() == 2; }));
  EXPECT_EQ(handle.Unmarked(), 0) << "callbacks ran on threads not marked as the library's";
  ReclaimAll(pool);
}

// ------------------------------------------------------------------- stopping

enum class StopBy { kStop, kDestructor };

class PoolStopWithQueuedRecords : public PoolTest, public testing::WithParamInterface<StopBy> {};

// The first record's callback is still running when the pool is stopped; ten
// more wait in the queue. Stopping waits for that callback, delivers nothing
// more, and every record comes back (Stop) or is released (destructor).
TEST_P(PoolStopWithQueuedRecords, QueuedRecordsComeBackUndelivered) {
  GateHandle handle;
  auto pool = std::make_unique<CThreadPool>();
  ASSERT_EQ(pool->Init(1, 64, &handle), 0);
  std::set<MarketDataType*> added;
  for (int seq = 1; seq <= 11; ++seq) {
    MarketDataType* record = NewRecord(9, seq);
    added.insert(record);
    ASSERT_TRUE(pool->AddTask(9, record));
    pool->Flush();
    if (seq == 1) {
      ASSERT_TRUE(Eventually([&] { return handle.Entered(); }));
    }
  }

  std::vector<MarketDataType*> returned;
  CThreadPool* stopping_pool = pool.get();  // alive until the gate opens
  std::thread stopper([&] {
    if (GetParam() == StopBy::kStop) {
      returned = pool->Stop();
    } else {
      pool.reset();
    }
  });
  // Once the pool reports stopping, every worker has been told to end.
  const bool told = Eventually([&] { return stopping_pool->IsStopping(); });
  handle.Open();
  stopper.join();
  ASSERT_TRUE(told);

  EXPECT_EQ(handle.Total(), 1);
  EXPECT_EQ(handle.Seqs(9), std::vector<int32_t>{1});
  if (GetParam() == StopBy::kStop) {
    // The ten undelivered records and the delivered one not yet reclaimed.
    EXPECT_EQ(std::set<MarketDataType*>(returned.begin(), returned.end()), added);
    EXPECT_EQ(returned.size(), added.size());
    for (MarketDataType* record : returned) delete record;
    EXPECT_FALSE(pool->AddTask(9, NewRecord(9, 12)));  // refused and released
    pool.reset();
    EXPECT_EQ(handle.Total(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, PoolStopWithQueuedRecords, testing::Values(StopBy::kStop, StopBy::kDestructor),
                         [](const testing::TestParamInfo<StopBy>& info) {
                           return std::string(info.param == StopBy::kStop ? "Stop" : "Destructor");
                         });

// ----------------------------------------------------------- faulty callbacks

// Throws a standard exception for every third record and a non-standard one
// for the records after those; records its calls first.
class ThrowingHandle : public OrderHandle {
 public:
  void OnMarketData(const MarketDataType& data) override {
    OrderHandle::OnMarketData(data);
    if (data.qelrecordtype() % 3 == 0) throw std::runtime_error("record rejected by the application");
    if (data.qelrecordtype() % 3 == 1) throw 42;
  }
};

TEST_F(PoolTest, ThrowingCallbackIsLoggedAndTheNextRecordIsDelivered) {
  log.ExpectError("OnMarketData threw");
  ThrowingHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(2, 64, &handle), 0);
  constexpr int kRecords = 30;
  int returned = 0;
  for (int seq = 1; seq <= kRecords; ++seq) {
    ASSERT_TRUE(pool.AddTask(5, NewRecord(5, seq)));
    pool.Flush();
  }
  ASSERT_TRUE(Eventually([&] {
    returned += ReclaimAll(pool);
    return returned == kRecords;
  })) << returned;
  std::vector<int32_t> expected;
  for (int seq = 1; seq <= kRecords; ++seq) expected.push_back(seq);
  EXPECT_EQ(handle.Seqs(5), expected);
  EXPECT_EQ(log.Count("OnMarketData threw an exception on callback worker 1: record rejected by the application"),
            kRecords / 3);
  EXPECT_EQ(log.Count("OnMarketData threw a non-standard exception on callback worker 1"), kRecords / 3);
}

TEST_F(PoolTest, WorkerWithoutCallbackObjectEndsAndRefusesLaterRecords) {
  log.ExpectError("Callback handle is nullptr.");
  CThreadPool pool;
  ASSERT_EQ(pool.Init(2, 64, nullptr), 0);
  ASSERT_TRUE(pool.AddTask(0, NewRecord(0, 1)));
  pool.Flush();
  ASSERT_TRUE(pool.AddTask(1, NewRecord(1, 1)));
  pool.Flush();
  ASSERT_TRUE(Eventually([&] { return log.Count("Callback handle is nullptr.") == 2; }));
  // Both workers have ended: nothing could deliver a record any more.
  ASSERT_TRUE(Eventually([&] { return !pool.AddTask(0, NewRecord(0, 2)); }));
  EXPECT_FALSE(pool.AddTask(1, NewRecord(1, 2)));
  EXPECT_EQ(ReclaimAll(pool), 0);
}

// ---------------------------------------------------------------------- bound

struct BoundCase {
  const char* name;
  uint32_t queue_size;
  uint32_t max_queued;  // 0 = the queue size
  int bound;
};

void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class PoolBound : public PoolTest, public testing::WithParamInterface<BoundCase> {};

// The only worker is held in its first callback. The producer fills the
// queue up to the bound and then waits for the worker rather than queue
// more; once the worker moves on, every record is delivered in order.
TEST_P(PoolBound, ProducerWaitsAtTheBoundInsteadOfGrowingTheQueue) {
  const BoundCase& c = GetParam();
  constexpr int kRecords = 200;
  GateHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(1, c.queue_size, &handle, c.max_queued), 0);
  std::atomic<int> added{0};
  std::thread producer([&] {
    for (int seq = 1; seq <= kRecords; ++seq) {
      if (!pool.AddTask(4, NewRecord(4, seq))) return;
      pool.Flush();
      ReclaimAll(pool);
      ++added;
    }
  });
  // One record in the callback, c.bound in the queue.
  ASSERT_TRUE(Eventually([&] { return added.load() == c.bound + 1; })) << added.load();
  // Give an unbounded queue every chance to show itself.
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(added.load(), c.bound + 1);
  }
  // One stall, logged when it started; it has not ended.
  const std::string held = "Callback workers held " + std::to_string(c.bound) + " queued records: ";
  // The producer logs the start on its next try for room, which a loaded machine may delay.
  EXPECT_TRUE(Eventually([&] { return log.Count(held + "decompress thread waits for worker 0") == 1; }));
  EXPECT_EQ(log.Count("decompress thread waited"), 0);
  handle.Open();
  producer.join();
  EXPECT_EQ(added.load(), kRecords);
  ASSERT_TRUE(Eventually([&] { return handle.Total() == kRecords; }));
  std::vector<int32_t> expected;
  for (int seq = 1; seq <= kRecords; ++seq) expected.push_back(seq);
  EXPECT_EQ(handle.Seqs(4), expected);
  for (MarketDataType* record : pool.Stop()) delete record;
  // Every stall that started has ended by Stop, each with its own line.
  EXPECT_GE(log.Count(held + "decompress thread waited "), 1);
  EXPECT_EQ(log.Count(held + "decompress thread waited "), log.Count(held + "decompress thread waits for worker"));
}

// A callback slower than the feed keeps the queue at the bound for the
// whole run: every record after the first few waits for room. The stall is
// one warning when it starts and one when it ends (with how long it lasted
// and how many records waited), not a line per record.
TEST_F(PoolTest, LongStallIsLoggedWhenItStartsAndWhenItEnds) {
  constexpr int kRecords = 200;
  constexpr uint32_t kBound = 8;
  TurnstileHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(1, 64, &handle, kBound), 0);
  std::atomic<int> added{0};
  std::thread producer([&] {
    for (int seq = 1; seq <= kRecords; ++seq) {
      if (!pool.AddTask(3, NewRecord(3, seq))) return;
      pool.Flush();
      ReclaimAll(pool);
      ++added;
    }
  });
  // One record in the callback, kBound queued.
  ASSERT_TRUE(Eventually([&] { return added.load() == static_cast<int>(kBound) + 1; })) << added.load();
  // One callback at a time, the next only once the producer has filled the
  // place it freed: the queue never drains while records remain.
  for (int next = static_cast<int>(kBound) + 2; next <= kRecords; ++next) {
    handle.Release(1);
    ASSERT_TRUE(Eventually([&] { return added.load() >= next; })) << added.load() << " of " << next;
  }
  producer.join();
  const std::string held = "Callback workers held " + std::to_string(kBound) + " queued records: ";
  EXPECT_EQ(log.Count("Callback workers held"), 1) << "the stall is still on: only its start is logged";
  EXPECT_EQ(log.Count(held + "decompress thread waits for worker 0"), 1);

  handle.Open();
  ASSERT_TRUE(Eventually([&] { return handle.Total() == kRecords; }));
  for (MarketDataType* record : pool.Stop()) delete record;
  EXPECT_EQ(log.Count("Callback workers held"), 2);
  EXPECT_EQ(log.Count(held + "decompress thread waited "), 1);
  // The end line names how many records waited: at least the first after the
  // bound, at most every record after it.
  unsigned long long waited = 0;
  double ms = -1;
  for (const std::string& line : log.LinesWith("decompress thread waited ")) {
    const char* at = line.c_str() + line.find("decompress thread waited ");
    ASSERT_EQ(std::sscanf(at, "decompress thread waited %lf ms, %llu records waited", &ms, &waited), 2) << line;
  }
  EXPECT_GE(ms, 0.0);
  EXPECT_GE(waited, 1u);
  EXPECT_LE(waited, static_cast<unsigned long long>(kRecords - kBound));
  std::vector<int32_t> expected;
  for (int seq = 1; seq <= kRecords; ++seq) expected.push_back(seq);
  EXPECT_EQ(handle.Seqs(3), expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, PoolBound,
                         testing::Values(BoundCase{"default_is_the_queue_room", 8, 0, 8},
                                         BoundCase{"grows_past_the_room_up_to_the_bound", 8, 32, 32},
                                         BoundCase{"bound_below_the_room", 64, 16, 16}),
                         [](const testing::TestParamInfo<BoundCase>& info) { return std::string(info.param.name); });

// The bound holds for the pool as a whole: with several slow workers the
// records waiting in all their queues together stay at the bound, so memory
// does not grow with the number of busy keys.
TEST_F(PoolTest, BoundCoversTheRecordsOfEveryWorkerTogether) {
  constexpr int kRecords = 200;
  constexpr uint32_t kBound = 16;
  GateHandle handle(/*hold_every_callback=*/true);
  CThreadPool pool;
  ASSERT_EQ(pool.Init(4, 64, &handle, kBound), 0);
  std::atomic<int> added{0};
  std::thread producer([&] {
    for (int seq = 1; seq <= kRecords; ++seq) {
      const int64_t key = seq % 4;  // one key per worker
      if (!pool.AddTask(key, NewRecord(key, seq))) return;
      pool.Flush();
      ReclaimAll(pool);
      ++added;
    }
  });
  // Four records in callbacks, kBound in the queues.
  ASSERT_TRUE(Eventually([&] { return handle.EnteredCount() == 4 && added.load() == static_cast<int>(kBound) + 4; }))
      << added.load();
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(added.load(), static_cast<int>(kBound) + 4);
  }
  handle.Open();
  producer.join();
  ASSERT_TRUE(Eventually([&] { return handle.Total() == kRecords; }));
  for (int64_t key = 0; key < 4; ++key) {
    std::vector<int32_t> expected;
    for (int seq = 1; seq <= kRecords; ++seq) {
      if (seq % 4 == key) expected.push_back(seq);
    }
    EXPECT_EQ(handle.Seqs(key), expected) << key;
  }
  EXPECT_GE(log.Count("Callback workers held " + std::to_string(kBound) + " queued records"), 1);
  for (MarketDataType* record : pool.Stop()) delete record;
}

// A producer waiting at the bound gives up once the pool is asked to stop:
// its record is refused (and released), as is every later one.
TEST_F(PoolTest, StopRequestEndsTheProducersWaitAtTheBound) {
  GateHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(1, 4, &handle), 0);
  std::atomic<int> accepted{0};
  std::atomic<int> refused{0};
  std::atomic<bool> producer_done{false};
  std::thread producer([&] {
    for (int seq = 1; seq <= 50; ++seq) {
      if (pool.AddTask(2, NewRecord(2, seq))) {
        ++accepted;
      } else {
        ++refused;
      }
      pool.Flush();
    }
    producer_done = true;
  });
  ASSERT_TRUE(Eventually([&] { return accepted.load() == 5; }));
  EXPECT_FALSE(producer_done.load());
  pool.RequestStop();
  producer.join();
  EXPECT_EQ(accepted.load(), 5);
  EXPECT_EQ(refused.load(), 45);
  EXPECT_EQ(log.Count("record not queued (stopping)"), 1);
  handle.Open();
  std::vector<MarketDataType*> left = pool.Stop();
  // Nobody reclaimed: the five accepted records come back, delivered or not.
  EXPECT_EQ(left.size(), 5u);
  for (MarketDataType* record : left) delete record;
  ASSERT_FALSE(handle.Seqs(2).empty());
  EXPECT_EQ(handle.Seqs(2).front(), 1);
}

// --------------------------------------------------------- the wake-up protocol
//
// Workers park when idle and are woken once per Flush (or per kNotifyBatch
// records). Each case runs with workers that park at once (no spin, no
// yield: every gap between batches is a park, the widest window for a lost
// wake-up) and with the default back-off.

struct WakeCase {
  const char* name;
  qc::IdleSettings idle;
};

void PrintTo(const WakeCase& c, std::ostream* os) { *os << c.name; }

class PoolWakeProtocol : public PoolTest, public testing::WithParamInterface<WakeCase> {};

// One record at a time, each waited for: every round needs the parked worker
// woken by the Flush that follows the record, which races the worker's way
// into its park. A lost wake-up leaves the record undelivered.
TEST_P(PoolWakeProtocol, ProducerRacingAParkingWorkerLosesNoWakeup) {
  OrderHandle handle;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(1, 64, &handle, 0, -1, GetParam().idle), 0);
  constexpr int kRounds = 3000;
  for (int seq = 1; seq <= kRounds; ++seq) {
    ASSERT_TRUE(pool.AddTask(7, NewRecord(7, seq)));
    pool.Flush();
    ASSERT_TRUE(Eventually([&] { return handle.Total() == seq; })) << "record " << seq << " never delivered";
    delete pool.GetTask(0);
  }
  for (MarketDataType* record : pool.Stop()) delete record;
  EXPECT_EQ(handle.Seqs(7).size(), static_cast<size_t>(kRounds));
}

// Bursts of every size around the notify threshold (below it, so only the
// Flush wakes the worker; at it and past it, so a worker is woken in the
// middle of a burst too), spread over keys that share workers, with pauses
// that let the workers park. Every record is delivered exactly once, in its
// key's order, and every one comes back for release.
TEST_P(PoolWakeProtocol, BurstsAcrossTheNotifyThresholdDeliverEachRecordOnceInOrder) {
  const std::vector<int64_t> keys = {0, 1, 2, 5, -3};
  OrderHandle handle;
  CThreadPool pool;
  // A bound above every record added: the producer never waits (a wait would
  // release delivered records itself, out of this count).
  ASSERT_EQ(pool.Init(3, 256, &handle, 1u << 20, -1, GetParam().idle), 0);
  std::map<int64_t, int32_t> next_seq;
  int added = 0;
  int released = 0;
  const uint32_t n = CThreadPool::kNotifyBatch;
  const std::vector<uint32_t> bursts = {1, n - 1, n, n + 1, 2 * n, 3 * n + 7, 5};
  for (int round = 0; round < 40; ++round) {
    for (uint32_t burst : bursts) {
      for (uint32_t i = 0; i < burst; ++i) {
        const int64_t key = keys[(static_cast<size_t>(round) + i) % keys.size()];
        ASSERT_TRUE(pool.AddTask(key, NewRecord(key, ++next_seq[key])));
        ++added;
      }
      pool.Flush();
      released += static_cast<int>(pool.ReleaseSome(4));
      if (round % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // workers park
    }
  }
  ASSERT_TRUE(Eventually([&] { return handle.Total() == added; })) << handle.Total() << " of " << added;
  ASSERT_TRUE(Eventually([&] {
    released += ReclaimAll(pool);
    return released == added;
  })) << released << " of " << added << " came back";
  for (MarketDataType* record : pool.Stop()) delete record;
  for (int64_t key : keys) {
    std::vector<int32_t> expected(static_cast<size_t>(next_seq[key]));
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int32_t>(i) + 1;
    EXPECT_EQ(handle.Seqs(key), expected) << "key " << key;
    EXPECT_EQ(handle.ThreadsOf(key), 1u) << "key " << key;
  }
}

// Records added without the Flush that would wake the workers, while they
// are parked: Stop still ends every worker at once, and the records come
// back undelivered.
TEST_P(PoolWakeProtocol, StopEndsParkedWorkersAndHandsBackWhatTheyWereNotWokenFor) {
  OrderHandle handle;
  auto pool = std::make_unique<CThreadPool>();
  ASSERT_EQ(pool->Init(3, 64, &handle, 0, -1, GetParam().idle), 0);
  ASSERT_TRUE(pool->AddTask(1, NewRecord(1, 1)));
  pool->Flush();
  ASSERT_TRUE(Eventually([&] { return handle.Total() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // every worker reaches its park
  const uint32_t unflushed = CThreadPool::kNotifyBatch - 1;
  for (uint32_t i = 0; i < unflushed; ++i) ASSERT_TRUE(pool->AddTask(2, NewRecord(2, static_cast<int32_t>(i))));
  std::future<std::vector<MarketDataType*>> stopped =
      std::async(std::launch::async, [&] { return pool->Stop(); });
  ASSERT_EQ(stopped.wait_for(kPatience), std::future_status::ready) << "Stop did not wake the parked workers";
  std::vector<MarketDataType*> back = stopped.get();
  // The delivered record and every undelivered one; a worker woken by
  // something else may have delivered some of the latter first.
  EXPECT_EQ(back.size() + static_cast<size_t>(handle.Total()) - 1, static_cast<size_t>(unflushed) + 1);
  for (MarketDataType* record : back) delete record;
}

// With a held-bytes counter, a queued record counts its charge until it is
// released, whether released one at a time, in bulk, or handed back by Stop.
TEST_P(PoolWakeProtocol, HeldBytesCountEachRecordUntilItIsReleased) {
  GateHandle handle(true);  // every callback waits until the gate opens
  std::atomic<int64_t> held{0};
  qc::WakeSignal producer_wake;
  CThreadPool pool;
  ASSERT_EQ(pool.Init(2, 64, &handle, 0, -1, GetParam().idle, &producer_wake, &held), 0);
  int64_t charged = 0;
  for (int32_t seq = 1; seq <= 10; ++seq) {
    ASSERT_TRUE(pool.AddTask(seq % 2, NewRecord(seq % 2, seq), static_cast<uint32_t>(100 * seq)));
    charged += 100 * seq;
  }
  pool.Flush();
  EXPECT_EQ(held.load(), charged) << "queued records count";
  handle.Open();
  ASSERT_TRUE(Eventually([&] { return handle.Total() == 10; }));
  EXPECT_EQ(held.load(), charged) << "delivered records count until released";
  ASSERT_TRUE(Eventually([&] { return pool.HasDelivered(); }));
  EXPECT_EQ(pool.ReleaseSome(1), 1u);
  EXPECT_LT(held.load(), charged);
  pool.Release(2);  // the rest go back with Stop below
  for (MarketDataType* record : pool.Stop()) delete record;
  EXPECT_EQ(held.load(), 0) << "every charge is taken off once every record is released";
}

INSTANTIATE_TEST_SUITE_P(Backoff, PoolWakeProtocol,
                         testing::Values(WakeCase{"park_at_once", qc::IdleSettings{0, 0}},
                                         WakeCase{"default_backoff", qc::IdleSettings{200, 200}}),
                         [](const testing::TestParamInfo<WakeCase>& info) { return std::string(info.param.name); });

}  // namespace
