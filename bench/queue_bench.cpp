// The raw-data queue (SPSCQueueOpt<RawData, 524288>) beside two lock-free
// single-producer single-consumer peers carrying the same item type:
// moodycamel::ReaderWriterQueue (preallocated, try_enqueue never allocates)
// and boost::lockfree::spsc_queue (fixed capacity). Two measurements, each run
// --runs times with the three queues taking turns, medians printed:
//
//  throughput  a producer thread pushes --items items, a consumer thread pops
//              and checks them (every item carries its index); items/s from
//              start to the last pop.
//  round trip  one item goes out over one queue and comes back over a second
//              (both sides spin); median and p99 round trip in nanoseconds.
//
// The two threads are pinned to CPUs 0 and 1 when the machine allows it. The
// last lines are machine-readable ("@row|..."), ratios ours / peer: above 1
// means ours moves more items per second, below 1 a shorter round trip.
//
//   queue_bench [--runs N] [--items N] [--trips N]
#include <pthread.h>
#include <sched.h>

#include <boost/lockfree/spsc_queue.hpp>
#include <readerwriterqueue/readerwriterqueue.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/common_def.h"

namespace {

namespace qc = com::quor::kbr::client;
using Clock = std::chrono::steady_clock;
using qc::RawData;
constexpr uint32_t kSlots = qc::RAW_DATA_QUEUE_SIZE;

bool g_pinned = true;  // false once pinning failed; printed in the header

void PinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) g_pinned = false;
}

RawData Item(int64_t i) {
  RawData d;
  d.m_channelIdx = i;
  d.m_payloadLength = static_cast<int32_t>(i & 0xffff);
  return d;
}

// One adapter per queue: the same push / pop of a RawData by value, spinning
// while the queue is full or empty. Each is used by one producer and one
// consumer thread.
class Ours {
 public:
  static const char* Name() { return "SPSCQueueOpt"; }
  Ours() : m_q(std::make_unique<qc::RawDataQueue>()) {}
  void Push(const RawData& d) {
    RawData* slot;
    while ((slot = m_q->alloc()) == nullptr) {
    }
    *slot = d;
    m_q->push();
  }
  RawData Pop() {
    RawData* item;
    while ((item = m_q->front()) == nullptr) {
    }
    const RawData d = *item;
    m_q->pop();
    return d;
  }

 private:
  std::unique_ptr<qc::RawDataQueue> m_q;
};

using MoodycamelQueue = moodycamel::ReaderWriterQueue<RawData>;
using BoostQueue = boost::lockfree::spsc_queue<RawData, boost::lockfree::capacity<kSlots>>;

// Each peer's own non-blocking calls, and how it is made with kSlots - 1 items of room.
bool TryPush(MoodycamelQueue& q, const RawData& d) { return q.try_enqueue(d); }
bool TryPop(MoodycamelQueue& q, RawData& d) { return q.try_dequeue(d); }
std::unique_ptr<MoodycamelQueue> MakeQueue(MoodycamelQueue*) { return std::make_unique<MoodycamelQueue>(kSlots - 1); }
bool TryPush(BoostQueue& q, const RawData& d) { return q.push(d); }
bool TryPop(BoostQueue& q, RawData& d) { return q.pop(d); }
std::unique_ptr<BoostQueue> MakeQueue(BoostQueue*) { return std::make_unique<BoostQueue>(); }

// A peer queue behind the same spinning Push / Pop as Ours.
template <typename Queue, const char* kName>
class Peer {
 public:
  static const char* Name() { return kName; }
  Peer() : m_q(MakeQueue(static_cast<Queue*>(nullptr))) {}
  void Push(const RawData& d) {
    while (!TryPush(*m_q, d)) {
    }
  }
  RawData Pop() {
    RawData d;
    while (!TryPop(*m_q, d)) {
    }
    return d;
  }

 private:
  std::unique_ptr<Queue> m_q;
};

constexpr char kMoodycamelName[] = "moodycamel::ReaderWriterQueue";
constexpr char kBoostName[] = "boost::lockfree::spsc_queue";
using Moodycamel = Peer<MoodycamelQueue, kMoodycamelName>;
using Boost = Peer<BoostQueue, kBoostName>;

// Items/s of one producer -> consumer run; 0 if an item arrived out of order.
template <typename Q>
double Throughput(int64_t items) {
  Q q;
  std::atomic<bool> go{false};
  bool in_order = true;
  Clock::time_point end;
  std::thread consumer([&] {
    PinTo(1);
    while (!go.load(std::memory_order_acquire)) {
    }
    for (int64_t i = 0; i < items; ++i) {
      if (q.Pop().m_channelIdx != i) in_order = false;
    }
    end = Clock::now();
  });
  PinTo(0);
  const auto start = Clock::now();
  go.store(true, std::memory_order_release);
  for (int64_t i = 0; i < items; ++i) q.Push(Item(i));
  consumer.join();
  const double secs = std::chrono::duration<double>(end - start).count();
  return in_order ? static_cast<double>(items) / secs : 0;
}

struct RoundTrip {
  double p50_ns = 0, p99_ns = 0;
};

// One item out over `there`, back over `back`, `trips` times.
template <typename Q>
RoundTrip PingPong(int64_t trips) {
  Q there, back;
  std::thread echo([&] {
    PinTo(1);
    for (int64_t i = 0; i < trips; ++i) back.Push(there.Pop());
  });
  PinTo(0);
  std::vector<int64_t> ns;
  ns.reserve(static_cast<size_t>(trips));
  for (int64_t i = 0; i < trips; ++i) {
    const auto t0 = Clock::now();
    there.Push(Item(i));
    const RawData d = back.Pop();
    ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
    if (d.m_channelIdx != i) {
      std::fprintf(stderr, "round trip: item %lld came back as %lld\n", static_cast<long long>(i),
                   static_cast<long long>(d.m_channelIdx));
      std::exit(1);
    }
  }
  echo.join();
  std::sort(ns.begin(), ns.end());
  return {static_cast<double>(ns[ns.size() / 2]), static_cast<double>(ns[ns.size() * 99 / 100])};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Figures {
  std::vector<double> rate, p50, p99;
};

template <typename Q>
void RunOnce(int64_t items, int64_t trips, int run, Figures* f) {
  const double rate = Throughput<Q>(items);
  if (rate == 0) {
    std::fprintf(stderr, "%s: items arrived out of order\n", Q::Name());
    std::exit(1);
  }
  const RoundTrip rt = PingPong<Q>(trips);
  std::printf("run %d %-30s %12.0f items/s, round trip p50 %7.0f ns, p99 %7.0f ns\n", run, Q::Name(), rate,
              rt.p50_ns, rt.p99_ns);
  std::fflush(stdout);
  f->rate.push_back(rate);
  f->p50.push_back(rt.p50_ns);
  f->p99.push_back(rt.p99_ns);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int64_t items = 20000000;
  int64_t trips = 200000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--items") items = std::max(1LL, std::atoll(argv[i + 1]));
    else if (a == "--trips") trips = std::max(1LL, std::atoll(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: queue_bench [--runs N] [--items N] [--trips N]\n");
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: queue_bench [--runs N] [--items N] [--trips N]\n");
    return 2;
  }
  std::printf("queue_bench: item RawData (%zu bytes), %u slots, %lld items per throughput run, %lld round trips, "
              "%d runs, %u CPUs\n",
              sizeof(RawData), kSlots, static_cast<long long>(items), static_cast<long long>(trips), runs,
              std::thread::hardware_concurrency());
  Figures ours, mc, bq;
  for (int r = 1; r <= runs; ++r) {
    // Taking turns inside each run spreads the machine's noise over all three.
    RunOnce<Ours>(items, trips, r, &ours);
    RunOnce<Moodycamel>(items, trips, r, &mc);
    RunOnce<Boost>(items, trips, r, &bq);
  }
  std::printf("threads pinned to CPUs 0 and 1: %s\n", g_pinned ? "yes" : "no (pinning refused)");
  const double o_rate = Median(ours.rate), o_p50 = Median(ours.p50);
  struct Peer {
    const char* name;
    const Figures* f;
  };
  for (const Peer& p : {Peer{Moodycamel::Name(), &mc}, Peer{Boost::Name(), &bq}}) {
    const double rate = Median(p.f->rate), p50 = Median(p.f->p50);
    std::printf("median: SPSCQueueOpt %.0f items/s vs %s %.0f items/s: ratio %.2f; round trip p50 %.0f ns vs "
                "%.0f ns: ratio %.2f\n",
                o_rate, p.name, rate, o_rate / rate, o_p50, p50, o_p50 / p50);
    std::printf("@row|Queue|items/s, 2 threads, ours / %s|%.1fM vs %.1fM items/s|%.2f|report, no target|-\n", p.name,
                o_rate / 1e6, rate / 1e6, o_rate / rate);
    std::printf("@row|Queue|round trip p50, ours / %s|%.0f vs %.0f ns|%.2f|report, no target|-\n", p.name, o_p50,
                p50, o_p50 / p50);
  }
  return 0;
}
