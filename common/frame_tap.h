// The frame tap: a process-wide observer that the datafeed connections hand
// every market-data frame to, whole (header, metadata, payload) and as
// received, as they take it from the stream. Used by the capture recorder.
//
// Thread-safety: OnFrame is called on the connections' loop threads, several
// at once (one per site type); it must copy what it keeps and never wait.
// SetFrameTap may be called from any thread; once it returns, no call of the
// tap it replaced is still running.
#ifndef QEL_COMMON_FRAME_TAP_H
#define QEL_COMMON_FRAME_TAP_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace com {
namespace quor {
namespace kbr {
namespace client {

class FrameTap {
 public:
  virtual ~FrameTap() = default;
  // frame: the frame's bytes, valid for the call only; receive_time_ns: when
  // the frame was taken from the stream, nanoseconds since the Unix epoch.
  virtual void OnFrame(int site_type, const char* frame, size_t length, int64_t receive_time_ns) = 0;
};

namespace frame_tap_detail {
extern std::atomic<FrameTap*> g_tap;      // the installed tap; null when none
extern std::atomic<int> g_callsInTap;     // OnFrame calls under way
}  // namespace frame_tap_detail

// Installs tap (null removes it) and waits until calls of the previous tap
// have returned; returns the previous tap.
FrameTap* SetFrameTap(FrameTap* tap);

// Hands a frame to the installed tap with the time of the call; nothing
// when the tap was removed meanwhile.
void TapFrameSlow(int site_type, const char* frame, size_t length);

// True while a tap is installed: one relaxed load, so the connections pay a
// single predictable branch per frame when none is.
inline bool FrameTapInstalled() {
  return frame_tap_detail::g_tap.load(std::memory_order_relaxed) != nullptr;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_FRAME_TAP_H
