// Entry point of the library: the process-wide factory that configures the
// library and owns its one client.
//
// Calling order: Instance(); optionally RegistLogHandle and SetConfig or the
// ClientConfig setters (the TLS switch and certificate folder before
// CreateClient); CreateClient(handle); LoginByServiceDiscovery; subscriptions;
// finally Uninstance(), which stops and destroys everything.
//
// Thread-safety: Instance, CreateClient and Uninstance serialise on one lock;
// SetConfig and RegistLogHandle take none and belong before CreateClient.
#ifndef QEL_API_CLIENT_FACTORY_H
#define QEL_API_CLIENT_FACTORY_H

#include "base_define.h"
#include "client_interface.h"
#include "log_interface.h"
#include "message_handle.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

class QEL_API ClientFactory {
 public:
  // Creates the factory on first use; makes the process ignore SIGPIPE so that
  // writes to a closed socket surface as errors.
  static ClientFactory* Instance();
  // Deletes the factory and the client (which stops every library thread);
  // the configuration survives. Call it from an application thread: called
  // from a thread of the library (inside any MessageHandle callback, or a
  // LogInterface sink called there) it is refused with an error line and
  // changes nothing, since the library cannot stop the thread it runs on.
  static void Uninstance();

  // Loads a configuration file; a null or empty path does nothing.
  void SetConfig(const char* config_path);
  // Installs the log sink; a null handle does nothing.
  void RegistLogHandle(LogInterface* log_handle);
  // Returns the process's one client, creating it on the first call with
  // handle (later calls return the same client and ignore their handle).
  // Null for a null handle or when the TLS setup fails.
  ClientInterface* CreateClient(MessageHandle* handle);

 private:
  ClientFactory();
  ~ClientFactory() = default;

  static ClientFactory* s_factory;
  static ClientInterface* s_client;
};

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_CLIENT_FACTORY_H
