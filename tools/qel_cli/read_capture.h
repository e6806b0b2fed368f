// qel-cli --read: walks a capture file (api/capture.h) and hands each record
// of each recorded frame, with the frame's site type, to the caller, in the
// order the frames were received. Called on main's thread only.
#ifndef QEL_TOOLS_QEL_CLI_READ_CAPTURE_H
#define QEL_TOOLS_QEL_CLI_READ_CAPTURE_H

#include <cstdint>
#include <functional>
#include <string>

#include "MarketData.pb.h"

namespace qel {
namespace cli {

struct CaptureSpan {
  int64_t frames = 0;       // entries read (a truncated last one not counted)
  int64_t first_ns = 0;     // receive time of the first entry
  int64_t last_ns = 0;      // receive time of the last entry
  int64_t bad_frames = 0;   // frames that did not decode whole
};

// on_record returns false to stop early. Problems go to err_line, one line
// each: a frame that does not decode (its sound records are still handed
// on), a truncated last entry (ignored). Returns 0 when the file was read
// to its end or on_record stopped it, 1 when it cannot be read (not a
// capture, newer format version, an entry that cannot be framed).
int ReadCaptureRecords(const std::string& path,
                       const std::function<bool(const com::quor::qel::model::MarketData&, int site_type)>& on_record,
                       const std::function<void(const std::string&)>& err_line, CaptureSpan* span);

}  // namespace cli
}  // namespace qel

#endif  // QEL_TOOLS_QEL_CLI_READ_CAPTURE_H
