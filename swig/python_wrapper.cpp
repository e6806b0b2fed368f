#include "swig/python_wrapper.h"

#include <jansson.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client_factory.h"
#include "client_interface.h"
#include "common/library_threads.h"
#include "common/mutex.h"
#include "config/base_config.h"
#include "config/error_define.h"
#include "kbr_query/query_client.h"
#include "log/base_log.h"
#include "swig/json2pb.h"
#include "swig/python_documents.h"
#include "swig/query_result_buffer.h"

using com::quor::kbr::client::BaseConfig;
using com::quor::kbr::client::ClientFactory;
using com::quor::kbr::client::ClientInterface;
using com::quor::kbr::client::DebugPrint;
using com::quor::kbr::client::ErrorPrint;
using com::quor::kbr::client::DataTypeSubscription;
using com::quor::kbr::client::IdSubscription;
using com::quor::kbr::client::IsLibraryThread;
using com::quor::kbr::client::JsonPtr;
using com::quor::kbr::client::ParseDocument;
using com::quor::kbr::client::PythonLoginRequest;
using com::quor::kbr::client::QueryArguments;
using com::quor::kbr::client::ReadDataTypeSubscription;
using com::quor::kbr::client::ReadIdSubscription;
using com::quor::kbr::client::ReadLoginDocument;
using com::quor::kbr::client::ReadQueryDocument;
using com::quor::kbr::client::Mutex;
using com::quor::kbr::client::MutexLock;
using com::quor::kbr::client::SyncQueryOutcome;
using com::quor::kbr::client::WriteSyncQueryResult;

const int QUERY_TYPE_BASE_INFORMATION = 1011;
const int QUERY_TYPE_LATEST_BASE_INFORMATION = 1012;
const int QUERY_TYPE_ETF_BASE_INFORMATION = 1013;
const int QUERY_TYPE_STATUS = 1021;
const int QUERY_TYPE_SUBSCRIBE_ANSWER = 1031;

namespace {

namespace kq = com::quor::kbr::query;
namespace km = com::quor::kbr::model;
namespace qm = com::quor::qel::model;

// --- Process-wide values of the binding -------------------------------------
//
// Script threads enter the binding concurrently (the module releases the
// interpreter lock around every call), so every value below is read and
// written under g_binding_mutex. The lock is never held across a call into
// the client or the query library: their callbacks come back on other threads
// that may themselves call into the binding.
Mutex g_binding_mutex;  // guards every process-wide value of the binding below

PythonHandle* g_handle GUARDED_BY(g_binding_mutex) = nullptr;
// True from a CreateClient made with g_handle until the binding's logout: the
// factory's client then points at g_handle, which must outlive it.
bool g_client_holds_handle GUARDED_BY(g_binding_mutex) = false;
// True from the start of a python_login until it fails or the binding logs
// out: a second login meanwhile is refused and leaves the running one alone.
bool g_login_claimed GUARDED_BY(g_binding_mutex) = false;

PyLog g_library_pylog;
PyLog* g_pylog GUARDED_BY(g_binding_mutex) = &g_library_pylog;

std::string g_username GUARDED_BY(g_binding_mutex);
std::string g_password GUARDED_BY(g_binding_mutex);
std::string g_cert_folder GUARDED_BY(g_binding_mutex) = "./cert";
// Host, colon, port of the query service; the default host is the local one,
// where the demo simulator serves queries.
std::string g_query_use_ssl GUARDED_BY(g_binding_mutex) = "localhost:9552";
std::string g_query_cert_string GUARDED_BY(g_binding_mutex) = "./cert/QRVentrixCA.crt";
bool g_isquerySSL GUARDED_BY(g_binding_mutex) = true;
int32_t g_max_query_size GUARDED_BY(g_binding_mutex) = 100 * 1024 * 1024;

// The synchronous query result buffer of one calling thread (thread_local, so
// no lock): another thread's query never touches it. Allocated zero-filled
// (calloc, so the untouched part costs no memory) at the configured size and
// re-allocated when a later login raised that size; only the bytes the last
// result wrote are cleared again. The pointer handed out stays valid until
// the same thread's next synchronous query, or the thread's end.
struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
struct QueryResultBuffer {
  std::unique_ptr<char, FreeDeleter> data;
  size_t size = 0;
  size_t dirty = 0;  // bytes the last result wrote
};
thread_local QueryResultBuffer t_querydata;

char g_version[] = "python_4.0.7_2022/7/7";

// The callback object, created on first use.
PythonHandle* HandleLocked() REQUIRES(g_binding_mutex) {
  if (g_handle == nullptr) g_handle = new PythonHandle();
  return g_handle;
}

std::string Dump(const json_t* value) {
  std::string text;
  json_dump_callback(value, json_dump_std_string, &text, 0);
  return text;
}

// The factory's client for handle (created if there is none); remembers that
// the client now holds the binding's handle.
ClientInterface* ClientFor(PythonHandle* handle) {
  ClientInterface* client = ClientFactory::Instance()->CreateClient(handle);
  if (client != nullptr) {
    MutexLock lock(g_binding_mutex);
    g_client_holds_handle = true;
  }
  return client;
}

// Logs out unless called on a library thread (the factory refuses that, and
// the handle must then stay). True when the client is gone.
bool Logout() {
  const bool refused = IsLibraryThread();
  ClientFactory::Uninstance();  // logs the refusal itself on a library thread
  if (refused) return false;
  MutexLock lock(g_binding_mutex);
  g_client_holds_handle = false;
  g_login_claimed = false;
  return true;
}

// Destroys the callback object, logging out first if a client still holds
// it. False, with everything kept, when that logout is refused.
bool DestroyHandle() {
  bool logout_first;
  {
    MutexLock lock(g_binding_mutex);
    logout_first = g_handle != nullptr && g_client_holds_handle;
  }
  // A client still delivering to the handle is stopped before the handle
  // goes; on a library thread that is refused, and the handle then stays.
  if (logout_first && !Logout()) {
    ErrorPrint("the callback object is kept: its client could not be logged out from a library thread");
    return false;
  }
  MutexLock lock(g_binding_mutex);
  if (g_login_claimed) {
    // A login on another thread holds the handle and has not yet made its
    // client: deleting the handle now would leave that login using it.
    ErrorPrint("the callback object is kept: a login on another thread is still using it");
    return false;
  }
  delete g_handle;
  g_handle = nullptr;
  return true;
}

// --- Secrets in log lines -----------------------------------------------------

constexpr const char* kMaskedSecret = "******";

// A member name that carries a secret: it names a password or a token, in
// any case ("Password", "pwdOrToken", "access_token").
bool IsSecretName(const char* name) {
  std::string lower(name != nullptr ? name : "");
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* word : {"password", "passwd", "token", "secret"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

// Replaces, at any depth, the value of every secret member with "******".
void MaskSecretMembers(json_t* value) {
  if (json_is_object(value)) {
    const char* key;
    json_t* member;
    json_object_foreach(value, key, member) {
      // An empty text stays visible: it shows that no secret was given.
      const bool empty = json_is_null(member) || (json_is_string(member) && json_string_length(member) == 0);
      if (IsSecretName(key) && !empty) {
        json_object_set_new(value, key, json_string(kMaskedSecret));
      } else {
        MaskSecretMembers(member);
      }
    }
  } else if (json_is_array(value)) {
    size_t i;
    json_t* element;
    json_array_foreach(value, i, element) MaskSecretMembers(element);
  }
}

// The document text as a log line may show it: re-rendered with every
// secret masked; a text that is not JSON cannot be masked and is not shown.
std::string LoggableDocument(const char* text) {
  JsonPtr doc(json_loads(text != nullptr ? text : "", 0, nullptr));
  if (!doc) return "(not JSON, " + std::to_string(text != nullptr ? std::strlen(text) : 0) + " bytes, not shown)";
  MaskSecretMembers(doc.get());
  return Dump(doc.get());
}

// --- Subscription -------------------------------------------------------------

// The client to subscribe with, or null after logging why.
ClientInterface* SubscribeClient() {
  PythonHandle* handle = globalhandle(true);
  if (handle == nullptr) {
    ErrorPrint("msgHandler is nullptr...");
    return nullptr;
  }
  return ClientFor(handle);
}

// --- Queries ------------------------------------------------------------------

// The query settings of the last login, copied out of the lock.
struct QuerySettings {
  std::string user;
  std::string password;
  std::string address;
  std::string cert;
  bool use_tls = true;
};

QuerySettings CurrentQuerySettings() {
  MutexLock lock(g_binding_mutex);
  return QuerySettings{g_username, g_password, g_query_use_ssl, g_query_cert_string, g_isquerySSL};
}

// A logged-in query client, or null after logging why ("async"/"sync" names
// the form in the lines). The client is the caller's and is deleted after
// the query: the query library hands each client to its caller.
std::unique_ptr<kq::QueryClientInterface> QueryClient(const char* form) {
  const QuerySettings settings = CurrentQuerySettings();
  std::unique_ptr<kq::QueryClientInterface> client(
      kq::QueryClientFactory::Instance()->CreateClient(settings.use_tls, settings.cert));
  if (!client) {
    ErrorPrint("request %s query client creation  failed", form);
    return nullptr;
  }
  if (!client->LoginByPassword(settings.user, settings.password, settings.address)) {
    ErrorPrint("request %s query login failed", form);
    return nullptr;
  }
  return client;
}

// The answers of one request: used on the querying script thread, owns the
// answer list until it goes, then hands it back to the client to free.
class QueryAnswers {
 public:
  explicit QueryAnswers(kq::QueryClientInterface* client) : m_client(client) {}
  ~QueryAnswers() { m_client->ReleaseQueryResponses(m_responses); }
  QueryAnswers(const QueryAnswers&) = delete;
  QueryAnswers& operator=(const QueryAnswers&) = delete;

  bool Request(QueryArguments& args) {
    return m_client->RequestQuery(m_responses, args.data_type, &args.params, args.source_types.get(),
                                  args.security_ids.get(), "101");
  }
  const kq::QueryResponseList& List() const {
    static const kq::QueryResponseList kEmpty;
    return m_responses != nullptr ? *m_responses : kEmpty;
  }

 private:
  kq::QueryClientInterface* m_client;
  kq::QueryResponseList* m_responses = nullptr;
};

// pb2json that reports a conversion error as an empty text.
std::string RenderAnswer(const google::protobuf::Message& answer) {
  try {
    return pb2json(answer);
  } catch (const std::exception& e) {
    ErrorPrint("query answer could not be rendered as JSON: %s", e.what());
    return std::string();
  }
}

// Makes the calling thread's result buffer hold at least size bytes, of
// which only the first `dirty` may be non-zero; afterwards every byte is zero.
char* ClearedQueryData(size_t size) {
  QueryResultBuffer& buffer = t_querydata;
  if (!buffer.data || buffer.size < size) {
    buffer.data.reset(static_cast<char*>(std::calloc(size, 1)));
    if (!buffer.data) {
      buffer.size = 0;
      buffer.dirty = 0;
      return nullptr;
    }
    buffer.size = size;
    buffer.dirty = 0;
    DebugPrint("create query data, data size is %d", static_cast<int>(size));
  }
  std::memset(buffer.data.get(), 0, buffer.dirty);
  buffer.dirty = 0;
  return buffer.data.get();
}

}  // namespace

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {

// Member key of doc when it has the wanted type, else null (another type
// counts as absent). A document that is not an object has no members.
json_t* Member(json_t* doc, const char* key) { return json_is_object(doc) ? json_object_get(doc, key) : nullptr; }
json_t* StringMember(json_t* doc, const char* key) {
  json_t* v = Member(doc, key);
  return json_is_string(v) ? v : nullptr;
}
json_t* IntegerMember(json_t* doc, const char* key) {
  json_t* v = Member(doc, key);
  return json_is_integer(v) ? v : nullptr;
}
json_t* BooleanMember(json_t* doc, const char* key) {
  json_t* v = Member(doc, key);
  return json_is_boolean(v) ? v : nullptr;
}
json_t* ArrayMember(json_t* doc, const char* key) {
  json_t* v = Member(doc, key);
  return json_is_array(v) ? v : nullptr;
}

// The action a "SubType" asks for: 1 to 4 name the actions, any other integer
// is sent unchanged, absent means COVERAGE.
qm::ESubscribeActionType ReadSubType(json_t* doc) {
  json_t* v = IntegerMember(doc, "SubType");
  if (v == nullptr) return qm::COVERAGE;
  int action = static_cast<int>(json_integer_value(v));
  switch (action) {
    case 1: action = qm::COVERAGE; break;
    case 2: action = qm::ADD; break;
    case 3: action = qm::DECREASE; break;
    case 4: action = qm::CANCEL; break;
    default: break;
  }
  DebugPrint("subtype: %d \r\n", action);
  return static_cast<qm::ESubscribeActionType>(action);
}

}  // namespace

// --- Documents of the entry functions ----------------------------------------

// Parses text; on failure logs failure_format with the parser's text and
// returns an empty object, so every key reads as absent.
JsonPtr ParseDocument(const char* text, const char* failure_format) {
  json_error_t error;
  JsonPtr doc(json_loads(text != nullptr ? text : "", 0, &error));
  if (!doc) {
    // The parser quotes the input near the error ("... near 'demo123'"),
    // which may be a secret: the quote is left out.
    std::string reason = error.text;
    const size_t quote = reason.find(" near '");
    if (quote != std::string::npos) reason.resize(quote);
    ErrorPrint(failure_format, (reason + " at line " + std::to_string(error.line) + ", column " +
                                std::to_string(error.column)).c_str());
    return JsonPtr(json_object());
  }
  return doc;
}

PythonLoginRequest ReadLoginDocument(json_t* doc) {
  MutexLock lock(g_binding_mutex);
  PythonLoginRequest req;
  if (json_t* v = StringMember(doc, "UserName")) {
    req.user = json_string_value(v);
    g_username = req.user;
    DebugPrint("UserName: %s \r\n", req.user.c_str());
  }
  if (json_t* v = StringMember(doc, "Password")) {
    req.password = json_string_value(v);
    g_password = req.password;
    DebugPrint("Password: %s \r\n", req.password.empty() ? "" : kMaskedSecret);
  }
  if (json_t* v = StringMember(doc, "CertFolder")) {
    g_cert_folder = json_string_value(v);
    DebugPrint("cert_folder: %s \r\n", g_cert_folder.c_str());
  }
  req.cert_folder = g_cert_folder;
  if (json_t* v = StringMember(doc, "MainServerIP")) {
    req.ip = json_string_value(v);
    DebugPrint("MainServerIP: %s \r\n", req.ip.c_str());
  }
  if (json_t* v = IntegerMember(doc, "MainServerPort")) {
    req.port = static_cast<int>(json_integer_value(v));
    DebugPrint("MainServerPort: %d \r\n", req.port);
  }
  if (json_t* v = BooleanMember(doc, "Is_Ssl")) {
    req.ssl = json_is_true(v);
    DebugPrint("ssl: %d \r\n", req.ssl ? 1 : 0);
  }
  if (json_t* v = StringMember(doc, "QueryAddress")) {
    if (json_string_length(v) > 0) {
      g_query_use_ssl = json_string_value(v);
      DebugPrint("query_use_ssl: %s \r\n", g_query_use_ssl.c_str());
    }
  }
  if (json_t* v = StringMember(doc, "QueryCert")) {
    if (json_string_length(v) > 0) g_query_cert_string = json_string_value(v);
    DebugPrint("QueryCert: %s \r\n", json_string_value(v));
  }
  if (json_t* v = BooleanMember(doc, "QuerySSL")) {
    g_isquerySSL = json_is_true(v);
    DebugPrint("QuerySSL: %d \r\n", g_isquerySSL ? 1 : 0);
  }
  if (json_t* v = IntegerMember(doc, "QueryMaxQuerySize")) {
    // The size only grows; a value beyond the 32-bit range is ignored.
    const json_int_t size = json_integer_value(v);
    if (size > g_max_query_size && size <= std::numeric_limits<int32_t>::max()) {
      g_max_query_size = static_cast<int32_t>(size);
      DebugPrint("QueryMaxQuerySize: %d \r\n", g_max_query_size);
    }
  }
  if (json_t* v = IntegerMember(doc, "Thread_Count")) req.thread_count = static_cast<int>(json_integer_value(v));
  DebugPrint("THREAD_COUNT: %d \r\n", req.thread_count);
  if (json_t* servers = ArrayMember(doc, "BackServer")) {
    size_t i;
    json_t* server;
    json_array_foreach(servers, i, server) {
      json_t* ip = StringMember(server, "IP");
      json_t* port = IntegerMember(server, "Port");
      if (ip == nullptr || port == nullptr) continue;
      req.backup.push_back(std::string(json_string_value(ip)) + ":" + std::to_string(json_integer_value(port)));
    }
  }
  return req;
}

DataTypeSubscription ReadDataTypeSubscription(json_t* doc) {
  DataTypeSubscription out;
  out.action = ReadSubType(doc);
  json_t* types = ArrayMember(doc, "QelDataTypes");
  if (types == nullptr) return out;
  out.has_types = true;
  size_t i;
  json_t* type;
  json_array_foreach(types, i, type) {
    if (json_is_integer(type)) DebugPrint("QelDataType: %d \r\n", static_cast<int>(json_integer_value(type)));
    if (!json_is_integer(type) || json_integer_value(type) == EFFECTIVE_DATA) {
      ErrorPrint("subscribe parameter non conformance");
      continue;
    }
    out.message.add_qeldatatypes(static_cast<int32_t>(json_integer_value(type)));
  }
  return out;
}

IdSubscription ReadIdSubscription(json_t* doc) {
  IdSubscription out;
  out.action = ReadSubType(doc);
  json_t* elements = ArrayMember(doc, "QUORSecurityIDs");
  if (elements == nullptr || json_array_size(elements) == 0) return out;
  out.has_ids = true;
  size_t i;
  json_t* element;
  json_array_foreach(elements, i, element) {
    json_t* type = IntegerMember(element, "QelDataType");
    if (type == nullptr) {
      ErrorPrint("details[%zu].qelDataType missing or not integer, skipped.\r\n", i);
      continue;
    }
    json_t* ids = ArrayMember(element, "QUORSecurityID");
    if (ids == nullptr) {
      ErrorPrint("details[%zu].quorSecurityId missing or not array, skipped.\r\n", i);
      continue;
    }
    qm::SubscribeByIdDetail* detail = out.message.add_subscribebyiddetails();
    detail->set_qeldatatype(static_cast<int32_t>(json_integer_value(type)));
    size_t j;
    json_t* id;
    json_array_foreach(ids, j, id) {
      if (json_is_string(id)) detail->add_quorsecurityid(json_string_value(id));
    }
  }
  return out;
}

QueryArguments ReadQueryDocument(json_t* doc, bool sync) {
  QueryArguments args;
  if (json_t* v = IntegerMember(doc, "DataType")) {
    args.data_type = static_cast<int>(json_integer_value(v));
    DebugPrint("DataType: %d \r\n", args.data_type);
  }
  if (json_t* params = Member(doc, "Params"); json_is_object(params)) {
    const char* key;
    json_t* value;
    json_object_foreach(params, key, value) {
      if (sync) DebugPrint("params: key=%s \r\n", key);
      if (!json_is_string(value)) continue;
      args.params[key] = json_string_value(value);
      if (sync) DebugPrint("params: key=%s value=%s \r\n", key, IsSecretName(key) ? kMaskedSecret : json_string_value(value));
    }
  }
  if (json_t* ids = ArrayMember(doc, "QUORSecurityIDs")) {
    args.security_ids = std::make_unique<std::list<std::string>>();
    size_t i;
    json_t* id;
    json_array_foreach(ids, i, id) {
      if (!json_is_string(id) || json_string_length(id) == 0) {
        ErrorPrint(sync ? " request sync query parameter QUORSecurityIDs  non conformance"
                        : " request async query parameter QUORSecurityIDs  non conformance");
        continue;
      }
      if (sync) {
        DebugPrint("QUORSecurityID: %s \r\n", json_string_value(id));
      } else {
        std::printf("QUORSecurityID: %s \r\n", json_string_value(id));
      }
      args.security_ids->push_back(json_string_value(id));
    }
  }
  if (json_t* types = ArrayMember(doc, "MarketdataTypes")) {
    args.source_types = std::make_unique<std::list<kq::SecuritySourceType>>();
    size_t i;
    json_t* element;
    json_array_foreach(types, i, element) {
      json_t* type = IntegerMember(element, "ESecurityType");
      json_t* source = IntegerMember(element, "ESecurityIDSource");
      if (type == nullptr) continue;
      const int type_value = static_cast<int>(json_integer_value(type));
      const int source_value = source != nullptr ? static_cast<int>(json_integer_value(source)) : EFFECTIVE_DATA;
      if (sync) {
        if (source != nullptr) DebugPrint("ESecurityIDSource: %d \r\n", source_value);
        DebugPrint("ESecurityType: %d \r\n", type_value);
      }
      if (type_value == EFFECTIVE_DATA || source_value == EFFECTIVE_DATA) continue;
      kq::SecuritySourceType entry;
      entry.set_securityidsource(static_cast<km::ESecurityIDSource>(source_value));
      entry.set_securitytype(static_cast<km::ESecurityType>(type_value));
      args.source_types->push_back(entry);
    }
  }
  return args;
}

size_t WriteSyncQueryResult(char* buf, size_t capacity, size_t max_size, const SyncQueryOutcome& outcome) {
  constexpr size_t kHeader = 10;
  constexpr size_t kMessageAt = 26;
  if (buf == nullptr || capacity < kHeader + 1) return 0;
  if (outcome.ok) {
    const size_t total = outcome.text.size() + kHeader;
    if (total < max_size && total < capacity) {
      std::snprintf(buf, kHeader + 1, "%10d", static_cast<int>(total));
      std::memcpy(buf + kHeader, outcome.text.data(), outcome.text.size());  // the NUL after it is already there
      return total;
    }
    std::memcpy(buf, "9999999999", kHeader);
    return kHeader;
  }
  std::memcpy(buf, "9999999998", kHeader);
  if (!outcome.has_failure || capacity <= kMessageAt) return kHeader;
  // An over-long message is cut so that its terminating NUL stays inside the
  // buffer; the length field gives what was written.
  const size_t length = std::min(outcome.message.size(), capacity - kMessageAt - 1);
  char field[32];
  std::snprintf(field, sizeof field, "%8d", outcome.code);
  std::memcpy(buf + 10, field, 8);
  std::snprintf(field, sizeof field, "%8d", static_cast<int>(length));
  std::memcpy(buf + 18, field, 8);
  std::memcpy(buf + kMessageAt, outcome.message.data(), length);
  return kMessageAt + length;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

// --- Exported functions ---------------------------------------------------------

PythonHandle* globalhandle(bool create) {
  if (create) {
    MutexLock lock(g_binding_mutex);
    return HandleLocked();
  }
  DestroyHandle();
  return nullptr;
}

char* python_get_version() { return g_version; }

void Notify_Regist(Notify* notify) {
  // Under the lock, so that a concurrent fini_env cannot delete the handle in between.
  MutexLock lock(g_binding_mutex);
  HandleLocked()->Regist_Notify(notify);
}

void Log_Regist(PyLog* log) {
  MutexLock lock(g_binding_mutex);
  g_pylog = log;
}

void python_init_env() {
  std::printf("init env ...\n");
  std::fflush(stdout);
  globalhandle(true);
}

void python_fini_env() { python_fini_env_checked(); }

bool python_fini_env_checked() {
  std::printf("fini env ...\n");
  std::fflush(stdout);
  return DestroyHandle();
}

void python_open_file_log() { BaseConfig::GetInstance().OpenFileLog(); }
void python_close_file_log() { BaseConfig::GetInstance().CloseFileLog(); }
void python_open_cout_log() { BaseConfig::GetInstance().OpenCoutLog(); }
void python_close_cout_log() { BaseConfig::GetInstance().CloseCoutLog(); }

int python_login(const char* json, int /*length*/) {
  std::printf("try to login ...\n");
  std::fflush(stdout);
  DebugPrint("login json:%s\r\n", LoggableDocument(json).c_str());
  {
    MutexLock lock(g_binding_mutex);
    if (g_login_claimed) {
      // A refused login changes nothing: the running client, the stored
      // credentials and the query settings all stay as they are.
      ErrorPrint("Already logged in: python_login refused, the running session is kept; call python_logout first");
      return com::quor::kbr::client::LOGIN_DISCOVERY_FAILED_END;
    }
    g_login_claimed = true;
  }
  auto failed = [](int result) {
    MutexLock lock(g_binding_mutex);
    g_login_claimed = false;
    return result;
  };
  PythonLoginRequest req;
  {
    JsonPtr doc = ParseDocument(json, "load login json failed: %s");
    req = ReadLoginDocument(doc.get());
  }
  PythonHandle* handle = globalhandle(true);
  if (handle == nullptr) {
    ErrorPrint("msgHandler is nullptr...");
    return failed(-1);
  }
  ClientFactory::Instance();
  BaseConfig& config = BaseConfig::GetInstance();
  config.SetHandleThreadNum(static_cast<uint32_t>(req.thread_count));
  config.SetUseSSL(req.ssl);
  config.SetSSLCertfolder(req.cert_folder);
  ClientInterface* client = ClientFor(handle);
  if (client == nullptr) return failed(-1);
  if (!req.Complete()) {
    ErrorPrint("login parameter non conformance");
    Logout();
    return failed(1);
  }
  const int result = client->LoginByServiceDiscovery(req.user, req.password, req.ip, req.port, req.backup);
  if (result != 0) {
    Logout();
    return failed(result);
  }
  return result;
}

void python_logout() { python_logout_checked(); }

bool python_logout_checked() { return Logout(); }

int python_subscribeByDataType(const char* json, int /*length*/) {
  DebugPrint("subscribe json:%s\r\n", LoggableDocument(json).c_str());
  JsonPtr doc = ParseDocument(json, "load subscribe json failed: %s");
  ClientInterface* client = SubscribeClient();
  if (client == nullptr) return -1;
  const DataTypeSubscription subscription = ReadDataTypeSubscription(doc.get());
  if (!subscription.has_types) return 0;
  return client->SubscribeByDatatype(subscription.action, subscription.message);
}

int python_subscribeBySecurityId(const char* json, int /*length*/) {
  DebugPrint("subscribe json:%s\r\n", LoggableDocument(json).c_str());
  JsonPtr doc = ParseDocument(json, "load subscribe json failed: %s");
  ClientInterface* client = SubscribeClient();
  if (client == nullptr) return -1;
  const IdSubscription subscription = ReadIdSubscription(doc.get());
  if (!subscription.has_ids) return 0;
  // One request per detail, each carrying every detail up to it.
  qm::SubscribeById message;
  int sum = 0;
  for (const qm::SubscribeByIdDetail& detail : subscription.message.subscribebyiddetails()) {
    *message.add_subscribebyiddetails() = detail;
    sum += client->SubscribeById(subscription.action, message);
  }
  return sum;
}

int python_request_fin_info_query_async(const char* json, int /*length*/) {
  JsonPtr doc = ParseDocument(json, "load request async query json failed: %s");
  std::unique_ptr<kq::QueryClientInterface> client = QueryClient("async");
  if (!client) return com::quor::kbr::client::INVALID_CLIENT;
  QueryArguments args = ReadQueryDocument(doc.get(), false);
  std::fflush(stdout);
  QueryAnswers answers(client.get());
  const bool ok = answers.Request(args);
  if (!ok) ErrorPrint("request async query failed");
  Notify* notify = nullptr;
  {
    MutexLock lock(g_binding_mutex);
    notify = HandleLocked()->RegisteredNotify();
  }
  if (notify != nullptr) {
    for (const kq::VentrixQueryResponse* answer : answers.List()) {
      const std::string text = RenderAnswer(*answer);
      if (text.empty()) {
        ErrorPrint("python_request_fin_info_query_async change jasson failed!");
        continue;
      }
      std::unique_ptr<char[]> buffer(new char[text.size() + 1]());
      std::memcpy(buffer.get(), text.data(), text.size());
      // A callback that raises loses this answer only; the others follow.
      try {
        notify->OnFinInfoQueryResponse(buffer.get(), static_cast<int>(text.size()));
      } catch (const std::exception& e) {
        ErrorPrint("Notify::OnFinInfoQueryResponse raised an error, callback dropped: %s", e.what());
      } catch (...) {
        ErrorPrint("Notify::OnFinInfoQueryResponse raised an unknown error, callback dropped");
      }
    }
  }
  return ok ? 1 : 0;
}

void* python_request_fin_info_query_sync(const char* json, int /*length*/) {
  DebugPrint("request sync query json:%s\r\n", LoggableDocument(json).c_str());
  JsonPtr doc = ParseDocument(json, "load request sync query json failed: %s");
  std::unique_ptr<kq::QueryClientInterface> client = QueryClient("sync");
  if (!client) return nullptr;
  QueryArguments args = ReadQueryDocument(doc.get(), true);
  QueryAnswers answers(client.get());
  const bool ok = answers.Request(args);

  // The result is prepared outside the lock; only the buffer is written under it.
  SyncQueryOutcome outcome;
  outcome.ok = ok;
  if (ok) {
    DebugPrint("sync response size %d", static_cast<int>(answers.List().size()));
    JsonPtr array(json_array());
    for (const kq::VentrixQueryResponse* answer : answers.List()) {
      const std::string rendered = RenderAnswer(*answer);
      if (rendered.empty()) {
        ErrorPrint("DerviteQueryResponse change jasson failed!");
      } else {
        json_array_append_new(array.get(), json_stringn(rendered.data(), rendered.size()));
      }
      DebugPrint("%s", answer->resultdata().DebugString().c_str());
    }
    outcome.text = Dump(array.get());
    DebugPrint("data size: %d \r\n", static_cast<int>(outcome.text.size()));
  } else {
    ErrorPrint("request sync query failed");
    for (const kq::VentrixQueryResponse* answer : answers.List()) {
      if (!answer->issuccess()) {
        outcome.has_failure = true;
        outcome.code = answer->errorcontext().errorcode();
        outcome.message = answer->errorcontext().message();
        break;
      }
    }
  }

  size_t max_size;
  {
    MutexLock lock(g_binding_mutex);
    max_size = static_cast<size_t>(g_max_query_size);
  }
  char* data = ClearedQueryData(max_size);
  if (data == nullptr) {
    ErrorPrint("query result buffer of %zu bytes could not be allocated", max_size);
    return nullptr;
  }
  t_querydata.dirty = WriteSyncQueryResult(data, t_querydata.size, max_size, outcome);
  return data;
}
