// The callback bridge of the Python binding.
//
// Notify: the callback class a Python class derives from (through the
// generated director). Plain arguments only: a NUL-terminated JSON text and
// its length in bytes, or a site type and a host text. Every pointer is owned
// by the caller and valid only during the call. Every method has an empty
// default body, so a subclass overrides only what it wants.
//
// PythonHandle: the one MessageHandle the binding hands to the client. It
// renders each message object with pb2json and forwards the text to the
// registered Notify. Called on the library's threads (callback workers for
// market data, connection threads for the rest); it owns nothing, the Notify
// is borrowed from whoever registered it.
//
// PyLog: a log class of the binding; nothing in the library calls log().
#ifndef QEL_SWIG_NOTIFY_H
#define QEL_SWIG_NOTIFY_H

#include <atomic>
#include <string>
#include <vector>

#include "base_define.h"
#include "log_interface.h"
#include "message_handle.h"

// Any thread may call it; owns nothing.
class QEL_API Notify {
 public:
  virtual ~Notify();
  virtual void OnMarketData(void* buf, int size) {}
  virtual void OnBridgeData(void* buf, int size) {}
  virtual void OnSubscribeResponse(void* buf, int size) {}
  virtual void OnGeneralError(void* buf, int size) {}
  virtual void OnLoginDiscoverySuccess(void* buf, const std::vector<int>& datafeed_list) {}
  virtual void OnLoginDiscoveryFailed(void* message) {}
  virtual void OnLoginDiscoveryResponse(void* buf, int size) {}
  virtual void OnNoDiscoveryServices() {}
  virtual void OnLoginDatafeedNodeSuccess(int site_type, void* message) {}
  virtual void OnLoginDatafeedNodeFailed(int site_type, void* message) {}
  virtual void OnLoginDataServiceSuccess() {}
  virtual void OnLoginDataServiceFailed() {}
  virtual void OnLoginDataServiceResponse(void* buf, int size) {}
  virtual void OnDisconnected(int site_type, void* message) {}
  virtual void OnQueryResponse(int code, void* message) {}
  virtual void OnFinInfoQueryResponse(void* buf, int size) {}
};

#ifndef SWIG
// Called on the library's callback and connection threads; borrows m_notify.
class QEL_API PythonHandle : public com::quor::kbr::client::MessageHandle {
 public:
  PythonHandle();
  ~PythonHandle() override;

  // Replaces the registered Notify; null unregisters.
  void Regist_Notify(Notify* notify);
  // The registered Notify, or null (the query functions deliver through it).
  Notify* RegisteredNotify() const { return m_notify.load(); }

  void OnSubscribeResponse(const com::quor::kbr::client::SubscribeResponse& response) override;
  void OnMarketData(const com::quor::kbr::client::MarketData& data) override;
  void OnLoginDiscoverySuccess(const std::string& server_host, std::vector<int> datafeed_list) override;
  void OnLoginDiscoveryFailed(const std::string& server_host) override;
  void OnLoginDiscoveryResponse(const com::quor::kbr::client::LoginResponse& login_response) override;
  void OnNoDiscoveryServices() override;
  void OnLoginDatafeedNodeSuccess(int site_type, const std::string& server_host) override;
  void OnLoginDatafeedNodeFailed(int site_type, const std::string& server_host) override;
  void OnLoginDataServiceSuccess() override;
  void OnLoginDataServiceFailed() override;
  void OnLoginDataServiceResponse(const com::quor::kbr::client::LoginResponse& login_response) override;
  void OnDisconnected(int site_type, const std::string& server_host) override;

 protected:
  // Written by the registering (script) thread, read by every callback thread.
  std::atomic<Notify*> m_notify{nullptr};
};
#endif  // SWIG

// Any thread; owns nothing.
class QEL_API PyLog : public com::quor::kbr::client::LogInterface {
 public:
  virtual void log(const std::string& message) {}
};

#endif  // QEL_SWIG_NOTIFY_H
