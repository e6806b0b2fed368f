// Feeds arbitrary bytes to the query client's reading of a QUERY_RESPONSE,
// as they would arrive after a query: frames are read from the input until
// the answer, its body is parsed, its answers are moved into the list handed
// to callers, and each is rendered as JSON as the Python binding does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>

#include "VentrixQuery.pb.h"
#include "fuzz/fuzz_support.h"
#include "kbr_query/answer_reader.h"
#include "swig/json2pb.h"

namespace kq = com::quor::kbr::query;

namespace {
constexpr int kQueryResponse = 16;  // the answer's frame type
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (qel_fuzz::QuietLibrary(), true);
  (void)quiet;
  size_t pos = 0;
  const kq::ReadExactly read = [&](char* p, size_t n) {
    if (size - pos < n) return false;
    if (n != 0) std::memcpy(p, data + pos, n);
    pos += n;
    return true;
  };
  com::quor::kbr::ventrix::model::QueryResponse resp;
  if (kq::ReadAnswer(read, kQueryResponse, &resp) != kq::AnswerStatus::kOk) return 0;
  kq::QueryResponseList list;
  kq::TakeAnswers(resp, &list);
  for (kq::VentrixQueryResponse* answer : list) {
    try {
      pb2json(*answer);
    } catch (const std::exception&) {
      // Text that is not UTF-8 cannot be rendered; the binding logs it.
    }
    delete answer;
  }
  return 0;
}
