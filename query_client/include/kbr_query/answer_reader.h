// The query client's reading of answers, apart from its socket: the frames
// of one answer taken from any byte source, and the answers of a
// QUERY_RESPONSE body turned into the list handed to callers. Stateless;
// callable from any thread, each call with its own arguments.
#ifndef KBR_QUERY_ANSWER_READER_H
#define KBR_QUERY_ANSWER_READER_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "kbr_query/query_client.h"

namespace google {
namespace protobuf {
class MessageLite;
}  // namespace protobuf
}  // namespace google

namespace com {
namespace quor {
namespace kbr {
namespace query {

// Largest metadata or payload length an answer frame may announce: answers
// may hold many rows, so the bound is above the market-data frames' one.
constexpr int32_t kMaxAnswerSectionLen = 16 * 1024 * 1024;

enum class AnswerStatus {
  kOk,    // answer parsed
  kLost,  // the source ran dry (connection lost, no answer in time)
  kBad,   // a frame or the answer did not parse: the stream is out of step
};

// Fills exactly n bytes at p; false when the source cannot.
using ReadExactly = std::function<bool(char* p, size_t n)>;

// Reads frames from read until one whose metadata names answer_type, and
// parses its body into answer; frames of other types are skipped. When
// peak_buffer_bytes is given it receives the most memory the frame buffers
// held at once (their capacity).
AnswerStatus ReadAnswer(const ReadExactly& read, int answer_type, google::protobuf::MessageLite* answer,
                        size_t* peak_buffer_bytes = nullptr);

// Moves every answer of resp into list (a failure answer made from resp's
// error context when resp reports failure and holds none); resp's success.
bool TakeAnswers(ventrix::model::QueryResponse& resp, QueryResponseList* list);

}  // namespace query
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // KBR_QUERY_ANSWER_READER_H
