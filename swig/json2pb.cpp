#include "swig/json2pb.h"

#include <jansson.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "swig/bin2ascii.h"

using google::protobuf::Descriptor;
using google::protobuf::EnumDescriptor;
using google::protobuf::EnumValueDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

j2pb_error::j2pb_error(const std::string& e) : _error(e) {}

j2pb_error::j2pb_error(const FieldDescriptor* field, const std::string& e) : _error(field->name() + ": " + e) {}

j2pb_error::~j2pb_error() = default;

const char* j2pb_error::what() const noexcept { return _error.c_str(); }

int json_dump_std_string(const char* buf, size_t size, void* data) {
  static_cast<std::string*>(data)->append(buf, size);
  return 0;
}

namespace {

struct JsonDecref {
  void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

JsonPtr _pb2json(const Message& msg);

// One value of field: element index of a repeated field, else the field.
JsonPtr _field2json(const Message& msg, const FieldDescriptor* field, int index) {
  const Reflection* ref = msg.GetReflection();
  const bool repeated = field->is_repeated();
  JsonPtr value;
#define QEL_GET_VALUE(kind) (repeated ? ref->GetRepeated##kind(msg, field, index) : ref->Get##kind(msg, field))
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_DOUBLE:
      value.reset(json_real(QEL_GET_VALUE(Double)));  // null for NaN and infinities
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      value.reset(json_real(static_cast<double>(QEL_GET_VALUE(Float))));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      value.reset(json_integer(static_cast<json_int_t>(QEL_GET_VALUE(Int64))));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      // JSON integers are signed 64-bit: 2^63 and above wrap to negative.
      value.reset(json_integer(static_cast<json_int_t>(QEL_GET_VALUE(UInt64))));
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      value.reset(json_integer(QEL_GET_VALUE(Int32)));
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      value.reset(json_integer(QEL_GET_VALUE(UInt32)));
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      value.reset(json_boolean(QEL_GET_VALUE(Bool)));
      break;
    case FieldDescriptor::CPPTYPE_ENUM:
      // The number, never the name; an unknown number of an open enum too.
      value.reset(json_integer(QEL_GET_VALUE(EnumValue)));
      break;
    case FieldDescriptor::CPPTYPE_STRING: {
      std::string scratch;
      const std::string& text = repeated ? ref->GetRepeatedStringReference(msg, field, index, &scratch)
                                         : ref->GetStringReference(msg, field, &scratch);
      if (field->type() == FieldDescriptor::TYPE_BYTES) {
        const std::string encoded = b64_encode(text);
        value.reset(json_stringn_nocheck(encoded.data(), encoded.size()));
      } else {
        value.reset(json_stringn(text.data(), text.size()));  // null unless valid UTF-8
      }
      break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
      value = _pb2json(repeated ? ref->GetRepeatedMessage(msg, field, index) : ref->GetMessage(msg, field));
      break;
  }
#undef QEL_GET_VALUE
  if (!value) throw j2pb_error(field, "Fail to convert to json");
  return value;
}

JsonPtr _pb2json(const Message& msg) {
  const Descriptor* descriptor = msg.GetDescriptor();
  const Reflection* ref = msg.GetReflection();
  if (descriptor == nullptr || ref == nullptr) return nullptr;
  JsonPtr root(json_object());
  std::vector<const FieldDescriptor*> fields;
  ref->ListFields(msg, &fields);  // present fields, by field number
  for (const FieldDescriptor* field : fields) {
    JsonPtr value;
    if (field->is_repeated()) {
      const int count = ref->FieldSize(msg, field);
      if (count == 0) continue;
      value.reset(json_array());
      for (int i = 0; i < count; ++i) json_array_append_new(value.get(), _field2json(msg, field, i).release());
    } else if (ref->HasField(msg, field)) {
      value = _field2json(msg, field, 0);
    } else {
      continue;
    }
    const std::string& name = field->is_extension() ? field->full_name() : field->name();
    json_object_setn_new_nocheck(root.get(), name.data(), name.size(), value.release());
  }
  return root;
}

[[noreturn]] void ThrowUnpack(const FieldDescriptor* field, const json_error_t& error) {
  throw j2pb_error(field, std::string("Failed to unpack: ") + error.text);
}

json_int_t UnpackInteger(const FieldDescriptor* field, json_t* value) {
  json_int_t number = 0;
  json_error_t error;
  if (json_unpack_ex(value, &error, 0, "I", &number) != 0) ThrowUnpack(field, error);
  return number;
}

double UnpackReal(const FieldDescriptor* field, json_t* value) {
  double number = 0;
  json_error_t error;
  if (json_unpack_ex(value, &error, 0, "F", &number) != 0) ThrowUnpack(field, error);  // integer or real
  return number;
}

// A double outside float's range becomes the infinity of its sign (the
// conversion itself would be undefined); the rest rounds as usual.
float NarrowToFloat(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

void _json2pb(Message& msg, json_t* root);

// Sets field to value, or appends value to a repeated field.
void _json2field(Message& msg, const FieldDescriptor* field, json_t* value) {
  const Reflection* ref = msg.GetReflection();
  const bool repeated = field->is_repeated();
#define QEL_SET_VALUE(kind, v)               \
  do {                                       \
    if (repeated) {                          \
      ref->Add##kind(&msg, field, v);        \
    } else {                                 \
      ref->Set##kind(&msg, field, v);        \
    }                                        \
  } while (0)
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_DOUBLE:
      QEL_SET_VALUE(Double, UnpackReal(field, value));
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      QEL_SET_VALUE(Float, NarrowToFloat(UnpackReal(field, value)));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      QEL_SET_VALUE(Int64, static_cast<int64_t>(UnpackInteger(field, value)));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      QEL_SET_VALUE(UInt64, static_cast<uint64_t>(UnpackInteger(field, value)));
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      QEL_SET_VALUE(Int32, static_cast<int32_t>(UnpackInteger(field, value)));  // low 32 bits
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      QEL_SET_VALUE(UInt32, static_cast<uint32_t>(UnpackInteger(field, value)));  // low 32 bits
      break;
    case FieldDescriptor::CPPTYPE_BOOL: {
      int flag = 0;
      json_error_t error;
      if (json_unpack_ex(value, &error, 0, "b", &flag) != 0) ThrowUnpack(field, error);
      QEL_SET_VALUE(Bool, flag != 0);
      break;
    }
    case FieldDescriptor::CPPTYPE_ENUM: {
      const EnumDescriptor* type = field->enum_type();
      const EnumValueDescriptor* found = nullptr;
      if (json_is_integer(value)) {
        const json_int_t number = json_integer_value(value);
        if (number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max()) {
          found = type->FindValueByNumber(static_cast<int>(number));
        }
      } else if (json_is_string(value)) {
        found = type->FindValueByName(std::string(json_string_value(value), json_string_length(value)));
      } else {
        throw j2pb_error(field, "Not an integer or string");
      }
      if (found == nullptr) throw j2pb_error(field, "Enum value not found");
      QEL_SET_VALUE(Enum, found);
      break;
    }
    case FieldDescriptor::CPPTYPE_STRING: {
      if (!json_is_string(value)) throw j2pb_error(field, "Not a string");
      std::string text(json_string_value(value), json_string_length(value));
      if (field->type() == FieldDescriptor::TYPE_BYTES) text = b64_decode(text);
      QEL_SET_VALUE(String, std::move(text));
      break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE: {
      Message* sub = repeated ? ref->AddMessage(&msg, field) : ref->MutableMessage(&msg, field);
      if (json_is_object(value)) _json2pb(*sub, value);  // anything else leaves it empty
      break;
    }
  }
#undef QEL_SET_VALUE
}

void _json2pb(Message& msg, json_t* root) {
  const Descriptor* descriptor = msg.GetDescriptor();
  const Reflection* ref = msg.GetReflection();
  if (descriptor == nullptr || ref == nullptr) throw j2pb_error("No descriptor or reflection");
  for (void* it = json_object_iter(root); it != nullptr; it = json_object_iter_next(root, it)) {
    const std::string key(json_object_iter_key(it), json_object_iter_key_len(it));
    json_t* value = json_object_iter_value(it);
    const FieldDescriptor* field = descriptor->FindFieldByName(key);
    if (field == nullptr) field = ref->FindKnownExtensionByName(key);
    if (field == nullptr) throw j2pb_error("Unknown field: " + key);
    if (field->is_repeated()) {
      if (!json_is_array(value)) throw j2pb_error(field, "Not array");
      size_t i = 0;
      json_t* element = nullptr;
      json_array_foreach(value, i, element) { _json2field(msg, field, element); }
    } else {
      _json2field(msg, field, value);
    }
  }
}

}  // namespace

std::string pb2json(const Message& msg) {
  std::string text;
  JsonPtr root = _pb2json(msg);
  if (!root) return text;
  json_dump_callback(root.get(), json_dump_std_string, &text, 0);
  return text;
}

void json2pb(Message& msg, const char* buf, size_t size) {
  json_error_t error;
  JsonPtr root(json_loadb(buf, size, 0, &error));
  if (!root) throw j2pb_error(std::string("Load failed: ") + error.text);
  if (!json_is_object(root.get())) throw j2pb_error("Malformed JSON: not an object");
  _json2pb(msg, root.get());
}
