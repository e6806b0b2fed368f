// Reads each input as one of the JSON documents of the Python binding's
// entry functions (the first byte chooses: login, subscribe by data type,
// subscribe by identifier, asynchronous or synchronous query), with the very
// functions the entry functions call before their network work, which is
// not done here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "swig/python_documents.h"

namespace qc = com::quor::kbr::client;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The asynchronous query form prints each identifier on standard output.
  static const bool quiet = (qel_fuzz::QuietLibrary(), qel_fuzz::DiscardStdout(), true);
  (void)quiet;
  if (size == 0) return 0;
  const uint8_t kind = data[0] % 5;
  // The entry functions take NUL-terminated text.
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  qc::JsonPtr doc = qc::ParseDocument(text.c_str(), "fuzz document: %s");
  switch (kind) {
    case 0: {
      const qc::PythonLoginRequest req = qc::ReadLoginDocument(doc.get());
      (void)req.Complete();
      break;
    }
    case 1: {
      const qc::DataTypeSubscription sub = qc::ReadDataTypeSubscription(doc.get());
      (void)sub.message.ByteSizeLong();
      break;
    }
    case 2: {
      const qc::IdSubscription sub = qc::ReadIdSubscription(doc.get());
      (void)sub.message.ByteSizeLong();
      break;
    }
    default: {
      const qc::QueryArguments args = qc::ReadQueryDocument(doc.get(), kind == 3);
      (void)args.params.size();
      break;
    }
  }
  return 0;
}
