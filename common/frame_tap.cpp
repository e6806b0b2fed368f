#include "common/frame_tap.h"

#include <chrono>
#include <thread>

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace frame_tap_detail {
std::atomic<FrameTap*> g_tap{nullptr};
std::atomic<int> g_callsInTap{0};
}  // namespace frame_tap_detail

using namespace frame_tap_detail;

void TapFrameSlow(int site_type, const char* frame, size_t length) {
  // The count is raised before the tap is read again, so SetFrameTap, which
  // swaps the pointer first and then waits for the count to reach zero,
  // never returns while this call can still use the old tap.
  g_callsInTap.fetch_add(1, std::memory_order_seq_cst);
  FrameTap* tap = g_tap.load(std::memory_order_seq_cst);
  if (tap != nullptr) {
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    tap->OnFrame(site_type, frame, length, now);
  }
  g_callsInTap.fetch_sub(1, std::memory_order_release);
}

FrameTap* SetFrameTap(FrameTap* tap) {
  FrameTap* previous = g_tap.exchange(tap, std::memory_order_seq_cst);
  // OnFrame only copies into a queue, so the wait lasts one copy at most.
  while (g_callsInTap.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  return previous;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
