// The wake-up that lets a queue's consumer sleep through a quiet feed: a
// producer's Notify after publishing must always end the consumer's sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "common/common_def.h"

namespace qc = com::quor::kbr::client;

namespace {

// Far longer than any wake-up takes: a wait that runs out means a lost one.
constexpr std::chrono::microseconds kNeverInATest = std::chrono::seconds(30);

TEST(QueueWakeup, ReturnsAtOnceWhenAlreadyReady) {
  qc::QueueWakeup wakeup;
  std::future<void> waited =
      std::async(std::launch::async, [&] { wakeup.WaitFor([] { return true; }, kNeverInATest); });
  EXPECT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(QueueWakeup, TimesOutWithoutNotify) {
  qc::QueueWakeup wakeup;
  int checks = 0;
  wakeup.WaitFor([&] { return ++checks > 100; }, std::chrono::microseconds(200));
  EXPECT_EQ(checks, 1) << "the readiness is looked at once, before the sleep";
}

// Ping-pong over a real queue: the consumer sleeps whenever the queue is
// empty, the producer publishes one item and notifies, then waits for the
// consumer to take it. Every round needs a wake-up; one lost wake-up leaves
// the consumer asleep for kNeverInATest and the round's bound fails.
TEST(QueueWakeup, NoWakeupIsLostBetweenPublishAndSleep) {
  constexpr int kRounds = 20000;
  auto queue = std::make_unique<SPSCQueueOpt<int, 4>>();
  qc::QueueWakeup wakeup;
  std::atomic<int> taken{0};
  std::thread consumer([&] {
    while (taken.load() < kRounds) {
      int* item = queue->front();
      if (item == nullptr) {
        // The yield after seeing the queue empty widens the gap between the
        // look and the sleep, where a careless wake-up would be lost.
        wakeup.WaitFor(
            [&] {
              const bool ready = queue->front() != nullptr;
              if (!ready) std::this_thread::yield();
              return ready;
            },
            kNeverInATest);
        continue;
      }
      queue->pop();
      taken.fetch_add(1);
    }
  });
  bool all_rounds = true;
  for (int i = 0; i < kRounds && all_rounds; ++i) {
    int* slot = queue->alloc();
    ASSERT_NE(slot, nullptr);
    *slot = i;
    queue->push();
    wakeup.Notify();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (taken.load() <= i) {
      if (std::chrono::steady_clock::now() > deadline) {
        all_rounds = false;
        break;
      }
      std::this_thread::yield();
    }
  }
  EXPECT_TRUE(all_rounds) << "a wake-up was lost after " << taken.load() << " rounds";
  if (!all_rounds) {
    // Let the consumer end so the thread can be joined.
    while (taken.load() < kRounds) {
      int* slot = queue->alloc();
      if (slot != nullptr) {
        queue->push();
        wakeup.Notify();
      }
    }
  }
  consumer.join();
}

}  // namespace
