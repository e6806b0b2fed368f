// The simulator's names for the project's event-loop thread and its owning
// libevent/OpenSSL handles (common/event_loop.h, common/event_handles.h): the
// simulator and the client library hand work to their loop threads the same
// way and release their objects through the same wrappers.
#ifndef QEL_TOOLS_FEED_SIM_SIM_LOOP_H
#define QEL_TOOLS_FEED_SIM_SIM_LOOP_H

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

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_LOOP_H
