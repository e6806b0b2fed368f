// How the injected faults (feed_sim.h, Faults) act on one connection: which
// faults a connection sees, the ChannelIndex skips and repeats, the size of
// each split write, and the bytes of malformed frames and unasked heartbeats.
// Pure functions over their arguments, called on the loop threads; they own
// nothing. The settings themselves live in SimulatorImpl.
#ifndef QEL_TOOLS_FEED_SIM_SIM_FAULTS_H
#define QEL_TOOLS_FEED_SIM_SIM_FAULTS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "feed_sim.h"

namespace qel {
namespace sim {

// The faults a connection of a site sees: a datafeed connection of a site
// type that only_site_type leaves out behaves.
Faults FaultsForSite(const Faults& all, bool discovery, int site_type);

// What the sequence faults do to the nth market-data frame of a channel
// (counted from 1): skip ahead skip_index_count indexes, or repeat the last.
struct IndexFault {
  bool skip = false;
  bool repeat = false;
};
IndexFault IndexFaultFor(const Faults& f, int64_t nth_frame);

// The bytes the next split write takes of the left bytes still pending; all
// of them once the split fault is off.
size_t SplitWriteBytes(const Faults& f, size_t left);

// One frame broken the way kind says, on channel; its send time is now.
std::string MalformedFrame(Malformed kind, int32_t channel);

// The heartbeat frames (requests or responses, as f says) sent unasked after
// each market-data frame; empty when the fault is off.
std::string UnaskedHeartbeats(const Faults& f);

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_FAULTS_H
