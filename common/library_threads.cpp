#include "common/library_threads.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
thread_local bool t_library_thread = false;  // this thread's own mark
}  // namespace

void MarkLibraryThread() { t_library_thread = true; }

bool IsLibraryThread() { return t_library_thread; }

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
