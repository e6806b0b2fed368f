// Result codes and frame constants shared by every layer of the library.
//
// Operations report failures as these negative integers (never exceptions);
// 0 means success. The frame constants fix the 12-byte header layout that the
// codec in protocol/ writes and reads; the frame format (header bytes, flags,
// payload prefixes, record lists, the LZ4 form, limits) is described in
// docs/wire-format.md.
#ifndef QEL_CONFIG_ERROR_DEFINE_H
#define QEL_CONFIG_ERROR_DEFINE_H

#include <cstdint>

namespace com {
namespace quor {
namespace kbr {
namespace client {

// ---- result codes ---------------------------------------------------------
constexpr int UNKNOWN_ERROR = -1000;
constexpr int OUT_OF_MEMORY = -1010;
constexpr int SERIALIZE_MESSAGE_HEADER_TO_ARRAY_FAILED = -1011;
constexpr int SERIALIZE_MESSAGE_META_TO_ARRAY_FAILED = -1012;
constexpr int SERIALIZE_MESSAGE_BODY_TO_ARRAY_FAILED = -1013;
constexpr int INVALID_VENTRIX_MESSAGE_BUF = -1014;
constexpr int PARSE_MESSAGE_HEADER_FROM_ARRAY_FAILED = -1015;
constexpr int PARSE_MESSAGE_META_FROM_ARRAY_FAILED = -1016;
constexpr int PARSE_MESSAGE_BODY_FROM_ARRAY_FAILED = -1017;
constexpr int INVALID_INPUT_PORT = -1020;
constexpr int INVALID_INPUT_USER = -1021;
constexpr int INVALID_INPUT_IP = -1022;
constexpr int INVALID_INPUT_CONFIG_FOLDER = -1023;
constexpr int INVALID_INPUT_LOG_FOLDER = -1024;
constexpr int INVALID_INPUT_CA_FOLDER = -1025;
constexpr int INVALID_SUBSCRIBE_INPUT = -1026;
constexpr int INVALID_QUERY_INPUT = -1027;
constexpr int INVALID_PLAYBACK_INPUT = -1028;
constexpr int INVALID_CLIENT = -1029;
constexpr int LOGIN_DISCOVERY_FAILED_NEED_RECONNECT = -1030;
constexpr int LOGIN_DISCOVERY_FAILED_END = -1031;
constexpr int LOGIN_DATAFEED_FAILED_NEED_RECONNECT = -1032;
constexpr int LOGIN_DATAFEED_FAILED_END = -1033;
constexpr int SUBSCRIBE_RESPONSE_REJECT = -1040;
constexpr int SUBSCRIBE_RESPONSE_TIMEOUT = -1041;
constexpr int INIT_SSL_CONTEXT_FAILED = -2400;
constexpr int SSL_VERIFY_CA_FAILED = -2401;
constexpr int INIT_SSL_FAILED = -2402;
constexpr int INIT_SSL_SOCKET_FAILED = -2403;
constexpr int SSL_SOCKET_CONNECT_FAILED = -2404;
constexpr int INVALID_DATAFEED_SOCKET = -2405;
constexpr int SEND_HEARTBEAT_FAILED = -3001;

// ---- frame constants ------------------------------------------------------
// Header: int8 version | int8 protocol | int16 flags | int32 meta length |
// int32 payload length, native (little-endian) byte order, no padding.
constexpr int MESSAGE_HEADER_LEN = 12;
constexpr int8_t MSG_HEADER_VERSION = 1;
constexpr int8_t MSG_HEADER_PROTOCOL = 1;
constexpr int QEL_MSG_LEN_TYPE_SIZE = 4;  // width of every length prefix
constexpr int MAX_MSG_LENGTH = 65536;
constexpr int SECURITY_ID_MAX_LEN = 32;
constexpr int LOGIN_REQ_APP_TYPE = 0;

constexpr int16_t MSG_HEADER_FLAGS_COMPRESS = 16384;     // bit 14: LZ4 payload
constexpr int16_t MSG_HEADER_FLAGS_MANAGE_MSG = 4096;    // bit 12: set on every outgoing frame
constexpr int16_t MSG_HEADER_FLAGS_ENCRYPTION = 1024;    // bit 10
constexpr int16_t MSG_HEADER_FLAGS_PACKAGE_MSG = 256;    // bit 8

}  // namespace client
}  // namespace kbr
}  // namespace quor
}  // namespace com

#endif  // QEL_CONFIG_ERROR_DEFINE_H
