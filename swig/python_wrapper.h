// The flat functions behind the Python module: set-up, log switches, login,
// subscription and financial-information queries, every parameter set as one
// JSON text. Plain C++ with no Python dependency; exported from the library.
//
// Called from script threads (the module releases the interpreter lock around
// each call). The process-wide values they keep (the callback object, the
// stored credentials and query settings) are guarded by the binding's own
// lock; each calling thread has its own synchronous query buffer.
#ifndef QEL_SWIG_PYTHON_WRAPPER_H
#define QEL_SWIG_PYTHON_WRAPPER_H

#include "Notify.h"
#include "base_define.h"

#define EFFECTIVE_LENGTH 1
#define EFFECTIVE_DATA -999
#define INIT_DATA 0

// Query types a script writes in a query document's "DataType".
extern QEL_API const int QUERY_TYPE_BASE_INFORMATION;         // 1011
extern QEL_API const int QUERY_TYPE_LATEST_BASE_INFORMATION;  // 1012
extern QEL_API const int QUERY_TYPE_ETF_BASE_INFORMATION;     // 1013
extern QEL_API const int QUERY_TYPE_STATUS;                   // 1021
extern QEL_API const int QUERY_TYPE_SUBSCRIBE_ANSWER;         // 1031

#ifndef SWIG
// With true: creates the callback object if there is none and returns it.
// With false: destroys it (logging out first if a client still holds it) and
// returns null.
QEL_API PythonHandle* globalhandle(bool create);
QEL_API char* python_get_version();
// python_logout and python_fini_env saying whether they were carried out:
// false, with the client and the callback object kept, when called on a
// library thread (inside a callback), where the teardown is refused.
QEL_API bool python_logout_checked();
QEL_API bool python_fini_env_checked();
#endif  // SWIG

QEL_API void Notify_Regist(Notify* notify);
QEL_API void Log_Regist(PyLog* log);

QEL_API void python_init_env();
QEL_API void python_fini_env();
QEL_API void python_open_file_log();
QEL_API void python_close_file_log();
QEL_API void python_open_cout_log();
QEL_API void python_close_cout_log();

// The length arguments are accepted and ignored; texts are read up to NUL.
// While a login holds the session (from its start until it fails or the
// binding logs out), another python_login is refused with -1031 and changes
// nothing.
QEL_API int python_login(const char* json, int length);
QEL_API void python_logout();
QEL_API int python_subscribeByDataType(const char* json, int length);
QEL_API int python_subscribeBySecurityId(const char* json, int length);

// 1 success, 0 the query library reported failure (answers still delivered
// through Notify::OnFinInfoQueryResponse), -1029 no query client or login.
QEL_API int python_request_fin_info_query_async(const char* json, int length);
// The calling thread's result buffer (length header + JSON array, or
// "9999999999" too large, or "9999999998" failed), or null when no query
// client could be created or logged in. The pointer and its contents stay
// valid until the same thread's next synchronous query (which may
// re-allocate the buffer when a later login raised "QueryMaxQuerySize") or
// the thread's end; other threads' queries never touch it.
QEL_API void* python_request_fin_info_query_sync(const char* json, int length);

#endif  // QEL_SWIG_PYTHON_WRAPPER_H
