# Fails unless `nm -DC` lists each public class and function of the library as
# a defined symbol: the classes in the com::quor::kbr::client namespace, the
# JSON conversion functions and the Python binding's classes and flat
# functions (used by the Python module) at global scope.
execute_process(COMMAND nm -DC --defined-only ${LIB} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
set(expected
  "com::quor::kbr::client::ClientFactory::Instance()"
  "com::quor::kbr::client::ClientFactory::Uninstance()"
  "com::quor::kbr::client::ClientFactory::CreateClient("
  "com::quor::kbr::client::ClientFactory::SetConfig("
  "com::quor::kbr::client::ClientFactory::RegistLogHandle("
  "com::quor::kbr::client::ClientConfig::SetUseSSL("
  "com::quor::kbr::client::ClientConfig::GetAppVersion()"
  "com::quor::kbr::client::BaseConfig::GetInstance()"
  "com::quor::kbr::client::DebugPrint("
  "com::quor::kbr::client::InfoPrint("
  "com::quor::kbr::client::WarnPrint("
  "com::quor::kbr::client::ErrorPrint("
  "com::quor::kbr::client::SetGlobalLog("
  "com::quor::kbr::client::CloseLogOfs()"
  "com::quor::kbr::client::GetTaskId"
  "com::quor::kbr::client::MultiPlatformKits::GetInstance()"
  "com::quor::kbr::client::StandardLibKits::EncodeByAesEcbPkcs5padding("
  "com::quor::kbr::client::MessageHeader::encode("
  "com::quor::kbr::client::MessageHeader::toString"
  "com::quor::kbr::client::VentrixMessage::Encode("
  "com::quor::kbr::client::VentrixMessage::PrepareLoginRequest("
  "com::quor::kbr::client::VentrixMessage::DecodeMsgMeatData("
  "typeinfo for com::quor::kbr::client::MessageHandle"
  "typeinfo for com::quor::kbr::client::LogInterface"
  "com::quor::qel::model::MarketData::MarketData("
  "com::quor::kbr::client::CThreadPool::Init("
  "com::quor::kbr::client::CThreadPool::AddTask("
  "com::quor::kbr::client::CThreadPool::GetTask("
  "com::quor::kbr::client::CWorkerThread::CWorkerThread("
  "pb2json[abi:cxx11](google::protobuf::Message const&)"
  "json2pb(google::protobuf::Message&, char const*, unsigned long)"
  "json_dump_std_string(char const*, unsigned long, void*)"
  "typeinfo for j2pb_error"
  "com::quor::kbr::client::ResultCodeMeaning(int)"
  "com::quor::kbr::client::GetClientStats("
  "com::quor::kbr::client::CurrentMarketDataSiteType()"
  "com::quor::kbr::client::StartCapture("
  "com::quor::kbr::client::StopCapture("
  "com::quor::kbr::client::CaptureReader::Next("
  "com::quor::kbr::client::DecodeCaptureFrame("
  "globalhandle(bool)"
  "Notify_Regist(Notify*)"
  "Log_Regist(PyLog*)"
  "python_init_env()"
  "python_fini_env()"
  "python_login(char const*, int)"
  "python_logout()"
  "python_subscribeByDataType(char const*, int)"
  "python_subscribeBySecurityId(char const*, int)"
  "python_request_fin_info_query_async(char const*, int)"
  "python_request_fin_info_query_sync(char const*, int)"
  "python_get_version()"
  "typeinfo for Notify"
  "typeinfo for PythonHandle"
  "QUERY_TYPE_BASE_INFORMATION"
)
foreach(sym IN LISTS expected)
  string(FIND "${syms}" "${sym}" pos)
  if(pos EQUAL -1)
    message(FATAL_ERROR "missing export: ${sym}")
  endif()
endforeach()
