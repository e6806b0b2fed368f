#include "protocol/ventrix_message.h"

#include <cstring>
#include <new>
#include <utility>

#include "config/error_define.h"
#include "kits/multi_platform_kits.h"
#include "kits/standard_lib_kits.h"
#include "log/base_log.h"
#include "protocol/message_log.h"
#include "protocol/ventrix_message_impl.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::LinkInfo;
using com::quor::qel::model::LoginRequest;
using com::quor::qel::model::SysHeartbeat;
using com::quor::qel::model::UserWithPassword;
using com::quor::qel::model::UserWithToken;

namespace {
constexpr const char* kAppVersion = "1.0.0";
}  // namespace

int VentrixMessage::PrepareMsgHeader(const MessageHeader* header, char* buf) {
  header->encode(buf);
  return MESSAGE_HEADER_LEN;
}

int VentrixMessage::PrepareMsgMeta(MetaData& meta, ESysMessageType msgType, int32_t msgNum,
                                   const std::string& traceId) {
  meta.set_traceid(traceId);
  meta.set_sysmessagetype(msgType);
  meta.set_qelsysmessagenum(msgNum);
  meta.set_sendtime(StandardLibKits::GetInstance()->GetCurrentUnixTimestampNanos());
  return 0;
}

int VentrixMessage::Encode(const MetaData* meta, const google::protobuf::Message* body, char*& buf) {
  delete[] buf;
  buf = nullptr;
  if (meta == nullptr || body == nullptr) return INVALID_VENTRIX_MESSAGE_BUF;

  const size_t meta_len = meta->ByteSizeLong();
  const size_t body_len = body->ByteSizeLong() + QEL_MSG_LEN_TYPE_SIZE;
  const size_t msg_len = MESSAGE_HEADER_LEN + meta_len + body_len;
  if (msg_len > static_cast<size_t>(INT32_MAX)) return SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED;

  buf = new (std::nothrow) char[msg_len];
  if (buf == nullptr) {
    ErrorPrint("out of memory! %s[%d]", __FILE__, __LINE__);
    return OUT_OF_MEMORY;
  }
  memset(buf, 0, msg_len);

  MessageHeader header;
  header.m_metaLength = static_cast<int32_t>(meta_len);
  header.m_payloadLength = static_cast<int32_t>(body_len);
  PrepareMsgHeader(&header, buf);

  char* meta_at = buf + MESSAGE_HEADER_LEN;
  if (!meta->SerializeToArray(meta_at, static_cast<int>(meta_len))) {
    ErrorPrint("MetaData SerializeToArray failed!!!");
    return SERIALIZE_MESSAGE_META_TO_ARRAY_FAILED;
  }
  const int32_t prefix = static_cast<int32_t>(body_len);
  memcpy(meta_at + meta_len, &prefix, sizeof(prefix));
  char* body_at = meta_at + meta_len + QEL_MSG_LEN_TYPE_SIZE;
  if (!body->SerializeToArray(body_at, static_cast<int>(body_len - QEL_MSG_LEN_TYPE_SIZE))) {
    ErrorPrint("Body SerializeToArray failed!!!");
    return SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED;
  }
  return static_cast<int>(msg_len);
}

int VentrixMessage::PrepareLoginRequest(char*& msg_buf, ELoginType login_type, const std::string& ip,
                                        int port, const std::string& user_name, const std::string& passwd,
                                        bool passwd_is_token, const std::string& traceId) {
  MultiPlatformKits* platform = MultiPlatformKits::GetInstance();
  if (platform == nullptr) {
    ErrorPrint("%s", "");
    return SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED;
  }
  MetaData meta;
  PrepareMsgMeta(meta, com::quor::qel::model::LOGIN_REQUEST, 1, traceId);
  InfoPrint("PrepareLoginRequest, meta: %s", ToLogJson(meta).c_str());

  LoginRequest request;
  request.set_logintype(login_type);
  request.set_apptype(LOGIN_REQ_APP_TYPE);
  request.set_appversion(kAppVersion);
  if (passwd_is_token) {
    UserWithToken* uwt = request.mutable_uwt();
    uwt->set_username(user_name);
    uwt->set_token(passwd);
  } else {
    // The encoding yields text for every password that fits its buffer (even
    // an empty one); an empty result means it did not fit. Sending that empty
    // text would make the server refuse the login for a wrong password.
    std::string encoded = StandardLibKits::GetInstance()->EncodeByAesEcbPkcs5padding(passwd);
    if (encoded.empty()) {
      ErrorPrint("Password too long to encode for the login request: %zu bytes", passwd.size());
      return SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED;
    }
    UserWithPassword* uwp = request.mutable_uwp();
    uwp->set_username(user_name);
    uwp->set_password(std::move(encoded));
  }
  LinkInfo* link = request.mutable_linkinfo();
  link->set_processid(std::to_string(MultiPlatformKits::GetProcessId()));
  link->set_deviceip(platform->GetHostName());
  link->set_devicemac(platform->GetMac());
  request.set_serverip(ip);
  request.set_serverport(port);

  // Credentials never reach a log: the logged text carries a mask instead.
  InfoPrint("PrepareLoginRequest, login requset: %s", ToLogJson(request).c_str());

  return Encode(&meta, &request, msg_buf);
}

int VentrixMessage::PrepareHeartBeat(char*& msg_buf, int32_t trafficLog, int32_t tpsLog) {
  MetaData meta;
  PrepareMsgMeta(meta, com::quor::qel::model::HEARTBEAT_REQUEST, 1, "");
  SysHeartbeat heartbeat;
  heartbeat.set_trafficlog(trafficLog);
  heartbeat.set_tpslog(tpsLog);
  return Encode(&meta, &heartbeat, msg_buf);
}

int VentrixMessage::PrepareSubscribeRequest(char*& msg_buf, SubscribeRequest* subReq,
                                            const std::string& traceId) {
  MetaData meta;
  PrepareMsgMeta(meta, com::quor::qel::model::SUBSCRIBE_REQUEST, 1, traceId);
  return Encode(&meta, subReq, msg_buf);
}

int VentrixMessage::DecodeMsgHeader(const char* msg, MessageHeader& header) {
  if (msg == nullptr) {
    ErrorPrint("header ParseFromArray failed!");
    return PARSE_MESSAGE_HEADER_FROM_ARRAY_FAILED;
  }
  header.decode(msg);
  return 0;
}

bool ReadResponseBodyLength(const char* payload, int32_t payloadLength, int32_t& bodyLen) {
  bodyLen = -1;
  if (payload == nullptr || payloadLength < QEL_MSG_LEN_TYPE_SIZE) return false;
  memcpy(&bodyLen, payload, sizeof(bodyLen));
  return bodyLen >= 0 && bodyLen <= payloadLength - QEL_MSG_LEN_TYPE_SIZE;
}

int VentrixMessage::DecodeMsgMeatData(const char* msg, int msgLen, MetaData& meta) {
  if (msg == nullptr) return INVALID_VENTRIX_MESSAGE_BUF;
  if (msgLen < 0 || !meta.ParseFromArray(msg, msgLen)) {
    ErrorPrint("meta data ParseFromArray failed!");
    return PARSE_MESSAGE_META_FROM_ARRAY_FAILED;
  }
  return 0;
}

template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::LoginResponse>(
    const char*, int, com::quor::qel::model::LoginResponse&);
template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::SubscribeResponse>(
    const char*, int, com::quor::qel::model::SubscribeResponse&);
template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::MetaData>(
    const char*, int, com::quor::qel::model::MetaData&);
template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::MarketData>(
    const char*, int, com::quor::qel::model::MarketData&);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
