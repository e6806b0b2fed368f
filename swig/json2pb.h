// JSON text <-> protobuf message, driven only by descriptors and reflection,
// so it works for every message type without per-type code.
//
// Rendering (pb2json): an object whose members are the present fields in
// field-number order, keyed by the declared field name (an extension by its
// full name); integers as JSON integers (uint64 values from 2^63 up appear
// negative), enums as their number, floating values as reals (17 significant
// digits, always with a point or exponent), bytes as base64; compact with ", "
// and ": " separators and no line breaks. Fields at their default value,
// empty repeated fields and unset sub-messages are left out.
//
// Parsing (json2pb): merges the members of a JSON object into a message;
// types are checked strictly (integers for integer fields, true/false for
// bool, integer or name for enums, base64 text for bytes). The parser runs
// without flags, so a text holding the escape \u0000 is refused.
//
// Any number of threads may convert at once, each its own message; each
// thread keeps its rendering buffers (text up to 1 MiB) for its next call.
// Failures are exceptions (j2pb_error, or std::runtime_error from base64);
// nothing is logged.
#ifndef QEL_SWIG_JSON2PB_H
#define QEL_SWIG_JSON2PB_H

#include <cstddef>
#include <exception>
#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "base_define.h"

class QEL_API j2pb_error : public std::exception {
 public:
  explicit j2pb_error(const std::string& e);
  // The text is the field's name, ": ", then e.
  j2pb_error(const google::protobuf::FieldDescriptor* field, const std::string& e);
  ~j2pb_error() override;
  const char* what() const noexcept override;

 private:
  std::string _error;
};

// The JSON text of msg; empty when the message has no descriptor or
// reflection. Throws j2pb_error ("<field>: Fail to convert to json") for a
// string that is not UTF-8, a floating value that is not finite, or a nested
// message without descriptor.
QEL_API std::string pb2json(const google::protobuf::Message& msg);

// Parses size bytes at buf as a JSON object and merges its members into msg;
// members not named keep their values. On failure the fields set before it
// stay set.
QEL_API void json2pb(google::protobuf::Message& msg, const char* buf, size_t size);

// Output callback for json_dump_callback: appends size bytes to the
// std::string at data. Returns 0.
QEL_API int json_dump_std_string(const char* buf, size_t size, void* data);

#endif  // QEL_SWIG_JSON2PB_H
