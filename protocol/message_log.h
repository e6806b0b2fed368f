// JSON text of a message for log lines, with credentials masked.
#ifndef QEL_PROTOCOL_MESSAGE_LOG_H
#define QEL_PROTOCOL_MESSAGE_LOG_H

#include <google/protobuf/message.h>

#include <string>

namespace com {
namespace quor {
namespace kbr {
namespace client {

// The message rendered by the protobuf JSON printer (default options), with
// every non-empty string field named "password" or "token", at any depth,
// shown as "******". For log lines only: it copies the message.
std::string ToLogJson(const google::protobuf::Message& message);

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_PROTOCOL_MESSAGE_LOG_H
