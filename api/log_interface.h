// User log sink and log levels.
//
// Thread-safety: LogPrint is called on whatever library thread logs, possibly
// on several threads at once; an implementation does its own locking. The
// library stores only the pointer and never deletes the sink, which must
// outlive the client.
#ifndef QEL_API_LOG_INTERFACE_H
#define QEL_API_LOG_INTERFACE_H

#include <cstdint>

#include "base_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

enum VentrixLogLevel : uint32_t {
  VENTRIX_DEBUG = 0,
  VENTRIX_INFO = 1,
  VENTRIX_WARN = 2,
  VENTRIX_ERROR = 3,
};

class QEL_API LogInterface {
 public:
  virtual ~LogInterface();
  // Receives every message at every level, whatever the configured severity:
  // the formatted text only, with no time stamp, level name or line break.
  virtual void LogPrint(VentrixLogLevel level, const char* message) {}
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_LOG_INTERFACE_H
