// The user callback interface: every result, state change and market-data
// record reaches the application through an object derived from this class.
//
// Thread-safety: there is no guarantee how many threads call these functions.
// OnMarketData runs on the callback worker threads, concurrently with login
// and disconnect callbacks from the connection threads; the records of one
// channel of one site type arrive in order on one worker. After login, each
// site type is recovered on a library thread of its own, so the login and
// subscription results of two site types may arrive at the same time. An implementation
// must be safe to call from several threads at once and must outlive the
// client (until ClientFactory::Uninstance returns).
#ifndef QEL_API_MESSAGE_HANDLE_H
#define QEL_API_MESSAGE_HANDLE_H

#include <cstddef>
#include <string>
#include <vector>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "base_define.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::LoginResponse;
using com::quor::qel::model::MarketData;
using com::quor::qel::model::MetaData;
using com::quor::qel::model::SubscribeResponse;

class QEL_API MessageHandle {
 public:
  virtual ~MessageHandle();

  // Once per site type whose subscription succeeded, on the subscribing thread.
  virtual void OnSubscribeResponse(const SubscribeResponse& response) {}
  // Declared for completeness; the library never calls it.
  virtual void OnBridgeData(const MetaData& data, char* buf, size_t size) {}
  // Every decoded market-data record; the record is only lent for the call.
  virtual void OnMarketData(const MarketData& data) {}
  // A discovery host accepted the login; datafeed_list holds the site types
  // in ascending order.
  virtual void OnLoginDiscoverySuccess(const std::string& server_host, std::vector<int> datafeed_list) {}
  virtual void OnLoginDiscoveryFailed(const std::string& server_host) {}
  virtual void OnLoginDiscoveryResponse(const LoginResponse& login_response) {}
  // A whole pass over the discovery hosts ended without success.
  virtual void OnNoDiscoveryServices() {}
  // server_host is "ip:port"; fired on the site type's connection thread.
  virtual void OnLoginDatafeedNodeSuccess(int site_type, const std::string& server_host) {}
  virtual void OnLoginDatafeedNodeFailed(int site_type, const std::string& server_host) {}
  virtual void OnLoginDataServiceSuccess() {}
  virtual void OnLoginDataServiceFailed() {}
  virtual void OnLoginDataServiceResponse(const LoginResponse& login_response) {}
  virtual void OnDisconnected(int site_type, const std::string& server_host) {}

  // Declared for completeness; the library never calls it.
  void ProcessMessage() {}
};

// Called inside OnMarketData: the site type whose datafeed connection
// delivered the record being handled (each callback worker serves one site
// type). -1 when called on any thread that is not a callback worker.
QEL_API int CurrentMarketDataSiteType();

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_API_MESSAGE_HANDLE_H
