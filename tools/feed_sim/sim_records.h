// Market-data record templates for the push path. A template holds one
// security's record serialised once without its sequence field; each record
// sent is the template plus the hand-encoded envelope and sequence field, so
// the push path allocates nothing per record. Protobuf accepts fields in any
// order, so the output parses as an ordinary MarketData.
// Immutable after construction: shared read-only by every loop thread.
#ifndef QEL_TOOLS_FEED_SIM_SIM_RECORDS_H
#define QEL_TOOLS_FEED_SIM_SIM_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "feed_sim.h"

namespace qel {
namespace sim {

class RecordTemplate {
 public:
  // Builds the template of one security of a stream. False (with a reason)
  // for an unknown record kind.
  static bool Build(const StreamSpec& stream, const std::string& security_id, int64_t channel,
                    RecordTemplate* out, std::string* error);

  int64_t channel() const { return m_channel; }
  const std::string& security_id() const { return m_security_id; }
  // True when the stream asked for a send stamp in every record.
  bool has_stamp() const { return !m_stamp_tag.empty(); }
  // Exact encoded size of the record carrying sequence seq (and, with
  // has_stamp(), the send stamp stamp, a non-negative number).
  size_t EncodedSize(int64_t seq, int64_t stamp = 0) const;
  // Writes the record (serialised MarketData) to out, EncodedSize(seq, stamp)
  // bytes.
  void Encode(int64_t seq, char* out, int64_t stamp = 0) const;

 private:
  int64_t m_channel = 0;
  int32_t m_record_type = 0;
  std::string m_security_id;
  std::string m_envelope_head;  // channel and record-type fields, then the record's tag
  std::string m_inner;          // the record without its sequence field
  std::string m_seq_tag;        // tag of the sequence field
  std::string m_stamp_tag;      // tag of the send-stamp field; empty = no stamp
  bool m_seq_is_double = false;
};

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_SIM_RECORDS_H
