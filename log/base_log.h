// Library logging: four printf-style print functions over process-wide state.
//
// Every message goes to the registered user sink (all levels) and, at or above
// the configured severity, to the per-process log file and the console when
// those targets are switched on.
//
// Thread-safety: the print functions may be called from any thread at once;
// each line reaches a target whole. CloseLogOfs may run while others log.
// SetGlobalLog may run while others log: it returns only when no thread is
// still inside the sink it replaced, so the caller may destroy that sink.
#ifndef QEL_LOG_BASE_LOG_H
#define QEL_LOG_BASE_LOG_H

#include <fstream>

#include "log_interface.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

#if defined(__GNUC__)
#define QEL_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QEL_PRINTF_FORMAT(fmt_index, first_arg)
#endif

void DebugPrint(const char* format, ...) QEL_PRINTF_FORMAT(1, 2);
void InfoPrint(const char* format, ...) QEL_PRINTF_FORMAT(1, 2);
void WarnPrint(const char* format, ...) QEL_PRINTF_FORMAT(1, 2);
void ErrorPrint(const char* format, ...) QEL_PRINTF_FORMAT(1, 2);

// Registers the user sink, replacing any earlier one; null removes it. Waits
// for calls still running in the replaced sink (except when called from
// inside a sink call, where waiting would wait for itself).
void SetGlobalLog(LogInterface* log);

// Opens the log file on first use (truncating it and writing the banner) and
// returns the stream, or null when the file could not be opened or another
// thread is opening it right now. The pointer stays valid until CloseLogOfs.
std::ofstream* GetLogOfs();
// Closes and destroys the log file stream; the next file write reopens it.
void CloseLogOfs();

void BaseLogPrint(const VentrixLogLevel& level, const char* message);
void LogMessageToTargets(VentrixLogLevel level, const char* message);
void OutputMessage(const char* line);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_LOG_BASE_LOG_H
