// Definition of the body decoder template; included by the codec's source,
// which instantiates it for the message types read off the wire.
#ifndef QEL_PROTOCOL_VENTRIX_MESSAGE_IMPL_H
#define QEL_PROTOCOL_VENTRIX_MESSAGE_IMPL_H

#include "config/error_define.h"
#include "log/base_log.h"
#include "protocol/ventrix_message.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

template <typename T>
int VentrixMessage::DecodeMsgBody(const char* msg, int bodyLen, T& body) {
  body.Clear();
  if (msg == nullptr) {
    ErrorPrint("DecodeMsgBody failed, msg is nullptr!");
    return INVALID_VENTRIX_MESSAGE_BUF;
  }
  // A negative length is never a valid body; refuse it before protobuf sees it.
  if (bodyLen < 0 || !body.ParseFromArray(msg, bodyLen)) {
    ErrorPrint("ParseFromArray failed!");
    return PARSE_MESSAGE_BODY_FROM_ARRAY_FAILED;
  }
  return 0;
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_PROTOCOL_VENTRIX_MESSAGE_IMPL_H
