// Stateless frame codec: builds the login, heartbeat and subscribe request
// frames and decodes the parts of received frames.
//
// Frame: 12-byte header | MetaData (meta length bytes) | payload (payload
// length bytes). A built payload is an int32 equal to the payload length
// (body size + 4, counting itself) followed by the serialised body.
//
// Buffer ownership: a buf/msg_buf argument is null or a buffer an earlier
// builder returned; builders release it (array delete) first, then store the
// new frame there. The caller owns the result and releases it with delete[].
// All functions are static and safe to call from any number of threads.
#ifndef QEL_PROTOCOL_VENTRIX_MESSAGE_H
#define QEL_PROTOCOL_VENTRIX_MESSAGE_H

#include <cstdint>
#include <string>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysHeartbeat.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "protocol/ventrix_message_header.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

using com::quor::qel::model::ELoginType;
using com::quor::qel::model::ESysMessageType;
using com::quor::qel::model::MetaData;
using com::quor::qel::model::SubscribeRequest;

class VentrixMessage {
 public:
  // Writes the 12 header bytes; returns 12.
  static int PrepareMsgHeader(const MessageHeader* header, char* buf);
  // Fills TraceID, SysMessageType, QELSysMessageNum and SendTime; returns 0.
  static int PrepareMsgMeta(MetaData& meta, ESysMessageType msgType, int32_t msgNum,
                            const std::string& traceId);
  // Builds one whole frame in a new buffer; the frame length or a negative code.
  static int Encode(const MetaData* meta, const google::protobuf::Message* body, char*& buf);

  static int PrepareLoginRequest(char*& msg_buf, ELoginType login_type, const std::string& ip, int port,
                                 const std::string& user_name, const std::string& passwd,
                                 bool passwd_is_token, const std::string& traceId);
  static int PrepareHeartBeat(char*& msg_buf, int32_t trafficLog, int32_t tpsLog);
  static int PrepareSubscribeRequest(char*& msg_buf, SubscribeRequest* subReq, const std::string& traceId);

  // Reads 12 header bytes; -1015 for a null input. No field is validated here.
  static int DecodeMsgHeader(const char* msg, MessageHeader& header);
  // Parses exactly msgLen bytes as MetaData.
  static int DecodeMsgMeatData(const char* msg, int msgLen, MetaData& meta);
  // Clears body and parses exactly bodyLen bytes into it.
  template <typename T>
  static int DecodeMsgBody(const char* msg, int bodyLen, T& body);
};

// A response payload is an int32 body length, then the body. Reads that
// length; false when the payload is shorter than the prefix or the body would
// not fit inside the payload (bodyLen is then -1 or the value read).
bool ReadResponseBodyLength(const char* payload, int32_t payloadLength, int32_t& bodyLen);

extern template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::LoginResponse>(
    const char*, int, com::quor::qel::model::LoginResponse&);
extern template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::SubscribeResponse>(
    const char*, int, com::quor::qel::model::SubscribeResponse&);
extern template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::MetaData>(
    const char*, int, com::quor::qel::model::MetaData&);
extern template int VentrixMessage::DecodeMsgBody<com::quor::qel::model::MarketData>(
    const char*, int, com::quor::qel::model::MarketData&);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_PROTOCOL_VENTRIX_MESSAGE_H
