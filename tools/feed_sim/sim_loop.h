// The simulator's names for the project's event-loop thread and its owning
// libevent/OpenSSL handles (common/event_loop.h, common/event_handles.h): the
// simulator and the client library hand work to their loop threads the same
// way and release their objects through the same wrappers. Also the clocks
// the loop threads read.
#ifndef QEL_TOOLS_FEED_SIM_SIM_LOOP_H
#define QEL_TOOLS_FEED_SIM_SIM_LOOP_H

#include <chrono>
#include <cstdint>

#include "common/event_handles.h"
#include "common/event_loop.h"

namespace qel {
namespace sim {

using EventBasePtr = com::quor::kbr::client::EventBasePtr;
using BufferEventPtr = com::quor::kbr::client::BufferEventPtr;
using ListenerPtr = com::quor::kbr::client::ListenerPtr;
using EventPtr = com::quor::kbr::client::EventPtr;
using SslCtxPtr = com::quor::kbr::client::SslCtxPtr;
// One event base run by one thread; Post/Call hand work to it from any thread.
using LoopThread = com::quor::kbr::client::EventLoop;

// The clocks the loop threads read: wall time in nanoseconds for the send
// times frames carry, a steady clock in seconds for pacing.
inline int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_LOOP_H
