// The client: discovery login, datafeed login and subscriptions.
//
// All operations return 0 on success or a negative result code; none throws.
// Call them from the application's threads; they block while they wait for
// the service's answers.
#ifndef QEL_API_CLIENT_INTERFACE_H
#define QEL_API_CLIENT_INTERFACE_H

#include <string>
#include <vector>

#include "SysSubscribe.pb.h"
#include "base_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::ESubscribeActionType;
using com::quor::qel::model::SubscribeByDataType;
using com::quor::qel::model::SubscribeById;

class QEL_API ClientInterface {
 public:
  virtual ~ClientInterface();

  // Logs in to the discovery service at ip:port (then the backups, each
  // "ip:port"), then to every datafeed site type, and starts the daemon that
  // keeps the connections alive. 0, -1030 (worth retrying), -1031 (refused)
  // or -1033 (datafeed login failed).
  virtual int LoginByServiceDiscovery(const std::string& user, const std::string& pwd_or_token,
                                      const std::string& ip, int port,
                                      std::vector<std::string> backup_list) = 0;
  // 0 when every site type accepted the subscription, or -1040 when one of
  // them failed it after all tries (a site type not logged in, or no login
  // at all, fails it). From a connection thread's callback (the
  // OnLoginDatafeedNode... and OnDisconnected callbacks) it is refused at
  // once with -1040: that thread would have to read the answer.
  virtual int SubscribeByDatatype(ESubscribeActionType action_type, SubscribeByDataType data_type) = 0;
  virtual int SubscribeById(ESubscribeActionType action_type, SubscribeById id) = 0;
};

// A short English text for a result code of the operations above (0 is
// "success"); "unknown result code" for a value the library never returns.
QEL_API const char* ResultCodeMeaning(int code);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_CLIENT_INTERFACE_H
