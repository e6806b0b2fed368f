// Captures: recording every market-data frame the client receives to a file,
// and reading such a file back offline. The file format is described in
// docs/capture-format.md.
//
// Recording runs on its own writer thread behind a bounded buffer: the
// connections copy each frame into the buffer and go on; when the buffer is
// full the frame is counted as dropped (a warning line with the count each
// second while drops happen, and at stop), never waited for.
//
// Thread-safety: StartCapture and StopCapture serialise on one lock and are
// called from application threads. A CaptureReader belongs to one thread.
#ifndef QEL_API_CAPTURE_H
#define QEL_API_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "MarketData.pb.h"
#include "base_define.h"
#include "client_interface.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

// Starts recording every market-data frame of client to path (created or
// truncated). 0 on success; -1 for a null client or path, or when a capture
// is already running; -2 when the file cannot be opened (with an error line).
QEL_API int StartCapture(ClientInterface* client, const char* path);
// Writes what is buffered, closes the file and logs "Capture stopped: N
// frames written, M dropped" (a warning when M > 0). 0, or -1 when no
// capture runs; -2 when writing the file failed.
QEL_API int StopCapture(ClientInterface* client);

// One recorded frame.
struct CaptureEntry {
  int64_t receive_time_ns = 0;  // when the frame was received, ns since the Unix epoch
  int32_t site_type = 0;
  std::string frame;            // header, metadata and payload as received
};

// Reads a capture file entry by entry. Owns the open file.
class QEL_API CaptureReader {
 public:
  enum class Result { kEntry, kEnd, kTruncated, kError };

  // Opens path and checks its file header; see ok() and error().
  explicit CaptureReader(const std::string& path);
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  bool ok() const { return m_error.empty(); }
  // One line: why the file cannot be read, or what went wrong at the last
  // Next (kTruncated, kError).
  const std::string& error() const { return m_error; }
  int version() const { return m_version; }

  // kEntry: *entry holds the next entry. kEnd: no more entries. kTruncated:
  // the stream ends inside an entry, which is ignored (error() says where).
  // kError: the file cannot be read on.
  Result Next(CaptureEntry* entry);

 private:
  std::FILE* m_file = nullptr;
  std::string m_error;
  int m_version = 0;
  int64_t m_entries = 0;  // entries read so far
};

// The capture format version this library writes and the newest it reads.
QEL_API int CaptureFormatVersion();

// Decodes one recorded frame into its records, as the library delivers them:
// header and metadata parsed, the payload LZ4-decompressed when flagged and
// cut into MarketData records. Returns 0 with *records filled (appended);
// otherwise a negative value with *error saying what is wrong. A frame that
// is not market data gives 0 and no records.
QEL_API int DecodeCaptureFrame(const std::string& frame, std::vector<com::quor::qel::model::MarketData>* records,
                               std::string* error);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_CAPTURE_H
