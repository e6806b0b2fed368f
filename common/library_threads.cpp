#include "common/library_threads.h"

#include <pthread.h>

#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
thread_local bool t_library_thread = false;  // this thread's own mark
thread_local int t_delivery_site_type = -1;  // site type of the pool this worker serves
}  // namespace

void SetDeliverySiteType(int site_type) { t_delivery_site_type = site_type; }

int CurrentMarketDataSiteType() { return t_delivery_site_type; }

void MarkLibraryThread(const std::string& name) {
  t_library_thread = true;
  // The kernel keeps 15 characters; a longer name is refused, not cut.
  if (!name.empty()) (void)pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool IsLibraryThread() { return t_library_thread; }

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
