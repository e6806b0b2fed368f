// Reading of the JSON documents the Python binding's entry functions take
// (login, the two subscriptions, the queries), apart from the network work
// the entry functions do with what was read. Called on script threads; the
// login reader stores the process-wide values its document names under the
// binding's lock, the others touch no shared state.
#ifndef QEL_SWIG_PYTHON_DOCUMENTS_H
#define QEL_SWIG_PYTHON_DOCUMENTS_H

#include <jansson.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SysSubscribe.pb.h"
#include "kbr_query/query_client.h"
#include "swig/python_wrapper.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

struct JsonDecref {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

// Parses text (null reads as ""); on failure logs failure_format with the
// parser's text and returns an empty object, so every key reads as absent.
JsonPtr ParseDocument(const char* text, const char* failure_format);

// What one login document asks for.
struct PythonLoginRequest {
  std::string user;
  std::string password;
  std::string cert_folder;
  std::string ip;
  int port = EFFECTIVE_DATA;  // no port given
  bool ssl = false;
  int thread_count = 4;
  std::vector<std::string> backup;  // "ip:port" of each backup server

  bool Complete() const { return !ip.empty() && port != EFFECTIVE_DATA && !user.empty() && !password.empty(); }
};

// Reads a login document and stores the process-wide values it names (user,
// password, certificate folder, query settings) for later logins and queries.
PythonLoginRequest ReadLoginDocument(json_t* doc);

// A subscribe-by-data-type document: nothing is sent without a type list.
struct DataTypeSubscription {
  com::quor::qel::model::ESubscribeActionType action = com::quor::qel::model::COVERAGE;
  bool has_types = false;
  com::quor::qel::model::SubscribeByDataType message;
};
DataTypeSubscription ReadDataTypeSubscription(json_t* doc);

// A subscribe-by-identifier document: one request is sent per detail, the
// k-th carrying the first k details; nothing without a non-empty list.
struct IdSubscription {
  com::quor::qel::model::ESubscribeActionType action = com::quor::qel::model::COVERAGE;
  bool has_ids = false;
  com::quor::qel::model::SubscribeById message;  // every accepted detail
};
IdSubscription ReadIdSubscription(json_t* doc);

// One query request's arguments for the query library.
struct QueryArguments {
  int data_type = EFFECTIVE_DATA;
  std::map<std::string, std::string> params;
  std::unique_ptr<std::list<com::quor::kbr::query::SecuritySourceType>> source_types;  // null: no list
  std::unique_ptr<std::list<std::string>> security_ids;                             // null: no list
};
// sync selects the log lines of the synchronous form.
QueryArguments ReadQueryDocument(json_t* doc, bool sync);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_SWIG_PYTHON_DOCUMENTS_H
