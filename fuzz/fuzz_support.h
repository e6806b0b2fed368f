// Shared set-up of the libFuzzer targets: the library's logs silenced, so a
// run spends its time in the code under test, not in formatting lines.
#ifndef QEL_FUZZ_FUZZ_SUPPORT_H
#define QEL_FUZZ_FUZZ_SUPPORT_H

#include <google/protobuf/stubs/logging.h>

#include "config/base_config.h"

namespace qel_fuzz {

// No log file, no console lines, no protobuf warnings (protobuf reports
// every string field with invalid UTF-8 on stderr; over a fuzz run that is
// hundreds of thousands of lines of noise).
inline void QuietLibrary() {
  auto& config = com::quor::kbr::client::BaseConfig::GetInstance();
  config.CloseFileLog();
  config.CloseCoutLog();
  google::protobuf::SetLogHandler(nullptr);
}

}  // namespace qel_fuzz

#endif  // QEL_FUZZ_FUZZ_SUPPORT_H
