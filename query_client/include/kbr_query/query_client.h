// Financial-information query client: logs in to a query service and sends
// queries over the system's frame format (TCP, TLS optional).
//
// A client object is used by one thread at a time; it owns its one connection.
// The factory is a process-wide singleton safe to call from any thread.
#ifndef KBR_QUERY_CLIENT_H
#define KBR_QUERY_CLIENT_H

#include <list>
#include <map>
#include <string>

#include "KbrSecurityEnums.pb.h"
#include "VentrixQuery.pb.h"

namespace com {
namespace quor {
namespace kbr {
namespace query {

using ventrix::model::SecuritySourceType;
using ventrix::model::VentrixQueryResponse;

// The answers of one request; the list and every element are owned by the
// client library until ReleaseQueryResponses.
using QueryResponseList = std::list<VentrixQueryResponse*>;

// Error codes of failure answers made by the client itself (the service's own
// codes are passed through unchanged).
enum QueryClientError : int {
  kQueryNotLoggedIn = -2001,   // RequestQuery before a successful login
  kQueryConnectionLost = -2002,  // send failed, no answer in time, or connection closed
  kQueryBadAnswer = -2003,     // the answer frame did not parse
};

class QueryClientInterface {
 public:
  virtual ~QueryClientInterface() = default;

  // Connects to address ("host:port"), performs the TLS handshake when the
  // client was made with TLS, and logs in. True once logged in. Credentials
  // and address are taken by value.
  virtual bool LoginByPassword(std::string user, std::string password, std::string address) = 0;

  // responses: reference to the caller's list pointer; always set to a new valid list (possibly empty).
  // params: pointer to the caller's map, read only; null counts as an empty map.
  // source_types / security_ids: pointer to a list, read only; null means "no filter", an empty list matches nothing.
  // version: protocol tag of the request ("101").
  // True when the service reported success; a failure still leaves any
  // failure answer (error code and message) in responses.
  virtual bool RequestQuery(QueryResponseList*& responses, int data_type,
                            std::map<std::string, std::string>* params,
                            std::list<SecuritySourceType>* source_types,
                            std::list<std::string>* security_ids, std::string version) = 0;

  // responses: the same reference; frees the list and its answers and sets it to null (null is accepted).
  virtual void ReleaseQueryResponses(QueryResponseList*& responses) = 0;
};

class QueryClientFactory {
 public:
  // Never null; lives for the process.
  static QueryClientFactory* Instance();

  // A new client owned by the caller (delete it when done). use_tls and
  // ca_file by value; with TLS, an empty ca_file verifies against the
  // system's default trust store. Null when the TLS context cannot be built
  // (for instance an unreadable CA file).
  QueryClientInterface* CreateClient(bool use_tls, std::string ca_file);

 private:
  QueryClientFactory() = default;
};

}  // namespace query
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // KBR_QUERY_CLIENT_H
