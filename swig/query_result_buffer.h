// The layouts of the synchronous query result buffer, written into a buffer
// the caller owns and has cleared to zeros:
//   fitting answers: "%10d" total length (10 + text), then the JSON text, NUL;
//   too large:       "9999999999";
//   failed:          "9999999998", then for a failure answer "%8d" code (its
//                    first 8 characters), "%8d" message length, the message
//                    and a NUL; a message that would not fit is cut.
// Stateless; any thread.
#ifndef QEL_SWIG_QUERY_RESULT_BUFFER_H
#define QEL_SWIG_QUERY_RESULT_BUFFER_H

#include <cstddef>
#include <string>

namespace com {
namespace quor {
namespace kbr {
namespace client {

struct SyncQueryOutcome {
  bool ok = false;         // the query library reported success
  std::string text;        // ok: the JSON array of the answers
  bool has_failure = false;  // !ok: a failure answer was found
  int code = 0;            // its error code
  std::string message;     // its error message
};

// Writes outcome into buf, whose real size is capacity bytes; the answers fit
// when 10 + text length is below max_size (and the buffer holds max_size
// bytes or more). Returns how many bytes from the start may now be non-zero.
size_t WriteSyncQueryResult(char* buf, size_t capacity, size_t max_size, const SyncQueryOutcome& outcome);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_SWIG_QUERY_RESULT_BUFFER_H
