// Live statistics of the running client, one entry per datafeed site type.
//
// GetClientStats may be called from any thread, as often as wanted: it reads
// counters that the library's threads keep as they work and never waits for
// the data path (it only lists the client's connections under their short
// lock). Counters count from the moment the site type's connection was made
// (a new datafeed login keeps them); gauges are the value at the snapshot.
#ifndef QEL_API_CLIENT_STATS_H
#define QEL_API_CLIENT_STATS_H

#include <cstdint>
#include <string>
#include <vector>

#include "base_define.h"
#include "client_interface.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

struct SiteTypeStats {
  int site_type = 0;
  // 0 not connected, 1 connecting, 2 logged in, 3 connect or login failed.
  int connection_state = 0;
  std::string node;  // "ip:port" of the node in use or being tried; empty when none
  // Counters.
  uint64_t frames_received = 0;          // market-data frames taken from the stream
  uint64_t bytes_received = 0;           // bytes of every frame taken from the stream (header included)
  uint64_t records_decoded = 0;          // records decoded and handed to the callback workers
  uint64_t records_delivered = 0;        // records whose OnMarketData call returned
  uint64_t decode_failures = 0;          // frames dropped or cut short, records that do not parse
  uint64_t gaps = 0;                     // forward jumps of a channel's frame index
  uint64_t frames_missing = 0;           // frame indexes those jumps passed over
  uint64_t duplicates_or_backwards = 0;  // frames whose index was repeated or went back
  uint64_t reader_pauses = 0;            // times reading stopped because decoding or callbacks lagged
  uint64_t reconnects = 0;               // datafeed logins after the connection's first
  // Gauges.
  uint64_t raw_queue_depth = 0;            // frames queued for the decode thread
  uint64_t raw_queue_high_water = 0;       // the most frames ever queued at once
  uint64_t payload_bytes_in_flight = 0;    // payload bytes queued for or held by the decode thread
  uint64_t decoded_record_bytes_held = 0;  // charge of decoded records not yet released
  int64_t last_frame_unix_ns = 0;          // when the last market-data frame was read; 0 before the first
  // Delay from a frame's send time (set by the node) to the hand-over of its
  // records to the callback workers, in microseconds, over every frame so far
  // (within 12.5%); -1 before the first frame that carries a send time.
  double delay_p50_us = -1.0;
  double delay_p99_us = -1.0;
};

// Fills out with one entry per site type of the client, in ascending site
// type order. 0 on success; -1029 for a null client or out, or a client that
// this library did not create.
QEL_API int GetClientStats(ClientInterface* client, std::vector<SiteTypeStats>* out);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_CLIENT_STATS_H
