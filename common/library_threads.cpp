#include "common/library_threads.h"

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

void MarkLibraryThread() { t_library_thread = true; }

bool IsLibraryThread() { return t_library_thread; }

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
