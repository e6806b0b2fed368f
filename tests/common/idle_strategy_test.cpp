// The data path's idle policy: a consumer parks only after its spin and yield
// steps, a producer's Notify after publishing always ends the park, and Wake
// ends it whatever the consumer was waiting for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/common_def.h"
#include "common/idle_strategy.h"

namespace qc = com::quor::kbr::client;

namespace {

// Far longer than any wake-up takes: a park that runs out means a lost one.
constexpr std::chrono::microseconds kNeverInATest = std::chrono::seconds(30);

TEST(WakeSignal, ParkReturnsAtOnceWhenAlreadyReady) {
  qc::WakeSignal signal;
  std::future<void> parked = std::async(std::launch::async, [&] { signal.Park([] { return true; }); });
  EXPECT_EQ(parked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(WakeSignal, ParkEndsAtItsTimeoutWithoutNotify) {
  qc::WakeSignal signal;
  int checks = 0;
  signal.Park([&] { return ++checks > 100; }, std::chrono::microseconds(200));
  EXPECT_EQ(checks, 1) << "the readiness is looked at once, before the sleep";
}

// A park without a time limit, ended from another thread by Wake: the stop
// of a parked thread. The waker does not know whether the consumer has
// reached its sleep yet; either way the consumer must come back.
TEST(WakeSignal, WakeEndsAParkWithoutTimeLimit) {
  for (int round = 0; round < 200; ++round) {
    qc::WakeSignal signal;
    std::atomic<bool> stop{false};
    std::future<void> parked = std::async(std::launch::async, [&] {
      while (!stop.load()) signal.Park([&] { return stop.load(); });
    });
    if (round % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));  // let it reach the sleep
    stop.store(true);
    signal.Wake();
    ASSERT_EQ(parked.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "round " << round;
  }
}

// Ping-pong over a real queue: the consumer parks (no time limit) whenever
// the queue is empty; each producer publishes one item, notifies, then waits
// for it to be taken. Every round needs a wake-up; one lost leaves the
// consumer asleep and the round's bound fails. Run with one producer and
// with two (workers and the connection all notify the decode thread).
class WakeSignalPingPong : public ::testing::TestWithParam<int> {};

TEST_P(WakeSignalPingPong, NoWakeupIsLostBetweenPublishAndPark) {
  const int producers = GetParam();
  constexpr int kRoundsPerProducer = 10000;
  const int total = producers * kRoundsPerProducer;
  std::vector<std::atomic<int>> slots(static_cast<size_t>(producers));
  for (auto& slot : slots) slot.store(0);
  qc::WakeSignal signal;
  std::atomic<int> taken{0};
  std::atomic<bool> give_up{false};
  auto any_ready = [&] {
    for (auto& slot : slots) {
      if (slot.load() != 0) return true;
    }
    return false;
  };
  std::thread consumer([&] {
    while (taken.load() < total && !give_up.load()) {
      bool found = false;
      for (auto& slot : slots) {
        if (slot.exchange(0) != 0) {
          taken.fetch_add(1);
          found = true;
        }
      }
      if (found) continue;
      // The yield widens the gap between the look and the sleep, where a
      // careless wake-up would be lost.
      signal.Park([&] {
        const bool ready = any_ready() || give_up.load();
        if (!ready) std::this_thread::yield();
        return ready;
      });
    }
  });
  std::atomic<bool> all_rounds{true};
  std::vector<std::thread> senders;
  for (int p = 0; p < producers; ++p) {
    senders.emplace_back([&, p] {
      for (int i = 0; i < kRoundsPerProducer && all_rounds.load(); ++i) {
        slots[static_cast<size_t>(p)].store(1);
        signal.Notify();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (slots[static_cast<size_t>(p)].load() != 0) {
          if (std::chrono::steady_clock::now() > deadline) {
            all_rounds.store(false);
            break;
          }
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_TRUE(all_rounds.load()) << "a wake-up was lost after " << taken.load() << " items";
  give_up.store(true);
  signal.Wake();
  consumer.join();
  if (all_rounds.load()) {
    EXPECT_EQ(taken.load(), total);
  }
}

INSTANTIATE_TEST_SUITE_P(Producers, WakeSignalPingPong, ::testing::Values(1, 2));

// The back-off steps come in order: spins, then yields, then parks; work
// found (Reset) starts the sequence again.
TEST(BackoffIdleStrategy, ParksOnlyAfterItsSpinsAndYields) {
  struct Case {
    uint32_t spins;
    uint32_t yields;
  };
  for (const Case c : {Case{0, 0}, Case{3, 0}, Case{0, 2}, Case{5, 4}}) {
    qc::BackoffIdleStrategy idler(qc::IdleSettings{c.spins, c.yields});
    qc::WakeSignal signal;
    int looks = 0;
    auto ready = [&] {
      ++looks;
      return true;  // a park returns at once, after one look
    };
    for (int pass = 0; pass < 2; ++pass) {
      looks = 0;
      for (uint32_t step = 0; step < c.spins + c.yields; ++step) {
        EXPECT_FALSE(idler.Idle(signal, ready)) << "spins " << c.spins << " yields " << c.yields << " step " << step;
      }
      EXPECT_EQ(looks, 0) << "no park before the spins and yields are spent";
      EXPECT_TRUE(idler.Idle(signal, ready));
      EXPECT_TRUE(idler.Idle(signal, ready)) << "stays parking until work is found";
      EXPECT_EQ(looks, 2);
      idler.Reset();
    }
  }
}

}  // namespace
