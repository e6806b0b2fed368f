// Writes each input as a configuration file and loads it with
// BaseConfig::SetConfigFilePath, as an application loading its key=value
// file does. The loader reports every line on standard output, which is sent
// to /dev/null here; libFuzzer reports on standard error.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"

namespace qc = com::quor::kbr::client;

namespace {

struct Fixture {
  Fixture() {
    qel_fuzz::QuietLibrary();
    qel_fuzz::DiscardStdout();
    char name[] = "/tmp/qel_config_fuzz_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) abort();
    close(fd);
    path = name;
  }
  ~Fixture() { unlink(path.c_str()); }
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* fixture = new Fixture();
  FILE* file = std::fopen(fixture->path.c_str(), "wb");
  if (file == nullptr) abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) abort();
  std::fclose(file);
  qc::BaseConfig& config = qc::BaseConfig::GetInstance();
  if (!config.SetConfigFilePath(fixture->path.c_str())) abort();  // the file exists and is readable
  // Read back what the getters derive from the text.
  volatile uint64_t sink = config.GetHandleThreadNum() + config.GetReadTimeout() + config.GetSendTimeout() +
                           config.GetLoginTryCount() + config.GetMaxInflightBytes() + config.GetLogSeverity() +
                           static_cast<uint64_t>(config.GetIntValue(qc::VENTRIX_CONFIG_HANDLE_THREAD_NUM)) +
                           static_cast<uint64_t>(config.GetThreadIdleSleepTime().count()) +
                           static_cast<uint64_t>(config.GetDaemonCheckInterval().count()) +
                           config.GetHttpUri().size() + config.GetLogFileOutFolder().size();
  (void)sink;
  // A file may switch the logs on; keep them off for the next input.
  config.CloseFileLog();
  config.CloseCoutLog();
  return 0;
}
