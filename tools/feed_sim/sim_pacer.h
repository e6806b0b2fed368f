// Stream pacing of one datafeed connection: which records of which stream go
// out next, how many the streams' rates allow, and the ChannelIndex and record
// sequence each market-data frame carries. A Pacer is called only on its
// connection's loop thread; it owns that connection's token buckets,
// subscription slots, per-channel counters and frame scratch. The record
// templates it encodes from stay the site's.
#ifndef QEL_TOOLS_FEED_SIM_SIM_PACER_H
#define QEL_TOOLS_FEED_SIM_SIM_PACER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "MetaData.pb.h"
#include "feed_sim.h"
#include "sim_frame.h"
#include "sim_records.h"

namespace qel {
namespace sim {

// A stream of a site with one record template per security.
// Immutable after Start; read by the site's loop thread.
struct StreamRuntime {
  StreamSpec spec;
  std::vector<RecordTemplate> templates;
};

// What one market-data frame built by Pacer::BuildFrame carried.
struct PacedFrame {
  int records = 0;
  int64_t channel = 0;
  int64_t frame_index = 0;  // the ChannelIndex sent
  int64_t last_record_seq = 0;
  bool index_skipped = false;   // the index jumped ahead under the skip fault
  bool index_repeated = false;  // the index repeated the previous one under the repeat fault
};

class Pacer {
 public:
  // streams: the site's, immutable while the connection lives.
  explicit Pacer(const std::vector<StreamRuntime>* streams);

  // Selects the records a subscription covers (every security of a type in
  // types, the listed ids of the others), leaving out types not permitted
  // (an empty list permits all).
  void Rebuild(const std::vector<int>& permitted, const std::set<int>& types,
               const std::map<int, std::set<std::string>>& ids);
  bool empty() const { return m_slots.empty(); }
  // True when some stream has a rate and so needs the tick.
  bool paced() const;
  // Starts the tick clock; Tick accrues from here.
  void StartClock();
  // Accrues the rated streams' allowance since the last tick, keeping at most
  // max_backlog_ms of it.
  void Tick(int max_backlog_ms);
  // The next slot with records due, round robin: its index and how many
  // records it may send now. False when nothing is due.
  bool Next(size_t* slot, int64_t* want);
  // Encodes up to max_records of a slot as one frame into *out (replacing
  // it), stamping the channel's next ChannelIndex and record sequences and
  // applying the index skip/repeat faults of f.
  PacedFrame BuildFrame(size_t slot, int max_records, const Faults& f, std::string* out);
  // The channel of the first slot, 0 without a subscription.
  int32_t first_channel() const;

 private:
  struct StreamState {
    double tokens = 0;
    int64_t sent = 0;
  };
  // Records of one stream on one channel that the subscription selects.
  struct Slot {
    size_t stream = 0;
    int64_t channel = 0;
    std::vector<const RecordTemplate*> records;
    size_t cursor = 0;
  };
  struct ChannelCounter {
    int64_t frame_index = 0;
    int64_t record_seq = 0;
    int64_t frames = 0;  // market-data frames sent on the channel (the sequence faults count these)
  };

  const std::vector<StreamRuntime>* m_streams;
  std::vector<StreamState> m_stream_state;
  std::vector<Slot> m_slots;
  size_t m_next_slot = 0;
  std::unordered_map<int64_t, ChannelCounter> m_channels;
  double m_last_tick = 0;

  RecordPayloadBuilder m_payload;
  com::quor::qel::model::MetaData m_meta;
};

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_PACER_H
