#include "swig/Notify.h"

#include <cxxabi.h>

#include <cstring>
#include <exception>
#include <memory>

#include "log/base_log.h"
#include "swig/json2pb.h"

using com::quor::kbr::client::ErrorPrint;

Notify::~Notify() = default;

namespace {

// Runs one call into the registered Notify. Nothing it throws may leave a
// library thread (the workers and connection loops have no handler for it):
// the error is logged with the callback's name and the record is dropped.
// Only a thread's cancellation unwinds on, as it must.
template <typename Call>
void Deliver(const char* callback, Call&& call) {
  try {
    call();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    ErrorPrint("Notify::%s raised an error, callback dropped: %s", callback, e.what());
  } catch (...) {
    ErrorPrint("Notify::%s raised an unknown error, callback dropped", callback);
  }
}

// Renders msg and hands the text to call(buffer, length) in a zero-filled
// buffer of length + 1 bytes that lives for the call. render_error is logged
// when the rendering is empty.
template <typename Call>
void DeliverJson(Notify* notify, const char* callback, const google::protobuf::Message& msg,
                 const char* render_error, Call&& call) {
  Deliver(callback, [&] {
    const std::string text = pb2json(msg);
    if (text.empty()) {
      ErrorPrint("%s", render_error);
      return;
    }
    if (notify == nullptr) return;
    std::unique_ptr<char[]> buffer(new char[text.size() + 1]());
    std::memcpy(buffer.get(), text.data(), text.size());
    call(buffer.get(), static_cast<int>(text.size()));
  });
}

// The bridge's callbacks take a mutable pointer to a host text they never
// write through; the text itself is lent, not copied.
void* HostText(const std::string& host) { return const_cast<char*>(host.c_str()); }

constexpr const char* kMarketDataRenderError = "MarketData change jasson failed!";
constexpr const char* kResponseRenderError = "MDSubscribeResponse change jasson  failed!!";

}  // namespace

PythonHandle::PythonHandle() = default;
PythonHandle::~PythonHandle() = default;

void PythonHandle::Regist_Notify(Notify* notify) { m_notify.store(notify); }

void PythonHandle::OnSubscribeResponse(const com::quor::kbr::client::SubscribeResponse& response) {
  Notify* notify = m_notify.load();
  DeliverJson(notify, "OnSubscribeResponse", response, kResponseRenderError,
              [&](char* buf, int size) { notify->OnSubscribeResponse(buf, size); });
}

void PythonHandle::OnMarketData(const com::quor::kbr::client::MarketData& data) {
  Notify* notify = m_notify.load();
  DeliverJson(notify, "OnMarketData", data, kMarketDataRenderError,
              [&](char* buf, int size) { notify->OnMarketData(buf, size); });
}

void PythonHandle::OnLoginDiscoverySuccess(const std::string& server_host, std::vector<int> datafeed_list) {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnLoginDiscoverySuccess",
          [&] { notify->OnLoginDiscoverySuccess(HostText(server_host), datafeed_list); });
}

void PythonHandle::OnLoginDiscoveryFailed(const std::string& server_host) {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnLoginDiscoveryFailed", [&] { notify->OnLoginDiscoveryFailed(HostText(server_host)); });
}

void PythonHandle::OnLoginDiscoveryResponse(const com::quor::kbr::client::LoginResponse& login_response) {
  Notify* notify = m_notify.load();
  DeliverJson(notify, "OnLoginDiscoveryResponse", login_response, kResponseRenderError,
              [&](char* buf, int size) { notify->OnLoginDiscoveryResponse(buf, size); });
}

void PythonHandle::OnNoDiscoveryServices() {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnNoDiscoveryServices", [&] { notify->OnNoDiscoveryServices(); });
}

void PythonHandle::OnLoginDatafeedNodeSuccess(int site_type, const std::string& server_host) {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnLoginDatafeedNodeSuccess",
          [&] { notify->OnLoginDatafeedNodeSuccess(site_type, HostText(server_host)); });
}

void PythonHandle::OnLoginDatafeedNodeFailed(int site_type, const std::string& server_host) {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnLoginDatafeedNodeFailed",
          [&] { notify->OnLoginDatafeedNodeFailed(site_type, HostText(server_host)); });
}

void PythonHandle::OnLoginDataServiceSuccess() {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnLoginDataServiceSuccess", [&] { notify->OnLoginDataServiceSuccess(); });
}

void PythonHandle::OnLoginDataServiceFailed() {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnLoginDataServiceFailed", [&] { notify->OnLoginDataServiceFailed(); });
}

void PythonHandle::OnLoginDataServiceResponse(const com::quor::kbr::client::LoginResponse& login_response) {
  Notify* notify = m_notify.load();
  DeliverJson(notify, "OnLoginDataServiceResponse", login_response, kResponseRenderError,
              [&](char* buf, int size) { notify->OnLoginDataServiceResponse(buf, size); });
}

void PythonHandle::OnDisconnected(int site_type, const std::string& server_host) {
  Notify* notify = m_notify.load();
  if (notify == nullptr) return;
  Deliver("OnDisconnected", [&] { notify->OnDisconnected(site_type, HostText(server_host)); });
}
