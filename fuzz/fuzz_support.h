// Shared set-up of the libFuzzer targets: the library's logs silenced, so a
// run spends its time in the code under test, not in formatting lines.
#ifndef QEL_FUZZ_FUZZ_SUPPORT_H
#define QEL_FUZZ_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <google/protobuf/stubs/logging.h>
#include <unistd.h>

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

// Sends standard output to /dev/null, for code that reports with printf
// (libFuzzer reports on standard error).
inline void DiscardStdout() {
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0) return;
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
}

}  // namespace qel_fuzz

#endif  // QEL_FUZZ_FUZZ_SUPPORT_H
