// JSON <-> protobuf conversion: the rendering rules case by case, the errors
// of json2pb, a round trip over records of every market-data type, and the
// rendered text read back by Python's json module.
#include <gtest/gtest.h>
#include <google/protobuf/util/message_differencer.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "MarketData.pb.h"
#include "SysSubscribe.pb.h"
#include "json/json_test_ext.pb.h"
#include "json/json_test_types.pb.h"
#include "disruptor/pipeline_support.h"
#include "sim_records.h"
#include "support/temp_dir.h"
#include "swig/json2pb.h"

namespace {

using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
using qel_json_test::AllTypes;
using qel_json_test::Extendable;

using MessageFactory = std::function<std::unique_ptr<Message>()>;

// Builds an AllTypes message with fill applied.
MessageFactory All(std::function<void(AllTypes&)> fill) {
  return [fill] {
    auto m = std::make_unique<AllTypes>();
    fill(*m);
    return std::unique_ptr<Message>(std::move(m));
  };
}

// ------------------------------------------------------------- message -> JSON

struct RenderCase {
  const char* name;
  MessageFactory make;
  const char* json;
};

void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.name; }

class Pb2JsonRender : public testing::TestWithParam<RenderCase> {};

TEST_P(Pb2JsonRender, RendersExactly) {
  const RenderCase& c = GetParam();
  std::unique_ptr<Message> msg = c.make();
  EXPECT_EQ(pb2json(*msg), c.json);
}

constexpr uint64_t kTwoTo63 = uint64_t{1} << 63;

const RenderCase kRenderCases[] = {
    {"empty_message", All([](AllTypes&) {}), "{}"},
    {"subscribe_response_refused_only",
     [] {
       auto m = std::make_unique<com::quor::qel::model::SubscribeResponse>();
       m->set_issuccess(false);
       return std::unique_ptr<Message>(std::move(m));
     },
     "{}"},
    {"subscribe_response_separators",
     [] {
       auto m = std::make_unique<com::quor::qel::model::SubscribeResponse>();
       m->set_issuccess(true);
       m->add_permitteddatatypes(1);
       m->add_permitteddatatypes(2);
       return std::unique_ptr<Message>(std::move(m));
     },
     R"({"isSuccess": true, "permittedDataTypes": [1, 2]})"},
    {"defaults_left_out", All([](AllTypes& m) {
       m.set_i32(0);
       m.set_flag(false);
       m.set_text("");
       m.set_blob("");
       m.set_colour(qel_json_test::COLOUR_NONE);
       m.set_dbl(0.0);
     }),
     "{}"},
    {"members_follow_field_numbers", All([](AllTypes& m) {
       m.set_first_declared(7);
       m.set_text("t");
       m.set_i32(5);
     }),
     R"({"i32": 5, "text": "t", "first_declared": 7})"},
    {"enum_renders_its_number", All([](AllTypes& m) { m.set_colour(qel_json_test::BLUE); }), R"({"colour": 3})"},
    {"repeated_enum_numbers", All([](AllTypes& m) {
       m.add_r_colour(qel_json_test::COLOUR_NONE);
       m.add_r_colour(qel_json_test::GREEN);
     }),
     R"({"r_colour": [0, 2]})"},
    {"bytes_one", All([](AllTypes& m) { m.set_blob("a"); }), R"({"blob": "YQ=="})"},
    {"bytes_two", All([](AllTypes& m) { m.set_blob("ab"); }), R"({"blob": "YWI="})"},
    {"bytes_three", All([](AllTypes& m) { m.set_blob("abc"); }), R"({"blob": "YWJj"})"},
    {"bytes_binary", All([](AllTypes& m) { m.set_blob(std::string("\x00\xff\xfe\x7f", 4)); }),
     R"({"blob": "AP/+fw=="})"},
    {"repeated_bytes_keeps_empty_element", All([](AllTypes& m) {
       m.add_r_blob("");
       m.add_r_blob("abcd");
     }),
     R"({"r_blob": ["", "YWJjZA=="]})"},
    {"double_two_has_a_point", All([](AllTypes& m) { m.set_dbl(2.0); }), R"({"dbl": 2.0})"},
    {"double_seventeen_digits", All([](AllTypes& m) { m.set_dbl(0.1); }), R"({"dbl": 0.10000000000000001})"},
    {"double_exponent", All([](AllTypes& m) { m.set_dbl(1e22); }), R"({"dbl": 1e22})"},
    {"double_seventeen_digits_with_exponent", All([](AllTypes& m) { m.set_dbl(1e300); }),
     R"({"dbl": 1.0000000000000001e300})"},
    {"float_widened", All([](AllTypes& m) { m.set_flt(0.1f); }), R"({"flt": 0.10000000149011612})"},
    {"negative_int32", All([](AllTypes& m) { m.set_i32(-1); }), R"({"i32": -1})"},
    {"signed_32_bit_kinds", All([](AllTypes& m) {
       m.set_si32(std::numeric_limits<int32_t>::min());
       m.set_sf32(-7);
     }),
     R"({"si32": -2147483648, "sf32": -7})"},
    {"unsigned_32_bit_zero_extended", All([](AllTypes& m) {
       m.set_u32(std::numeric_limits<uint32_t>::max());
       m.set_f32(2147483648u);
     }),
     R"({"u32": 4294967295, "f32": 2147483648})"},
    {"int64_extremes", All([](AllTypes& m) {
       m.set_i64(std::numeric_limits<int64_t>::max());
       m.set_si64(std::numeric_limits<int64_t>::min());
       m.set_sf64(-1);
     }),
     R"({"i64": 9223372036854775807, "si64": -9223372036854775808, "sf64": -1})"},
    {"uint64_from_two_to_63_appears_negative", All([](AllTypes& m) {
       m.set_u64(kTwoTo63);
       m.set_f64(std::numeric_limits<uint64_t>::max());
       m.add_r_u64(kTwoTo63 - 1);
     }),
     R"({"u64": -9223372036854775808, "f64": -1, "r_u64": [9223372036854775807]})"},
    {"bools", All([](AllTypes& m) {
       m.set_flag(true);
       m.add_r_flag(true);
       m.add_r_flag(false);
     }),
     R"({"flag": true, "r_flag": [true, false]})"},
    {"string_escapes_only_quote_backslash_and_controls",
     All([](AllTypes& m) { m.set_text("a\"b\\c\nd\te/\x01 \xc3\xa9\xe2\x82\xac"); }),
     "{\"text\": \"a\\\"b\\\\c\\nd\\te/\\u0001 \xc3\xa9\xe2\x82\xac\"}"},
    {"string_with_nul", All([](AllTypes& m) { m.set_text(std::string("x\0y", 3)); }), R"({"text": "x\u0000y"})"},
    {"set_but_empty_submessage", All([](AllTypes& m) { m.mutable_inner(); }), R"({"inner": {}})"},
    {"nested_and_repeated_messages", All([](AllTypes& m) {
       m.mutable_inner()->set_id(4);
       m.add_r_inner()->set_id(1);
       m.add_r_inner()->set_label("x");
       m.add_r_inner();
     }),
     R"({"inner": {"id": 4}, "r_inner": [{"id": 1}, {"label": "x"}, {}]})"},
    {"repeated_doubles_and_strings", All([](AllTypes& m) {
       m.add_r_dbl(1);
       m.add_r_dbl(-0.5);
       m.add_r_text("");
       m.add_r_text("z");
     }),
     R"({"r_dbl": [1.0, -0.5], "r_text": ["", "z"]})"},
    {"extension_under_its_full_name",
     [] {
       auto m = std::make_unique<Extendable>();
       m->set_base(1);
       m->SetExtension(qel_json_test::note, "n");
       m->AddExtension(qel_json_test::marks, 3);
       return std::unique_ptr<Message>(std::move(m));
     },
     R"({"base": 1, "qel_json_test.note": "n", "qel_json_test.marks": [3]})"},
};

INSTANTIATE_TEST_SUITE_P(Rules, Pb2JsonRender, testing::ValuesIn(kRenderCases),
                         [](const testing::TestParamInfo<RenderCase>& info) { return std::string(info.param.name); });

struct RenderErrorCase {
  const char* name;
  MessageFactory make;
  const char* error;
};

void PrintTo(const RenderErrorCase& c, std::ostream* os) { *os << c.name; }

class Pb2JsonRefuses : public testing::TestWithParam<RenderErrorCase> {};

TEST_P(Pb2JsonRefuses, ThrowsForTheFieldThatCannotBeRendered) {
  const RenderErrorCase& c = GetParam();
  std::unique_ptr<Message> msg = c.make();
  try {
    pb2json(*msg);
    FAIL() << "no exception";
  } catch (const j2pb_error& e) {
    EXPECT_STREQ(e.what(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Pb2JsonRefuses,
    testing::Values(
        RenderErrorCase{"string_not_utf8", All([](AllTypes& m) { m.set_text("ok\xff"); }),
                        "text: Fail to convert to json"},
        RenderErrorCase{"double_nan", All([](AllTypes& m) { m.set_dbl(std::nan("")); }), "dbl: Fail to convert to json"},
        RenderErrorCase{"float_infinite",
                        All([](AllTypes& m) { m.set_flt(std::numeric_limits<float>::infinity()); }),
                        "flt: Fail to convert to json"},
        RenderErrorCase{"repeated_double_infinite",
                        All([](AllTypes& m) {
                          m.add_r_dbl(1);
                          m.add_r_dbl(-std::numeric_limits<double>::infinity());
                        }),
                        "r_dbl: Fail to convert to json"},
        RenderErrorCase{"nested_string_not_utf8",
                        All([](AllTypes& m) { m.add_r_inner()->set_label("\xc3"); }),
                        "label: Fail to convert to json"}),
    [](const testing::TestParamInfo<RenderErrorCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- JSON -> message

struct ParseCase {
  const char* name;
  const char* json;
  MessageFactory expected;  // starting from an empty AllTypes unless it says otherwise
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class Json2PbAccepts : public testing::TestWithParam<ParseCase> {};

TEST_P(Json2PbAccepts, FillsTheFields) {
  const ParseCase& c = GetParam();
  std::unique_ptr<Message> expected = c.expected();
  std::unique_ptr<Message> got(expected->New());
  const std::string json = c.json;
  json2pb(*got, json.data(), json.size());
  EXPECT_TRUE(MessageDifferencer::Equals(*got, *expected)) << got->DebugString();
}

INSTANTIATE_TEST_SUITE_P(
    Values, Json2PbAccepts,
    testing::Values(
        ParseCase{"enum_by_name", R"({"colour": "BLUE"})", All([](AllTypes& m) { m.set_colour(qel_json_test::BLUE); })},
        ParseCase{"enum_by_number", R"({"colour": 3})", All([](AllTypes& m) { m.set_colour(qel_json_test::BLUE); })},
        ParseCase{"repeated_enum_mixed", R"({"r_colour": ["RED", 2]})", All([](AllTypes& m) {
                    m.add_r_colour(qel_json_test::RED);
                    m.add_r_colour(qel_json_test::GREEN);
                  })},
        ParseCase{"integer_for_double", R"({"dbl": 2, "flt": 3})", All([](AllTypes& m) {
                    m.set_dbl(2.0);
                    m.set_flt(3.0f);
                  })},
        ParseCase{"real_narrowed_to_float", R"({"flt": 0.10000000149011612})",
                  All([](AllTypes& m) { m.set_flt(0.1f); })},
        ParseCase{"float_overflow_becomes_infinity", R"({"flt": 1e300, "dbl": -1e308})", All([](AllTypes& m) {
                    m.set_flt(std::numeric_limits<float>::infinity());
                    m.set_dbl(-1e308);
                  })},
        ParseCase{"float_below_range_becomes_negative_infinity", R"({"flt": -1e39})",
                  All([](AllTypes& m) { m.set_flt(-std::numeric_limits<float>::infinity()); })},
        ParseCase{"int32_keeps_low_32_bits", R"({"i32": 4294967297, "u32": -1})", All([](AllTypes& m) {
                    m.set_i32(1);
                    m.set_u32(std::numeric_limits<uint32_t>::max());
                  })},
        ParseCase{"negative_for_uint64", R"({"u64": -9223372036854775808, "f64": -1})", All([](AllTypes& m) {
                    m.set_u64(kTwoTo63);
                    m.set_f64(std::numeric_limits<uint64_t>::max());
                  })},
        ParseCase{"bytes_from_base64", R"({"blob": "AP/+fw==", "r_blob": ["", "YQ==", "YWI="]})",
                  All([](AllTypes& m) {
                    m.set_blob(std::string("\x00\xff\xfe\x7f", 4));
                    m.add_r_blob("");
                    m.add_r_blob("a");
                    m.add_r_blob("ab");
                  })},
        ParseCase{"string_escapes_to_utf8", R"({"text": "x\u00e9\ud83d\ude00\n\"", "r_text": ["\u20ac"]})",
                  All([](AllTypes& m) {
                    m.set_text("x\xc3\xa9\xf0\x9f\x98\x80\n\"");
                    m.add_r_text("\xe2\x82\xac");
                  })},
        ParseCase{"non_object_leaves_submessage_empty", R"({"inner": 5, "r_inner": [{"id": 2}, "x"]})",
                  All([](AllTypes& m) {
                    m.mutable_inner();
                    m.add_r_inner()->set_id(2);
                    m.add_r_inner();
                  })},
        ParseCase{"extension_by_full_name", R"({"base": 1, "qel_json_test.note": "n", "qel_json_test.marks": [3, 4]})",
                  [] {
                    auto m = std::make_unique<Extendable>();
                    m->set_base(1);
                    m->SetExtension(qel_json_test::note, "n");
                    m->AddExtension(qel_json_test::marks, 3);
                    m->AddExtension(qel_json_test::marks, 4);
                    return std::unique_ptr<Message>(std::move(m));
                  }}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(Json2PbMerge, FieldsNotNamedKeepTheirValuesAndRepeatedOnesGrow) {
  AllTypes msg;
  msg.set_text("keep");
  msg.set_i32(9);
  msg.add_r_i32(1);
  const std::string json = R"({"i32": 2, "r_i32": [2, 3]})";
  json2pb(msg, json.data(), json.size());
  EXPECT_EQ(msg.text(), "keep");
  EXPECT_EQ(msg.i32(), 2);
  EXPECT_EQ(std::vector<int32_t>(msg.r_i32().begin(), msg.r_i32().end()), (std::vector<int32_t>{1, 2, 3}));
}

enum class ErrorKind { kJ2pb, kRuntime };

struct ParseErrorCase {
  const char* name;
  const char* json;
  ErrorKind kind;
  const char* prefix;   // what() starts with this
  bool exact;           // and is nothing more
};

void PrintTo(const ParseErrorCase& c, std::ostream* os) { *os << c.name; }

class Json2PbRefuses : public testing::TestWithParam<ParseErrorCase> {};

TEST_P(Json2PbRefuses, ThrowsWithItsText) {
  const ParseErrorCase& c = GetParam();
  AllTypes msg;
  const std::string json = c.json;
  std::string what;
  bool right_type = false;
  try {
    json2pb(msg, json.data(), json.size());
  } catch (const j2pb_error& e) {
    what = e.what();
    right_type = c.kind == ErrorKind::kJ2pb;
  } catch (const std::runtime_error& e) {
    what = e.what();
    right_type = c.kind == ErrorKind::kRuntime;
  }
  EXPECT_TRUE(right_type) << "what: '" << what << "'";
  if (c.exact) {
    EXPECT_EQ(what, c.prefix);
  } else {
    EXPECT_EQ(what.rfind(c.prefix, 0), 0u) << what;
    EXPECT_GT(what.size(), std::string(c.prefix).size()) << "the parser's own text follows";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Json2PbRefuses,
    testing::Values(
        ParseErrorCase{"not_json", "{\"i32\": ", ErrorKind::kJ2pb, "Load failed: ", false},
        ParseErrorCase{"top_level_array", "[1, 2]", ErrorKind::kJ2pb, "Malformed JSON: not an object", true},
        ParseErrorCase{"unknown_field", R"({"i32": 1, "nope": 1})", ErrorKind::kJ2pb, "Unknown field: nope", true},
        // The parser runs with no flags: a NUL character is refused in strings.
        ParseErrorCase{"string_with_nul", R"({"text": "x\u0000y"})", ErrorKind::kJ2pb, "Load failed: ", false},
        ParseErrorCase{"string_for_int32", R"({"i32": "12"})", ErrorKind::kJ2pb, "i32: Failed to unpack: ", false},
        ParseErrorCase{"real_for_int64", R"({"i64": 1.5})", ErrorKind::kJ2pb, "i64: Failed to unpack: ", false},
        ParseErrorCase{"integer_for_bool", R"({"flag": 1})", ErrorKind::kJ2pb, "flag: Failed to unpack: ", false},
        ParseErrorCase{"string_for_double", R"({"dbl": "2"})", ErrorKind::kJ2pb, "dbl: Failed to unpack: ", false},
        ParseErrorCase{"bad_repeated_element", R"({"r_i32": [1, "x"]})", ErrorKind::kJ2pb,
                       "r_i32: Failed to unpack: ", false},
        ParseErrorCase{"scalar_for_repeated", R"({"r_i32": 5})", ErrorKind::kJ2pb, "r_i32: Not array", true},
        ParseErrorCase{"enum_name_unknown", R"({"colour": "PURPLE"})", ErrorKind::kJ2pb, "colour: Enum value not found",
                       true},
        ParseErrorCase{"enum_number_unknown", R"({"colour": 99})", ErrorKind::kJ2pb, "colour: Enum value not found",
                       true},
        ParseErrorCase{"enum_number_beyond_int", R"({"colour": 4294967299})", ErrorKind::kJ2pb,
                       "colour: Enum value not found", true},
        ParseErrorCase{"enum_real", R"({"colour": 1.0})", ErrorKind::kJ2pb, "colour: Not an integer or string", true},
        ParseErrorCase{"number_for_string", R"({"text": 5})", ErrorKind::kJ2pb, "text: Not a string", true},
        ParseErrorCase{"number_for_bytes", R"({"blob": 5})", ErrorKind::kJ2pb, "blob: Not a string", true},
        ParseErrorCase{"base64_three_characters", R"({"blob": "YQ="})", ErrorKind::kRuntime,
                       "Invalid base64 data size", true},
        ParseErrorCase{"base64_outside_alphabet", R"({"blob": "YWJjY*=="})", ErrorKind::kRuntime,
                       "Invalid hex data: Y*==", true},
        ParseErrorCase{"base64_url_alphabet", R"({"r_blob": ["YQ==", "-_8="]})", ErrorKind::kRuntime,
                       "Invalid hex data: -_8=", true}),
    [](const testing::TestParamInfo<ParseErrorCase>& info) { return std::string(info.param.name); });

// ----------------------------------------------- records of every market type

// One record of each kind the simulator generates, on channels that include
// negative and extreme values, with small and large sequence numbers.
std::vector<com::quor::qel::model::MarketData> SimRecords() {
  std::vector<com::quor::qel::model::MarketData> records;
  const int64_t channels[] = {7, -3, std::numeric_limits<int64_t>::min()};
  const int64_t seqs[] = {1, (int64_t{1} << 40) + 3};
  for (int kind : qel::sim::AllRecordKinds()) {
    for (int64_t channel : channels) {
      for (int64_t seq : seqs) {
        const std::string wire = qel_test::SimRecord(kind, channel, seq);
        if (wire.empty()) continue;  // SimRecord reported the failure
        com::quor::qel::model::MarketData record;
        if (!record.ParseFromString(wire)) {
          ADD_FAILURE() << "kind " << kind << " does not parse";
          continue;
        }
        records.push_back(record);
      }
    }
  }
  return records;
}

TEST(MarketDataJson, EveryRecordTypeSurvivesARoundTrip) {
  const auto records = SimRecords();
  ASSERT_EQ(records.size(), qel::sim::AllRecordKinds().size() * 6);
  for (const auto& record : records) {
    const int kind = qel::sim::RecordKindOf(record);
    const std::string json = pb2json(record);
    // The record renders under its own member, not as an empty object.
    EXPECT_NE(json.find("\"" + qel::sim::RecordKindName(kind) + "\": {"), std::string::npos) << json;
    com::quor::qel::model::MarketData back;
    json2pb(back, json.data(), json.size());
    EXPECT_TRUE(MessageDifferencer::Equals(record, back))
        << qel::sim::RecordKindName(kind) << "\n" << json << "\n" << back.DebugString();
  }
}

// Python's json module reads every rendered line: the records of every type
// and the messages with escapes, extremes and base64.
TEST(MarketDataJson, PythonJsonModuleReadsEveryLine) {
  std::string lines;
  for (const auto& record : SimRecords()) lines += pb2json(record) + "\n";
  for (const RenderCase& c : kRenderCases) lines += pb2json(*c.make()) + "\n";
  qel_test::TempDir dir;
  const std::string file = dir.Write("records.jsonl", lines);
  const std::string command =
      "/usr/bin/python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1])]' '" + file + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
