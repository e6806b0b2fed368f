#include "common/event_handles.h"

#include <event2/thread.h>

#include <mutex>

namespace com {
namespace quor {
namespace kbr {
namespace client {

void EnableEventThreading() {
  static std::once_flag once;
  std::call_once(once, [] { evthread_use_pthreads(); });
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
