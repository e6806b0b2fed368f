// A histogram of delays in microseconds with one writer and any number of
// readers: the writer adds with relaxed single-writer stores, a reader loads
// the buckets and reads a percentile; no lock on either side.
//
// Buckets are log-linear: exact below 16 us, then eight per power of two, so
// a percentile is read within 12.5% of the true value up to about 12 days.
#ifndef QEL_COMMON_DELAY_HISTOGRAM_H
#define QEL_COMMON_DELAY_HISTOGRAM_H

#include <array>
#include <atomic>
#include <cstdint>

namespace com {
namespace quor {
namespace kbr {
namespace client {

class DelayHistogram {
 public:
  static constexpr int kLinear = 16;       // exact buckets for 0..15 us
  static constexpr int kSubBuckets = 8;    // per power of two above them
  static constexpr int kMaxExponent = 40;  // 2^40 us; longer delays land in the last bucket
  static constexpr int kBuckets = kLinear + (kMaxExponent - 4 + 1) * kSubBuckets;

  // Writer thread only.
  void Record(int64_t micros) {
    std::atomic<uint64_t>& bucket = m_buckets[static_cast<size_t>(BucketOf(micros))];
    bucket.store(bucket.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  // Any thread: the upper bound of the bucket holding the q-th quantile
  // (0 < q <= 1) of what was recorded so far; -1 when nothing was.
  double Percentile(double q) const {
    std::array<uint64_t, kBuckets> counts;
    uint64_t total = 0;
    for (int i = 0; i < kBuckets; ++i) {
      counts[static_cast<size_t>(i)] = m_buckets[static_cast<size_t>(i)].load(std::memory_order_relaxed);
      total += counts[static_cast<size_t>(i)];
    }
    if (total == 0) return -1.0;
    const double rank = q * static_cast<double>(total);
    uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
      seen += counts[static_cast<size_t>(i)];
      if (static_cast<double>(seen) >= rank && counts[static_cast<size_t>(i)] != 0) return UpperBound(i);
    }
    return UpperBound(kBuckets - 1);
  }

  static int BucketOf(int64_t micros) {
    if (micros < kLinear) return micros < 0 ? 0 : static_cast<int>(micros);
    const uint64_t v = static_cast<uint64_t>(micros);
    const int exponent = 63 - __builtin_clzll(v);  // >= 4
    if (exponent > kMaxExponent) return kBuckets - 1;
    const int sub = static_cast<int>((v >> (exponent - 3)) & (kSubBuckets - 1));
    return kLinear + (exponent - 4) * kSubBuckets + sub;
  }
  // The largest delay (us) a bucket holds.
  static double UpperBound(int bucket) {
    if (bucket < kLinear) return static_cast<double>(bucket);
    const int exponent = 4 + (bucket - kLinear) / kSubBuckets;
    const int sub = (bucket - kLinear) % kSubBuckets;
    const double step = static_cast<double>(uint64_t{1} << (exponent - 3));
    return static_cast<double>(uint64_t{1} << exponent) + step * (sub + 1) - 1;
  }

 private:
  std::array<std::atomic<uint64_t>, kBuckets> m_buckets{};
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_DELAY_HISTOGRAM_H
