#include "client_factory.h"

#include <csignal>

#include "client/ventrix_tcp_client.h"
#include "common/library_threads.h"
#include "common/mutex.h"
#include "config/base_config.h"
#include "kits/multi_platform_kits.h"
#include "log/base_log.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

namespace {
Mutex g_factory_mutex;  // guards s_factory and s_client (class statics of the public header)
}  // namespace

// Out-of-line destructors anchor the interfaces' vtables and type information
// in the library, so applications and the library agree on one copy.
MessageHandle::~MessageHandle() = default;
ClientInterface::~ClientInterface() = default;

ClientFactory* ClientFactory::s_factory = nullptr;
ClientInterface* ClientFactory::s_client = nullptr;

ClientFactory::ClientFactory() { signal(SIGPIPE, SIG_IGN); }

ClientFactory* ClientFactory::Instance() {
  MutexLock lock(g_factory_mutex);
  if (s_factory == nullptr) s_factory = new ClientFactory();
  return s_factory;
}

void ClientFactory::Uninstance() {
  // A library thread cannot stop and join itself, and its loop would go on
  // running on freed objects: refuse, leaving everything as it was.
  if (IsLibraryThread()) {
    ErrorPrint("ClientFactory::Uninstance called from a library thread (inside a callback) is refused; "
               "release the client from an application thread");
    return;
  }
  MutexLock lock(g_factory_mutex);
  delete s_factory;
  s_factory = nullptr;
  delete s_client;  // the client's destructor stops every library thread
  s_client = nullptr;
  BaseConfig::UnInstance();
  MultiPlatformKits::GetInstance()->FreeWindowsEnv();
}

void ClientFactory::SetConfig(const char* config_path) {
  if (config_path == nullptr || config_path[0] == '\0') return;
  BaseConfig::GetInstance().SetConfigFilePath(config_path);
}

void ClientFactory::RegistLogHandle(LogInterface* log_handle) {
  if (log_handle == nullptr) return;
  SetGlobalLog(log_handle);
}

ClientInterface* ClientFactory::CreateClient(MessageHandle* handle) {
  if (handle == nullptr) return nullptr;
  MutexLock lock(g_factory_mutex);
  if (s_client != nullptr) return s_client;
  auto client = new VentrixTcpClient(handle);
  MultiPlatformKits::GetInstance()->StartWindowsEnv();
  s_client = client;
  if (BaseConfig::GetInstance().IsUseSSL() && client->SslEnvInit() < 0) {
    DebugPrint("local SSL certification failed");
    delete client;
    s_client = nullptr;
  }
  return s_client;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
