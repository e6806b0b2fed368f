// Client factory: singleton life cycle, configuration hand-off, and the
// callback interface's defaults.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "client_config.h"
#include "client_factory.h"
#include "common/library_threads.h"
#include "config/base_config.h"
#include "log/base_log.h"
#include "support/recording_log.h"
#include "support/temp_dir.h"

namespace qc = com::quor::kbr::client;

namespace {

class OnlyMarketData : public qc::MessageHandle {
 public:
  void OnMarketData(const qc::MarketData& data) override { last_channel = data.qelmessagechannel(); }
  int64_t last_channel = 0;
};

class CountingLog : public qc::LogInterface {
 public:
  void LogPrint(qc::VentrixLogLevel, const char*) override { ++count; }
  int count = 0;
};

}  // namespace

TEST(ClientFactory, InstanceIsASingletonAndIgnoresSigpipe) {
  signal(SIGPIPE, SIG_DFL);
  qc::ClientFactory* a = qc::ClientFactory::Instance();
  qc::ClientFactory* b = qc::ClientFactory::Instance();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  struct sigaction current;
  sigaction(SIGPIPE, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
  qc::ClientFactory::Uninstance();
}

TEST(ClientFactory, CreateClientWithNullHandleReturnsNull) {
  EXPECT_EQ(qc::ClientFactory::Instance()->CreateClient(nullptr), nullptr);
  qc::ClientFactory::Uninstance();
}

TEST(ClientFactory, SetConfigIgnoresNullAndEmptyButLoadsAFile) {
  qc::ClientFactory* f = qc::ClientFactory::Instance();
  f->SetConfig(nullptr);
  f->SetConfig("");
  EXPECT_EQ(qc::ClientConfig::GetReadTimeout(), 30u);
  qel_test::TempDir dir;
  const std::string path = dir.Write("c.conf", "ventrix_config_read_timeout=42\n");
  testing::internal::CaptureStdout();
  f->SetConfig(path.c_str());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(qc::ClientConfig::GetReadTimeout(), 42u);
  qc::ClientFactory::Uninstance();
}

TEST(ClientFactory, UninstanceIsHarmlessTwiceAndKeepsConfiguration) {
  qc::ClientFactory::Uninstance();  // nothing created yet
  qc::ClientConfig::SetReadTimeout(9);
  qc::ClientFactory::Instance();
  qc::ClientFactory::Uninstance();
  qc::ClientFactory::Uninstance();
  EXPECT_EQ(qc::ClientConfig::GetReadTimeout(), 9u);
  EXPECT_NE(qc::ClientFactory::Instance(), nullptr) << "a new factory after Uninstance";
  qc::ClientFactory::Uninstance();
}

TEST(ClientFactory, RegistLogHandleInstallsTheSinkAndIgnoresNull) {
  CountingLog log;
  qc::ClientFactory* f = qc::ClientFactory::Instance();
  qc::ClientConfig::CloseFileLog();
  f->RegistLogHandle(&log);
  qc::InfoPrint("one");
  EXPECT_EQ(log.count, 1);
  f->RegistLogHandle(nullptr);  // ignored: the sink stays installed
  qc::InfoPrint("two");
  EXPECT_EQ(log.count, 2);
  qc::SetGlobalLog(nullptr);
  qc::InfoPrint("three");
  EXPECT_EQ(log.count, 2);
  qc::ClientFactory::Uninstance();
}

// A callback runs on a library thread; releasing the client there would stop
// and free the loop it runs on. The call is refused with an error line and
// leaves the factory as it was; an application thread releases it normally.
TEST(ClientFactory, UninstanceFromALibraryThreadIsRefused) {
  qel_test::RecordingLog log;
  qc::ClientConfig::CloseFileLog();
  log.ExpectError("Uninstance called from a library thread");
  qc::ClientFactory* before = qc::ClientFactory::Instance();
  std::thread callback_thread([] {
    qc::MarkLibraryThread();
    qc::ClientFactory::Uninstance();
  });
  callback_thread.join();
  EXPECT_EQ(log.Count("Uninstance called from a library thread"), 1) << log.Errors();
  EXPECT_EQ(qc::ClientFactory::Instance(), before) << "the factory survived the refused call";
  EXPECT_FALSE(qc::IsLibraryThread()) << "the mark belongs to the thread that set it";

  qc::ClientFactory::Uninstance();  // from the application's thread: done
  EXPECT_EQ(log.Count("Uninstance called from a library thread"), 1);
  EXPECT_EQ(log.UnexpectedErrors(), "");
}

TEST(MessageHandle, OverridingOnlyOnMarketDataLeavesOtherCallbacksEmpty) {
  OnlyMarketData handle;
  qc::MessageHandle& base = handle;
  qc::MarketData md;
  md.set_qelmessagechannel(17);
  base.OnMarketData(md);
  EXPECT_EQ(handle.last_channel, 17);
  base.OnSubscribeResponse(qc::SubscribeResponse());
  base.OnLoginDiscoverySuccess("127.0.0.1", {1, 2});
  base.OnLoginDiscoveryFailed("127.0.0.1");
  base.OnLoginDiscoveryResponse(qc::LoginResponse());
  base.OnNoDiscoveryServices();
  base.OnLoginDatafeedNodeSuccess(1, "127.0.0.1:1");
  base.OnLoginDatafeedNodeFailed(1, "127.0.0.1:1");
  base.OnLoginDataServiceSuccess();
  base.OnLoginDataServiceFailed();
  base.OnLoginDataServiceResponse(qc::LoginResponse());
  base.OnDisconnected(1, "127.0.0.1:1");
  char buf[1] = {0};
  base.OnBridgeData(qc::MetaData(), buf, 1);
  base.ProcessMessage();
  EXPECT_EQ(handle.last_channel, 17);
}
