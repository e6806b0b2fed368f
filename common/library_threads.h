// Which threads belong to the library: every thread the library starts
// (connection loops, daemon, decompress and worker threads) marks itself first
// thing, so that operations that must never run on such a thread (releasing
// the client from inside a callback) can detect and refuse it.
//
// Thread-safety: each thread reads and writes only its own marks.
#ifndef QEL_COMMON_LIBRARY_THREADS_H
#define QEL_COMMON_LIBRARY_THREADS_H

#include <string>

namespace com {
namespace quor {
namespace kbr {
namespace client {

// Marks the calling thread as a library thread for the rest of its life and,
// when name is given, names it so (cut to 15 characters) for top, perf and
// debuggers, e.g. "qel-decomp-1".
void MarkLibraryThread(const std::string& name = std::string());
// True on a thread that called MarkLibraryThread.
bool IsLibraryThread();

// Sets the site type whose records the calling thread delivers, read back by
// CurrentMarketDataSiteType: a callback worker serves one site type's pool
// for its whole life and sets it once at start. -1 on every other thread.
void SetDeliverySiteType(int site_type);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_COMMON_LIBRARY_THREADS_H
