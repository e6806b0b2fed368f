// The one table of result-code meanings: every code of error_define.h with a
// short English text, for applications and tools that report a failure.
#include "config/error_define.h"

#include "client_interface.h"

namespace com {
namespace quor {
namespace kbr {
namespace client {

const char* ResultCodeMeaning(int code) {
  switch (code) {
    case 0: return "success";
    case UNKNOWN_ERROR: return "unknown error";
    case OUT_OF_MEMORY: return "out of memory";
    case SERIALIZE_MESSAGE_HEADER_TO_ARRAY_FAILED: return "cannot serialise the frame header";
    case SERIALIZE_MESSAGE_META_TO_ARRAY_FAILED: return "cannot serialise the frame metadata";
    case SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED: return "cannot serialise the frame body";
    case INVALID_VENTRIX_MESSAGE_BUF: return "invalid frame buffer";
    case PARSE_MESSAGE_HEADER_FROM_ARRAY_FAILED: return "cannot parse the frame header";
    case PARSE_MESSAGE_META_FROM_ARRAY_FAILED: return "cannot parse the frame metadata";
    case PARSE_MESSAGE_BODY_FROM_ARRAY_FAILED: return "cannot parse the frame body";
    case INVALID_INPUT_PORT: return "invalid port";
    case INVALID_INPUT_USER: return "invalid user";
    case INVALID_INPUT_IP: return "invalid IP address";
    case INVALID_INPUT_CONFIG_FOLDER: return "invalid configuration folder";
    case INVALID_INPUT_LOG_FOLDER: return "invalid log folder";
    case INVALID_INPUT_CA_FOLDER: return "invalid CA file or folder";
    case INVALID_SUBSCRIBE_INPUT: return "invalid subscription request";
    case INVALID_QUERY_INPUT: return "invalid query request";
    case INVALID_PLAYBACK_INPUT: return "invalid playback request";
    case INVALID_CLIENT: return "no client, or the client is not logged in";
    case LOGIN_DISCOVERY_FAILED_NEED_RECONNECT: return "discovery login failed, worth retrying";
    case LOGIN_DISCOVERY_FAILED_END: return "discovery login refused";
    case LOGIN_DATAFEED_FAILED_NEED_RECONNECT: return "datafeed login failed, worth retrying";
    case LOGIN_DATAFEED_FAILED_END: return "datafeed login failed";
    case SUBSCRIBE_RESPONSE_REJECT: return "subscription refused or not answered";
    case SUBSCRIBE_RESPONSE_TIMEOUT: return "subscription timed out";
    case INIT_SSL_CONTEXT_FAILED: return "cannot create the TLS context";
    case SSL_VERIFY_CA_FAILED: return "cannot load or verify the CA certificate";
    case INIT_SSL_FAILED: return "cannot set up TLS";
    case INIT_SSL_SOCKET_FAILED: return "cannot create the TLS socket";
    case SSL_SOCKET_CONNECT_FAILED: return "TLS connection failed";
    case INVALID_DATAFEED_SOCKET: return "invalid datafeed socket";
    case SEND_HEARTBEAT_FAILED: return "cannot send the heartbeat";
    default: return "unknown result code";
  }
}

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com
