// Parses each input with json2pb into one of the message types the library
// fills from JSON text (the first byte chooses), then renders what was
// parsed back with pb2json. Refusals are exceptions and expected; a crash,
// overrun, leak or undefined behaviour is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "VentrixQuery.pb.h"
#include "fuzz/fuzz_support.h"
#include "swig/json2pb.h"

namespace qm = com::quor::qel::model;

namespace {

std::unique_ptr<google::protobuf::Message> NewMessage(uint8_t selector) {
  switch (selector % 8) {
    case 0: return std::make_unique<qm::MarketData>();
    case 1: return std::make_unique<qm::LoginRequest>();
    case 2: return std::make_unique<qm::LoginResponse>();
    case 3: return std::make_unique<qm::SubscribeRequest>();
    case 4: return std::make_unique<qm::SubscribeByDataType>();
    case 5: return std::make_unique<qm::SubscribeById>();
    case 6: return std::make_unique<qm::MetaData>();
    default: return std::make_unique<com::quor::kbr::ventrix::model::VentrixQueryResponse>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (qel_fuzz::QuietLibrary(), true);
  (void)quiet;
  if (size == 0) return 0;
  std::unique_ptr<google::protobuf::Message> message = NewMessage(data[0]);
  try {
    json2pb(*message, reinterpret_cast<const char*>(data + 1), size - 1);
  } catch (const std::exception&) {
    // Refused text; the fields set before the refusal stay and are rendered.
  }
  try {
    pb2json(*message);
  } catch (const std::exception&) {
    // A string field holding bytes that are not UTF-8 cannot be rendered.
  }
  return 0;
}
