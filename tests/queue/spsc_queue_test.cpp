// Lock-free SPSC ring queue: edge cases on the two shipped instantiations and
// on small rings, slot lifetime, layout, two-thread ordering under load, and
// the body-buffer round trip between the connection side and the decompress
// side together with the shutdown drain.
//
// QEL_STRESS_ITEMS sets the item count of the two-thread tests (default
// 30,000,000; sanitizer runs set it lower).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/common_def.h"
#include "common/spsc_queue.h"
#include "config/error_define.h"

namespace qc = com::quor::kbr::client;

// ---- array new/delete accounting -------------------------------------------
// Body buffers are char arrays (new[] / delete[]). Counting every array
// allocation and release of the process lets the round-trip and drain tests
// show, independently of the code under test, that each body is released
// exactly once.
// Sanitizer runtimes own operator new[]; there the counts are not kept and
// the sanitizer's own leak and double-free checks stand in for them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QEL_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QEL_SANITIZED_BUILD 1
#endif
#endif

namespace {
std::atomic<long long> g_arrayNews{0};
std::atomic<long long> g_arrayDeletes{0};
#ifdef QEL_SANITIZED_BUILD
constexpr bool kCountingArrays = false;
#else
constexpr bool kCountingArrays = true;
#endif
}  // namespace

#ifndef QEL_SANITIZED_BUILD
void* operator new[](std::size_t size) {
  g_arrayNews.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept {
  if (p == nullptr) return;
  g_arrayDeletes.fetch_add(1, std::memory_order_relaxed);
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }
#endif

namespace {

struct ArrayCounts {
  long long news = g_arrayNews.load();
  long long deletes = g_arrayDeletes.load();
  long long NewsSince(const ArrayCounts& start) const { return news - start.news; }
  long long DeletesSince(const ArrayCounts& start) const { return deletes - start.deletes; }
};

// ---- element codecs ----------------------------------------------------------
// Each element type carries a 64-bit sequence number. Get() returns kTorn when
// the fields of one item disagree, so a partly visible item shows up as an
// ordering error.
constexpr uint64_t kTorn = ~uint64_t{0};

template <class T>
struct Codec;

template <>
struct Codec<uint64_t> {
  static void Set(uint64_t& slot, uint64_t v) { slot = v; }
  static uint64_t Get(const uint64_t& slot) { return slot; }
  static bool IsInitial(const uint64_t& slot) { return slot == 0; }
};

template <>
struct Codec<qc::RawData> {
  static void Set(qc::RawData& slot, uint64_t v) {
    slot.m_channelIdx = static_cast<int64_t>(v);
    slot.m_channelNo = static_cast<int32_t>(v * 2654435761u);
    slot.m_flags = static_cast<int16_t>(v & 0x7fff);
    slot.m_qelDataType = static_cast<int32_t>(v % 1000);
    slot.m_payloadLength = static_cast<int32_t>(v >> 7);
    slot.m_messageNum = static_cast<int32_t>(~v);
    slot.m_body = nullptr;
  }
  static uint64_t Get(const qc::RawData& slot) {
    const uint64_t v = static_cast<uint64_t>(slot.m_channelIdx);
    const bool consistent = slot.m_channelNo == static_cast<int32_t>(v * 2654435761u) &&
                            slot.m_flags == static_cast<int16_t>(v & 0x7fff) &&
                            slot.m_qelDataType == static_cast<int32_t>(v % 1000) &&
                            slot.m_payloadLength == static_cast<int32_t>(v >> 7) &&
                            slot.m_messageNum == static_cast<int32_t>(~v) && slot.m_body == nullptr;
    return consistent ? v : kTorn;
  }
  static bool IsInitial(const qc::RawData& slot) {
    return slot.m_flags == 0 && slot.m_channelNo == 0 && slot.m_channelIdx == 0 && slot.m_qelDataType == 0 &&
           slot.m_payloadLength == 0 && slot.m_messageNum == 0 && slot.m_body == nullptr;
  }
};

// A pointer-sized tag, never dereferenced.
template <>
struct Codec<char*> {
  static void Set(char*& slot, uint64_t v) { slot = reinterpret_cast<char*>(static_cast<uintptr_t>(v) + 1); }
  static uint64_t Get(char* const& slot) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(slot)) - 1; }
  static bool IsInitial(char* const& slot) { return slot == nullptr; }
};

template <class Q>
struct QueueInfo;
template <class T, uint32_t N>
struct QueueInfo<SPSCQueueOpt<T, N>> {
  using Item = T;
  static constexpr uint32_t kCount = N;
};

template <class Q>
bool PushValue(Q& q, uint64_t v) {
  auto* slot = q.alloc();
  if (slot == nullptr) return false;
  Codec<typename QueueInfo<Q>::Item>::Set(*slot, v);
  q.push();
  return true;
}

// PopValue's result for an empty queue; no test pushes this value.
constexpr uint64_t kNone = 0xdead0000dead0000ull;

template <class Q>
uint64_t PopValue(Q& q) {
  auto* slot = q.front();
  if (slot == nullptr) return kNone;
  const uint64_t v = Codec<typename QueueInfo<Q>::Item>::Get(*slot);
  q.pop();
  return v;
}

uint64_t StressItems() {
  constexpr uint64_t kDefault = 30000000;
  const char* text = std::getenv("QEL_STRESS_ITEMS");
  if (text == nullptr || *text == '\0') return kDefault;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text, &end, 10);
  return (end != nullptr && *end == '\0' && n > 0) ? n : kDefault;
}

template <class P>
const char* AddressOf(const P* p) {
  return reinterpret_cast<const char*>(p);
}

}  // namespace

// ---- layout ------------------------------------------------------------------
namespace {
template <class Q>
constexpr bool CheckShippedLayout() {
  static_assert(Q::blockSize() == 128, "a slot is exactly two cache lines");
  static_assert(Q::blockDataOffset() == 64, "the item starts on the second line of its slot");
  static_assert(Q::ringOffset() == 0, "the ring comes first");
  static_assert(Q::writeIdxOffset() == std::size_t{qc::RAW_DATA_QUEUE_SIZE} * 128, "indices follow the 64 MiB ring");
  static_assert(Q::freeWriteCntOffset() == Q::writeIdxOffset() + sizeof(uint32_t),
                "free_write_cnt sits beside write_idx in one region");
  static_assert(Q::readIdxOffset() == Q::writeIdxOffset() + 128, "read_idx starts the next 128-byte region");
  static_assert(sizeof(Q) >= Q::readIdxOffset() + 128, "read_idx owns a whole 128-byte region");
  static_assert(alignof(Q) == 128, "the queue is 128-byte aligned");
  return true;
}
static_assert(sizeof(qc::RawData) <= 64, "a RawData fits its cache line");
static_assert(CheckShippedLayout<qc::RawDataQueue>(), "");
static_assert(CheckShippedLayout<qc::RawDataQueueBack>(), "");
static_assert(qc::RawDataQueue::kCapacity == 524287 && qc::RawDataQueueBack::kCapacity == 524287, "");
// A larger item still keeps flag and item on separate lines.
struct Wide {
  char bytes[100];
};
static_assert(SPSCQueueOpt<Wide, 4>::blockDataOffset() == 64 && SPSCQueueOpt<Wide, 4>::blockSize() == 192, "");
}  // namespace

TEST(SPSCQueueLayout, HeapQueuesAndSlotsAreCacheAligned) {
  auto shared = std::make_shared<qc::RawDataQueue>();
  auto unique = std::make_unique<qc::RawDataQueueBack>();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(shared.get()) % 128, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(unique.get()) % 128, 0u);
  for (int i = 0; i < 3; ++i) {
    qc::RawData* a = shared->alloc();
    char** b = unique->alloc();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
    EXPECT_EQ(AddressOf(a) - AddressOf(shared.get()), static_cast<std::ptrdiff_t>(i * 128 + 64));
    EXPECT_EQ(AddressOf(b) - AddressOf(unique.get()), static_cast<std::ptrdiff_t>(i * 128 + 64));
    shared->push();
    unique->push();
  }
}

// ---- edge cases, on every ring size --------------------------------------------
template <class Q>
class SPSCQueueEdge : public testing::Test {
 protected:
  using Item = typename QueueInfo<Q>::Item;
  using C = Codec<Item>;
  static constexpr uint32_t kCnt = QueueInfo<Q>::kCount;
  static constexpr uint32_t kCap = kCnt - 1;

  std::unique_ptr<Q> q_ = std::make_unique<Q>();
};

using EdgeQueues =
    testing::Types<qc::RawDataQueue, qc::RawDataQueueBack, SPSCQueueOpt<uint64_t, 2>, SPSCQueueOpt<uint64_t, 16>>;

class EdgeQueueNames {
 public:
  template <class Q>
  static std::string GetName(int) {
    if (std::is_same<Q, qc::RawDataQueue>::value) return "RawDataQueue";
    if (std::is_same<Q, qc::RawDataQueueBack>::value) return "RawDataQueueBack";
    return "U64x" + std::to_string(QueueInfo<Q>::kCount);
  }
};
TYPED_TEST_SUITE(SPSCQueueEdge, EdgeQueues, EdgeQueueNames);

TYPED_TEST(SPSCQueueEdge, NewQueueIsEmptyAndAllocReturnsTheFirstSlot) {
  auto& q = *this->q_;
  EXPECT_EQ(q.front(), nullptr);
  EXPECT_EQ(q.approxSize(), 0u);
  EXPECT_EQ(q.cachedFreeCount(), this->kCnt);
  EXPECT_EQ(q.writeIndex(), 0u);
  EXPECT_EQ(q.readIndex(), 0u);

  auto* slot = q.alloc();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(AddressOf(slot) - AddressOf(&q), static_cast<std::ptrdiff_t>(TypeParam::blockDataOffset()));
  EXPECT_TRUE(TestFixture::C::IsInitial(*slot));
  TestFixture::C::Set(*slot, 41);
  q.push();
  auto* head = q.front();
  EXPECT_EQ(head, slot);  // the consumer starts where the producer started
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(TestFixture::C::Get(*head), 41u);
}

TYPED_TEST(SPSCQueueEdge, EverySlotStartsValueInitialised) {
  auto& q = *this->q_;
  uint32_t notInitial = 0;
  for (uint32_t i = 0; i < this->kCnt; ++i) {
    auto* slot = q.alloc();
    ASSERT_NE(slot, nullptr) << i;
    if (!TestFixture::C::IsInitial(*slot)) ++notInitial;
    q.push();
    ASSERT_NE(q.front(), nullptr) << i;
    q.pop();
  }
  EXPECT_EQ(notInitial, 0u);
}

TYPED_TEST(SPSCQueueEdge, FullAtCapacityAndFreeAgainAfterOnePop) {
  auto& q = *this->q_;
  for (uint32_t i = 0; i < this->kCap; ++i) ASSERT_TRUE(PushValue(q, i)) << i;
  EXPECT_EQ(q.alloc(), nullptr);
  EXPECT_EQ(q.alloc(), nullptr);  // stays full without a pop
  EXPECT_EQ(q.approxSize(), this->kCap);
  EXPECT_EQ(q.cachedFreeCount(), 1u);

  EXPECT_EQ(PopValue(q), 0u);
  auto* slot = q.alloc();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(q.writeIndex(), this->kCnt - 1);  // the slot after the last pushed one
  TestFixture::C::Set(*slot, this->kCap);
  q.push();
  EXPECT_EQ(q.alloc(), nullptr);  // full again

  uint64_t expected = 1;
  uint64_t wrong = 0;
  // Bounded by the ring size, so a queue that never empties fails instead of hanging.
  for (uint64_t v = PopValue(q); v != kNone && expected <= this->kCnt; v = PopValue(q)) {
    if (v != expected) ++wrong;
    ++expected;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(expected, uint64_t{this->kCap} + 1);
  EXPECT_EQ(q.front(), nullptr);
}

TYPED_TEST(SPSCQueueEdge, AllocWithoutPushReturnsTheSameSlot) {
  auto& q = *this->q_;
  // At the start, half way, and one short of full.
  const uint32_t stops[] = {0, this->kCap / 2, this->kCap - 1};
  uint32_t pushed = 0;
  for (uint32_t stop : stops) {
    while (pushed < stop) ASSERT_TRUE(PushValue(q, pushed++));
    auto* first = q.alloc();
    ASSERT_NE(first, nullptr) << stop;
    TestFixture::C::Set(*first, 1000 + stop);
    auto* second = q.alloc();
    EXPECT_EQ(second, first) << stop;
    EXPECT_EQ(q.writeIndex(), pushed) << stop;
    EXPECT_EQ(q.approxSize(), pushed) << stop;
    EXPECT_EQ(TestFixture::C::Get(*second), 1000u + stop) << stop;  // alloc leaves the slot's contents alone
  }
}

TYPED_TEST(SPSCQueueEdge, IndicesWrapAndItemsKeepTheirOrder) {
  auto& q = *this->q_;
  // One full lap of single push/pop pairs brings both indices back to 0.
  for (uint32_t i = 0; i < this->kCnt; ++i) {
    ASSERT_TRUE(PushValue(q, i));
    ASSERT_EQ(PopValue(q), i);
  }
  EXPECT_EQ(q.writeIndex(), 0u);
  EXPECT_EQ(q.readIndex(), 0u);

  // Then bursts of different sizes, so the wrap is crossed at many fill levels.
  struct Step {
    uint32_t push, pop;
  };
  const Step steps[] = {{1, 0}, {this->kCap / 2 + 1, 1}, {3, this->kCap / 3}, {this->kCap, 2}, {7, this->kCap}};
  uint64_t nextPush = this->kCnt, nextPop = this->kCnt;
  const uint64_t end = nextPush + 3ull * this->kCnt;
  uint64_t wrong = 0;
  for (size_t s = 0; nextPush < end; ++s) {
    const Step& step = steps[s % (sizeof(steps) / sizeof(steps[0]))];
    for (uint32_t i = 0; i < step.push && PushValue(q, nextPush); ++i) ++nextPush;
    for (uint32_t i = 0; i < step.pop; ++i) {
      const uint64_t v = PopValue(q);
      if (v == kNone) break;
      if (v != nextPop) ++wrong;
      ++nextPop;
    }
    ASSERT_EQ(q.approxSize(), nextPush - nextPop);
  }
  for (uint64_t v = PopValue(q); v != kNone && nextPop <= nextPush; v = PopValue(q)) {
    if (v != nextPop) ++wrong;
    ++nextPop;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(nextPop, nextPush);
  EXPECT_EQ(q.writeIndex(), q.readIndex());
}

TYPED_TEST(SPSCQueueEdge, AllocatedSlotIsInvisibleUntilPushed) {
  auto& q = *this->q_;
  auto* a = q.alloc();
  ASSERT_NE(a, nullptr);
  TestFixture::C::Set(*a, 7);
  EXPECT_EQ(q.front(), nullptr);
  EXPECT_EQ(q.approxSize(), 0u);
  q.push();
  EXPECT_EQ(q.front(), a);

  if (this->kCap >= 2) {
    auto* b = q.alloc();
    ASSERT_NE(b, nullptr);
    TestFixture::C::Set(*b, 8);
    EXPECT_EQ(q.front(), a);  // still the older item
    q.pop();
    EXPECT_EQ(q.front(), nullptr);  // b is filled but not published
    q.push();
    ASSERT_EQ(q.front(), b);
    EXPECT_EQ(TestFixture::C::Get(*b), 8u);
  } else {
    // A two-slot ring holds one item: the next slot appears only after a pop.
    EXPECT_EQ(q.alloc(), nullptr);
    q.pop();
    auto* b = q.alloc();
    ASSERT_NE(b, nullptr);
    TestFixture::C::Set(*b, 8);
    EXPECT_EQ(q.front(), nullptr);
    q.push();
    EXPECT_EQ(q.front(), b);
  }
}

// The producer's cached count only runs down while the consumer keeps up; it is
// refreshed from the consumer's index when it reaches 1, and then reflects the
// items the consumer still holds (the lag).
TYPED_TEST(SPSCQueueEdge, FreeCountIsRecomputedOnlyWhenItReachesOne) {
  const uint32_t lags[] = {0, 1, this->kCap / 2, this->kCap};
  for (uint32_t lag : lags) {
    SCOPED_TRACE("lag " + std::to_string(lag));
    auto q = std::make_unique<TypeParam>();
    uint64_t nextPush = 0, nextPop = 0;
    for (uint32_t i = 0; i < lag; ++i) ASSERT_TRUE(PushValue(*q, nextPush++));
    ASSERT_EQ(q->cachedFreeCount(), this->kCnt - lag);

    // At most one lap: a count that never runs down is a failure, not a hang.
    uint64_t mismatches = 0;
    for (uint32_t step = 0; q->cachedFreeCount() > 1; ++step) {
      ASSERT_LT(step, this->kCnt) << "the cached count never reached 1";
      const uint32_t before = q->cachedFreeCount();
      ASSERT_TRUE(PushValue(*q, nextPush++));
      ASSERT_EQ(PopValue(*q), nextPop++);
      // Not refreshed although the consumer just freed a slot.
      if (q->cachedFreeCount() != before - 1) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(q->approxSize(), lag);

    auto* slot = q->alloc();  // count is 1: alloc looks at the consumer's index
    const uint32_t refreshed = this->kCnt - lag;
    EXPECT_EQ(q->cachedFreeCount(), refreshed);
    EXPECT_EQ(slot == nullptr, lag == this->kCap);
    if (slot == nullptr) {
      EXPECT_EQ(PopValue(*q), nextPop++);
      EXPECT_NE(q->alloc(), nullptr);
      EXPECT_EQ(q->cachedFreeCount(), 2u);
    }
  }
}

TYPED_TEST(SPSCQueueEdge, ApproxSizeCountsAcrossTheWrap) {
  auto& q = *this->q_;
  // Park both indices just before the end of the ring.
  for (uint32_t i = 0; i + 1 < this->kCnt; ++i) {
    ASSERT_TRUE(PushValue(q, i));
    ASSERT_NE(PopValue(q), kNone);
  }
  ASSERT_EQ(q.writeIndex(), this->kCnt - 1);
  for (uint32_t n = 1; n <= this->kCap; n = n * 2 + 1) {
    while (q.approxSize() < n) ASSERT_TRUE(PushValue(q, 0));
    EXPECT_EQ(q.approxSize(), n);
  }
  while (q.approxSize() < this->kCap) ASSERT_TRUE(PushValue(q, 0));
  EXPECT_EQ(q.approxSize(), this->kCap);
  uint32_t popped = 0;
  while (PopValue(q) != kNone) {
    ++popped;
    if (q.approxSize() != this->kCap - popped) break;
  }
  EXPECT_EQ(popped, this->kCap);
  EXPECT_EQ(q.approxSize(), 0u);
}

#ifndef NDEBUG
TEST(SPSCQueueMisuseDeathTest, PushWithoutSlotAndPopWithoutItemAbort) {
  auto q = std::make_unique<SPSCQueueOpt<uint64_t, 2>>();
  EXPECT_DEATH(q->pop(), "pop");
  ASSERT_TRUE(PushValue(*q, 1));
  ASSERT_EQ(q->alloc(), nullptr);
  EXPECT_DEATH(q->push(), "push");
}
#endif

// ---- slot lifetime ---------------------------------------------------------------
namespace {
struct Counted {
  static std::atomic<long> s_constructed;
  static std::atomic<long> s_destroyed;
  Counted() : value(-1) { s_constructed.fetch_add(1); }
  Counted(const Counted& other) : value(other.value) { s_constructed.fetch_add(1); }
  Counted& operator=(const Counted& other) {
    value = other.value;
    return *this;
  }
  ~Counted() { s_destroyed.fetch_add(1); }
  long value;
};
std::atomic<long> Counted::s_constructed{0};
std::atomic<long> Counted::s_destroyed{0};
}  // namespace

TEST(SPSCQueueSlotLifetime, EachSlotIsConstructedOnceAndDestroyedOnce) {
  using Q = SPSCQueueOpt<Counted, 1024>;
  struct Factory {
    const char* name;
    std::shared_ptr<Q> (*make)();
  };
  const Factory factories[] = {
      {"make_shared", [] { return std::make_shared<Q>(); }},
      {"make_unique", [] { return std::shared_ptr<Q>(std::make_unique<Q>()); }},
  };
  for (const Factory& f : factories) {
    SCOPED_TRACE(f.name);
    Counted::s_constructed = 0;
    Counted::s_destroyed = 0;
    std::shared_ptr<Q> q = f.make();
    EXPECT_EQ(Counted::s_constructed.load(), 1024);
    EXPECT_EQ(Counted::s_destroyed.load(), 0);

    // Three laps: items are assigned into slots, never constructed or destroyed.
    long wrong = 0;
    for (long i = 0; i < 3 * 1024; ++i) {
      Counted* slot = q->alloc();
      ASSERT_NE(slot, nullptr);
      slot->value = i;
      q->push();
      Counted* head = q->front();
      ASSERT_NE(head, nullptr);
      if (head->value != i) ++wrong;
      q->pop();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(Counted::s_constructed.load(), 1024);
    EXPECT_EQ(Counted::s_destroyed.load(), 0);

    q.reset();
    EXPECT_EQ(Counted::s_destroyed.load(), 1024);
  }
}

// ---- two threads: order and count ------------------------------------------------
template <class T>
class SPSCQueueStress : public testing::Test {};
using StressItemTypes = testing::Types<uint64_t, qc::RawData>;
class StressItemNames {
 public:
  template <class T>
  static std::string GetName(int) {
    return std::is_same<T, uint64_t>::value ? "U64" : "RawData";
  }
};
TYPED_TEST_SUITE(SPSCQueueStress, StressItemTypes, StressItemNames);

TYPED_TEST(SPSCQueueStress, ConsumerSeesEveryItemOnceInOrder) {
  using Q = SPSCQueueOpt<TypeParam, qc::RAW_DATA_QUEUE_SIZE>;
  const uint64_t n = StressItems();
  auto q = std::make_unique<Q>();

  std::atomic<bool> producerDone{false};
  std::thread producer([&q, &producerDone, n] {
    for (uint64_t v = 1; v <= n; ++v) {
      while (!PushValue(*q, v)) std::this_thread::yield();
    }
    producerDone.store(true);
  });

  uint64_t received = 0, sum = 0, outOfOrder = 0, firstBad = 0, expected = 1;
  while (received < n) {
    const bool finished = producerDone.load();
    const uint64_t v = PopValue(*q);
    if (v == kNone) {
      if (finished) break;  // everything pushed is visible by now: items were lost
      std::this_thread::yield();
      continue;
    }
    if (v != expected && outOfOrder++ == 0) firstBad = expected;
    expected = v + 1;
    sum += v;
    ++received;
  }
  producer.join();

  EXPECT_EQ(outOfOrder, 0u) << "first wrong item at " << firstBad;
  EXPECT_EQ(received, n);
  // Sum of 1..n modulo 2^64.
  const uint64_t expectedSum = (n % 2 == 0) ? (n / 2) * (n + 1) : n * ((n + 1) / 2);
  EXPECT_EQ(sum, expectedSum);
  EXPECT_EQ(q->front(), nullptr);
  EXPECT_EQ(q->approxSize(), 0u);
}

// ---- body round trip through the back queue, and the shutdown drain --------------
namespace {
char BodyByte(uint64_t seq, int32_t k) { return static_cast<char>((seq * 31 + static_cast<uint64_t>(k)) & 0xff); }
int32_t BodyLength(uint64_t seq) { return static_cast<int32_t>(seq % 97); }  // 0 included

struct RoundTripCase {
  const char* name;
  bool producerReleases;  // false: the connection side never takes buffers back
  uint64_t minItems;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class SPSCRawDataRoundTrip : public testing::TestWithParam<RoundTripCase> {};

}  // namespace

TEST_P(SPSCRawDataRoundTrip, EveryBodyIsReleasedExactlyOnce) {
  const RoundTripCase& c = GetParam();
  const uint64_t n = std::max<uint64_t>(StressItems() / 10, c.minItems);
  auto data = std::make_shared<qc::RawDataQueue>();
  auto back = std::make_shared<qc::RawDataQueueBack>();
  const ArrayCounts start;

  // Connection side: produces frames, takes back at most one buffer per frame.
  uint64_t releasedByProducer = 0;
  std::atomic<bool> producerDone{false};
  std::thread connection([&] {
    for (uint64_t seq = 0; seq < n; ++seq) {
      qc::RawData* slot;
      while ((slot = data->alloc()) == nullptr) std::this_thread::yield();
      slot->m_channelIdx = static_cast<int64_t>(seq);
      slot->m_channelNo = static_cast<int32_t>(seq % 13);
      slot->m_flags = static_cast<int16_t>(seq & 1 ? qc::MSG_HEADER_FLAGS_COMPRESS : 0);
      slot->m_payloadLength = BodyLength(seq);
      slot->m_body = new char[slot->m_payloadLength];
      for (int32_t k = 0; k < slot->m_payloadLength; ++k) slot->m_body[k] = BodyByte(seq, k);
      data->push();
      if (!c.producerReleases) continue;
      char** returned = back->front();
      if (returned != nullptr && *returned != nullptr) {
        delete[] *returned;
        *returned = nullptr;
        back->pop();
        ++releasedByProducer;
      }
    }
    producerDone.store(true);
  });

  // Decompress side: checks each frame, hands its body back, or releases it
  // itself when the back queue is full.
  uint64_t releasedByConsumer = 0, badFrames = 0, consumed = 0;
  for (uint64_t seq = 0; seq < n;) {
    const bool finished = producerDone.load();
    qc::RawData* item = data->front();
    if (item == nullptr) {
      if (finished) break;  // frames were lost
      std::this_thread::yield();
      continue;
    }
    bool ok = item->m_channelIdx == static_cast<int64_t>(seq) && item->m_channelNo == static_cast<int32_t>(seq % 13) &&
              item->m_flags == static_cast<int16_t>(seq & 1 ? qc::MSG_HEADER_FLAGS_COMPRESS : 0) &&
              item->m_payloadLength == BodyLength(seq) && item->m_body != nullptr;
    for (int32_t k = 0; ok && k < item->m_payloadLength; ++k) ok = item->m_body[k] == BodyByte(seq, k);
    if (!ok) ++badFrames;
    if (char** slot = back->alloc()) {
      *slot = item->m_body;
      back->push();
    } else {
      delete[] item->m_body;
      item->m_body = nullptr;
      ++releasedByConsumer;
    }
    data->pop();
    ++seq;
    ++consumed;
  }
  connection.join();

  ASSERT_EQ(consumed, n);
  EXPECT_EQ(badFrames, 0u);
  EXPECT_EQ(data->front(), nullptr);
  const uint64_t leftInBack = n - releasedByProducer - releasedByConsumer;
  EXPECT_EQ(back->approxSize(), leftInBack);
  if (!c.producerReleases) {
    EXPECT_EQ(leftInBack, uint64_t{qc::RawDataQueueBack::kCapacity});  // the back queue filled up
    EXPECT_EQ(releasedByConsumer, n - qc::RawDataQueueBack::kCapacity);
  }

  const uint32_t drained = qc::DrainRawDataQueues(*data, *back);
  EXPECT_EQ(drained, leftInBack);
  EXPECT_EQ(back->front(), nullptr);

  const ArrayCounts end;
  if (kCountingArrays) {
    EXPECT_EQ(end.NewsSince(start), static_cast<long long>(n));
  }
  if (kCountingArrays) {
    EXPECT_EQ(end.DeletesSince(start), static_cast<long long>(n));
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, SPSCRawDataRoundTrip,
                         testing::Values(RoundTripCase{"ProducerReleasesOnePerFrame", true, 1000},
                                         RoundTripCase{"BackQueueFills", false, 600000}),
                         [](const testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

namespace {
struct DrainCase {
  const char* name;
  uint32_t offset;      // push/pop pairs before filling, to start anywhere on the ring
  uint32_t bodies;      // raw-data items holding a body
  uint32_t nullBodies;  // raw-data items without a body
  uint32_t returned;    // back-queue slots holding a buffer
  uint32_t nullReturned;
};

void PrintTo(const DrainCase& c, std::ostream* os) { *os << c.name; }

class SPSCDrain : public testing::TestWithParam<DrainCase> {};

constexpr uint32_t kCap = qc::RawDataQueue::kCapacity;
}  // namespace

TEST_P(SPSCDrain, ReleasesEveryQueuedBufferAndEmptiesBothQueues) {
  const DrainCase& c = GetParam();
  auto data = std::make_shared<qc::RawDataQueue>();
  auto back = std::make_shared<qc::RawDataQueueBack>();
  for (uint32_t i = 0; i < c.offset; ++i) {
    ASSERT_TRUE(PushValue(*data, i));
    ASSERT_NE(PopValue(*data), kNone);
    ASSERT_TRUE(PushValue(*back, i));
    ASSERT_NE(PopValue(*back), kNone);
  }
  // Null entries are interleaved with buffers: every other slot while both last.
  auto nullHere = [](uint32_t i, uint32_t& buffers, uint32_t& nulls, uint32_t wantBuffers, uint32_t wantNulls) {
    const bool isNull = buffers == wantBuffers || (i % 2 == 1 && nulls < wantNulls);
    ++(isNull ? nulls : buffers);
    return isNull;
  };
  const ArrayCounts start;
  uint32_t buffers = 0, nulls = 0;
  for (uint32_t i = 0; i < c.bodies + c.nullBodies; ++i) {
    qc::RawData* slot = data->alloc();
    ASSERT_NE(slot, nullptr);
    slot->m_body = nullHere(i, buffers, nulls, c.bodies, c.nullBodies) ? nullptr : new char[8];
    data->push();
  }
  buffers = nulls = 0;
  for (uint32_t i = 0; i < c.returned + c.nullReturned; ++i) {
    char** slot = back->alloc();
    ASSERT_NE(slot, nullptr);
    *slot = nullHere(i, buffers, nulls, c.returned, c.nullReturned) ? nullptr : new char[16];
    back->push();
  }
  const ArrayCounts filled;
  if (kCountingArrays) {
    ASSERT_EQ(filled.NewsSince(start), static_cast<long long>(c.bodies + c.returned));
  }

  EXPECT_EQ(qc::DrainRawDataQueues(*data, *back), c.bodies + c.returned);
  EXPECT_EQ(data->front(), nullptr);
  EXPECT_EQ(back->front(), nullptr);
  const ArrayCounts end;
  if (kCountingArrays) {
    EXPECT_EQ(end.DeletesSince(start), static_cast<long long>(c.bodies + c.returned));
  }

  // Both queues are usable afterwards.
  EXPECT_TRUE(PushValue(*data, 5));
  EXPECT_EQ(PopValue(*data), 5u);
  EXPECT_TRUE(PushValue(*back, 6));
  EXPECT_EQ(PopValue(*back), 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Fill, SPSCDrain,
    testing::Values(DrainCase{"Empty", 0, 0, 0, 0, 0}, DrainCase{"OneBody", 0, 1, 0, 0, 0},
                    DrainCase{"OneReturned", 0, 0, 0, 1, 0}, DrainCase{"NullsOnly", 0, 0, 3, 0, 4},
                    DrainCase{"MixedAcrossTheWrap", qc::RAW_DATA_QUEUE_SIZE - 3, 5, 2, 6, 2},
                    DrainCase{"BothFull", 0, kCap, 0, kCap, 0},
                    DrainCase{"FullWithNullsFromMidRing", qc::RAW_DATA_QUEUE_SIZE / 2, kCap - 10, 10, kCap - 1, 1}),
    [](const testing::TestParamInfo<DrainCase>& info) { return info.param.name; });

TEST(SPSCDrainMaps, ReleasesTheBuffersOfEverySiteType) {
  qc::RawDataQueueMap dataMap;
  qc::RawDataQueueBackMap backMap;
  const uint32_t sites[] = {1, 2, 7};
  for (uint32_t site : sites) {
    dataMap[site] = std::make_shared<qc::RawDataQueue>();
    backMap[site] = std::make_shared<qc::RawDataQueueBack>();
  }
  dataMap[9] = nullptr;  // entries without a queue are skipped
  backMap[9] = nullptr;

  const ArrayCounts start;
  uint32_t expected = 0;
  for (uint32_t site : sites) {
    for (uint32_t i = 0; i < site; ++i) {
      dataMap[site]->alloc()->m_body = new char[4];
      dataMap[site]->push();
      *backMap[site]->alloc() = new char[4];
      backMap[site]->push();
      expected += 2;
    }
  }
  EXPECT_EQ(qc::DrainRawDataQueues(dataMap, backMap), expected);
  for (uint32_t site : sites) {
    EXPECT_EQ(dataMap[site]->front(), nullptr) << site;
    EXPECT_EQ(backMap[site]->front(), nullptr) << site;
  }
  const ArrayCounts end;
  if (kCountingArrays) {
    EXPECT_EQ(end.NewsSince(start), static_cast<long long>(expected));
  }
  if (kCountingArrays) {
    EXPECT_EQ(end.DeletesSince(start), static_cast<long long>(expected));
  }
}
