#include "log/base_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "config/base_config.h"
#include "kits/multi_platform_kits.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {

const char* const g_level_str[4] = {"DEBUG", "INFO ", "WARN ", "ERROR"};

const char* const ascii_logo =
    "  ___     _____   _          ____   _       ___   _____   _   _   _____     \n"
    " / _ \\   | ____| | |        / ___| | |     |_ _| | ____| | \\ | | |_   _|    \n"
    "| | | |  |  _|   | |       | |     | |      | |  |  _|   |  \\| |   | |      \n"
    "| |_| |  | |___  | |___    | |___  | |___   | |  | |___  | |\\  |   | |      \n"
    " \\__\\_\\  |_____| |_____|    \\____| |_____| |___| |_____| |_| \\_|   |_|      \n"
    "                                                                             \n"
    "             market data client SDK over TCP, C++ edition                    \n"
    "=============================================================================\n"
    "                              Version: %2d.%2d.%2d";

constexpr size_t kLogoBufferLen = 16384;
constexpr size_t kStampLen = 64;  // room for any year; the stamp itself is 26 characters
constexpr size_t kLineExtra = 128;

std::atomic<LogInterface*> g_log{nullptr};
Mutex g_log_mutex;  // serialises SetGlobalLog

// Calls into the user sink are counted so that SetGlobalLog can wait until no
// thread still runs inside the sink it replaced: once it returns, the
// application may destroy that sink. A caller counts itself in the slot of
// the grace period it saw (g_sink_period's low bit); a swap opens two new
// periods in turn and waits for the slot each one closed to drain. Callers
// that arrive later land in the open slot, so the wait ends even while other
// threads keep logging. All orders are sequentially consistent.
std::atomic<unsigned> g_sink_period{0};
std::atomic<int> g_sink_calls[2] = {{0}, {0}};
thread_local int t_sink_depth = 0;  // > 0 while this thread runs inside the sink

void CallSink(VentrixLogLevel level, const char* message) {
  const unsigned slot = g_sink_period.load() & 1u;
  g_sink_calls[slot].fetch_add(1);
  LogInterface* sink = g_log.load();
  if (sink != nullptr) {
    ++t_sink_depth;
    sink->LogPrint(level, message);
    --t_sink_depth;
  }
  g_sink_calls[slot].fetch_sub(1);
}

// Waits until every sink call that may have read the sink before the swap has
// returned. Two periods: a caller may have read a period one swap old.
void WaitForSinkCallsBeforeSwap() {
  for (int phase = 0; phase < 2; ++phase) {
    const unsigned closed = g_sink_period.fetch_add(1) & 1u;
    while (g_sink_calls[closed].load() != 0) std::this_thread::yield();
  }
}

const int g_process_id = MultiPlatformKits::GetProcessId();

// The shared log file. g_log_file_mutex guards creation, destruction and every
// write to the stream, so a line is written and flushed whole and a stream is
// never used after CloseLogOfs destroyed it.
Mutex g_log_file_mutex;
// Read without the lock only to skip it when no file is open; created,
// written and destroyed with g_log_file_mutex held.
std::atomic<std::ofstream*> g_ofs{nullptr};

std::string LogFilePath() {
  std::string folder = BaseConfig::GetInstance().GetLogFileOutFolder();
  if (!folder.empty() && !MultiPlatformKits::FolderExist(folder.c_str()) &&
      !MultiPlatformKits::CreateFolder(folder.c_str())) {
    printf("Create folder: %s failed, set to default path", folder.c_str());
    folder = "./";
  }
  char name[128] = {0};
  snprintf(name, sizeof(name), "pid_%d.log", g_process_id);
  return folder + name;
}

// The file is made readable and writable by its owner only (0600) before the
// stream opens it: it carries the application's hosts, users and requests. An
// existing file of that name, about to be truncated, is restricted the same way.
void RestrictLogFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return;  // the stream's own open reports the failure
  if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
    printf("restrict log file[%s] to its owner failed\n", path.c_str());
  }
  ::close(fd);
}

// Creates the stream; g_log_file_mutex must be held. Returns the stream when it
// is good, null otherwise (a failed stream stays installed and discards text).
std::ofstream* OpenLogOfsLocked() REQUIRES(g_log_file_mutex) {
  std::ofstream* existing = g_ofs.load(std::memory_order_acquire);
  if (existing != nullptr) return existing->good() ? existing : nullptr;
  const std::string path = LogFilePath();
  RestrictLogFile(path);
  auto* ofs = new std::ofstream(path, std::ios::out | std::ios::trunc);
  g_ofs.store(ofs, std::memory_order_release);
  if (!ofs->good()) {
    printf("open log file[%s] failed!!\n", path.c_str());
    return nullptr;
  }
  std::vector<char> banner(kLogoBufferLen, '\0');
  snprintf(banner.data(), banner.size(), ascii_logo, 1, 0, 0);
  printf("%s", banner.data());
  *ofs << std::endl << banner.data() << std::endl;
  printf("open log file[%s] successfully!\n", path.c_str());
  return ofs;
}

// vsnprintf into a heap text of exactly the needed length; empty on failure.
bool FormatMessage(std::string& out, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) return false;
  out.resize(static_cast<size_t>(needed) + 1);
  if (vsnprintf(&out[0], out.size(), format, args) < 0) return false;
  out.resize(static_cast<size_t>(needed));
  return true;
}

void PrintAt(VentrixLogLevel level, const char* format, va_list args) {
  if (format == nullptr) return;
  std::string message;
  if (!FormatMessage(message, format, args)) return;
  BaseLogPrint(level, message.c_str());
}

}  // namespace

LogInterface::~LogInterface() = default;

void DebugPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintAt(VENTRIX_DEBUG, format, args);
  va_end(args);
}

void InfoPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintAt(VENTRIX_INFO, format, args);
  va_end(args);
}

void WarnPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintAt(VENTRIX_WARN, format, args);
  va_end(args);
}

void ErrorPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintAt(VENTRIX_ERROR, format, args);
  va_end(args);
}

void SetGlobalLog(LogInterface* log) {
  MutexLock lock(g_log_mutex);
  g_log.store(log);
  // From inside a sink call the wait would include this very call: the swap
  // then takes effect without waiting, and the caller's sink outlives its
  // own call anyway.
  if (t_sink_depth == 0) WaitForSinkCallsBeforeSwap();
}

void BaseLogPrint(const VentrixLogLevel& level, const char* message) {
  if (message == nullptr) return;
  if (g_log.load() != nullptr) CallSink(level, message);
  if (static_cast<uint32_t>(level) >= BaseConfig::GetInstance().GetLogSeverity()) {
    LogMessageToTargets(level, message);
  }
}

void LogMessageToTargets(VentrixLogLevel level, const char* message) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t now = tv.tv_sec;
  struct tm local;
  localtime_r(&now, &local);
  char stamp[kStampLen] = {0};
  snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d:%06ld", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<long>(tv.tv_usec));
  const char* level_name = static_cast<uint32_t>(level) < 4 ? g_level_str[level] : "?????";
  size_t len = strlen(message) + kLineExtra;
  std::unique_ptr<char[]> line(new char[len]);
  snprintf(line.get(), len, "%s pid[%d] %s: %s\n", stamp, g_process_id, level_name, message);
  OutputMessage(line.get());
}

void OutputMessage(const char* line) {
  const BaseConfig& config = BaseConfig::GetInstance();
  if (config.IsFileLog()) {
    // Blocking here (rather than skipping the file while another thread opens
    // it) keeps every line in the file; writes are serialised anyway.
    MutexLock lock(g_log_file_mutex);
    std::ofstream* ofs = OpenLogOfsLocked();
    if (ofs != nullptr) {
      *ofs << line;
      ofs->flush();
    }
  }
  if (config.IsCoutLog()) {
    // One fwrite per line: stdio locks the stream for the whole call.
    fwrite(line, 1, strlen(line), stdout);
  }
}

std::ofstream* GetLogOfs() {
  std::ofstream* ofs = g_ofs.load(std::memory_order_acquire);
  if (ofs != nullptr) return ofs;
  if (!g_log_file_mutex.TryLock()) return nullptr;
  std::ofstream* opened = OpenLogOfsLocked();
  g_log_file_mutex.Unlock();
  return opened;
}

void CloseLogOfs() {
  if (g_ofs.load(std::memory_order_acquire) == nullptr) return;
  MutexLock lock(g_log_file_mutex);
  std::ofstream* ofs = g_ofs.exchange(nullptr, std::memory_order_acq_rel);
  if (ofs == nullptr) return;
  if (ofs->is_open()) ofs->close();
  delete ofs;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
