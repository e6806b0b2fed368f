// Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
// real inputs: frames built with the feed simulator's framer and record
// generators, query answers from the simulator's query service, frames and
// ciphertext from the library's own codec, and the configuration and JSON
// documents applications write. Run it after a format change:
//   build-asan/fuzz/make_corpus fuzz/corpus tools/feed_sim/reference_data.json
// Each target's input layout (a leading control byte, where it has one) is
// described at the top of the target's source.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "MarketData.pb.h"
#include "MetaData.pb.h"
#include "SysHeartbeat.pb.h"
#include "SysLogin.pb.h"
#include "SysSubscribe.pb.h"
#include "VentrixQuery.pb.h"
#include "feed_sim.h"
#include "kits/standard_lib_kits.h"
#include "query_service.h"
#include "sim_frame.h"
#include "sim_records.h"
#include "swig/json2pb.h"

namespace qm = com::quor::qel::model;
namespace vm = com::quor::kbr::ventrix::model;
namespace qc = com::quor::kbr::client;

namespace {

std::string g_root;
int g_files = 0;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string dir = g_root + "/" + target;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(dir.c_str());
    std::exit(1);
  }
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
    std::exit(1);
  }
  ++g_files;
}

qm::MetaData Meta(qm::ESysMessageType type, int32_t channel = 0, int64_t index = 0) {
  qm::MetaData meta;
  meta.set_sysmessagetype(type);
  meta.set_qelsysmessagenum(1);
  meta.set_channelno(channel);
  meta.set_channelindex(index);
  meta.set_qeldatatype(3);
  return meta;
}

// One record of the given kind from the simulator's generator.
std::string Record(int kind, int64_t channel, int64_t seq, const std::string& security = "600000.SH") {
  qel::sim::StreamSpec spec;
  spec.record_kind = kind;
  spec.data_type = 3;
  qel::sim::RecordTemplate tmpl;
  std::string error;
  if (!qel::sim::RecordTemplate::Build(spec, security, channel, &tmpl, &error)) {
    std::fprintf(stderr, "record kind %d: %s\n", kind, error.c_str());
    std::exit(1);
  }
  std::string wire(tmpl.EncodedSize(seq), '\0');
  tmpl.Encode(seq, &wire[0]);
  return wire;
}

// A market-data payload of records of one kind: count records, or as many as
// fit max_raw bytes when count is 0.
std::string RecordPayload(int kind, int count, size_t max_raw, bool lz4) {
  qel::sim::RecordPayloadBuilder builder;
  for (int64_t seq = 1; count == 0 || builder.count() < count; ++seq) {
    const std::string r = Record(kind, 7, seq);
    if (builder.raw_size() + 4 + r.size() > max_raw) break;
    builder.Add(r.data(), r.size());
  }
  return builder.Finish(lz4);
}

std::string MarketDataFrame(const std::string& payload, bool lz4, int64_t index) {
  std::string out;
  const int16_t flags = qel::sim::kFlagManage | (lz4 ? qel::sim::kFlagLz4 : 0);
  if (!qel::sim::AppendRawFrame(&out, Meta(qm::PUSH_MARKET_DATA, 7, index), payload.data(), payload.size(),
                                flags)) {
    std::fprintf(stderr, "market-data frame refused (payload %zu)\n", payload.size());
    std::exit(1);
  }
  return out;
}

std::string ResponseFrame(const qm::MetaData& meta, const google::protobuf::MessageLite& body) {
  std::string out;
  if (!qel::sim::AppendResponseFrame(&out, meta, body)) std::exit(1);
  return out;
}

qm::LoginResponse LoginOk(int sites) {
  qm::LoginResponse resp;
  resp.set_issuccess(true);
  resp.set_token("token-1f3a9c");
  for (int site = 1; site <= sites; ++site) {
    for (int priority = 1; priority <= 2; ++priority) {
      qm::ServerInfo* s = resp.add_servers();
      s->set_ip("127.0.0.1");
      s->set_port(9500 + site * 10 + priority);
      s->set_ippriority(priority);
      s->set_sitetype(site);
      s->set_sitename("site" + std::to_string(site));
      s->set_isssl(priority == 2);
    }
  }
  resp.mutable_accountinfo()->set_username("demo");
  return resp;
}

qm::LoginResponse LoginRefused() {
  qm::LoginResponse resp;
  resp.set_issuccess(false);
  resp.mutable_errorcontext()->set_errorcode(1002);
  resp.mutable_errorcontext()->set_message("user or password wrong");
  return resp;
}

qm::SubscribeResponse SubscribeOk() {
  qm::SubscribeResponse resp;
  resp.set_issuccess(true);
  resp.add_permitteddatatypes(3);
  resp.add_permitteddatatypes(5);
  qm::SubscribeByIdDetail* d = resp.add_permittediddetails();
  d->set_qeldatatype(3);
  d->add_quorsecurityid("600000.SH");
  return resp;
}

// A frame whose metadata is exactly 65,535 bytes (padded with an unknown
// field, which readers skip) and whose payload is as large as allowed.
std::string LargestFrame(bool lz4) {
  qm::MetaData meta = Meta(qm::PUSH_MARKET_DATA, 7, 99);
  const size_t base = meta.ByteSizeLong();
  // Tag (field 1000, length-delimited: 2 bytes) + 3-byte length + bytes.
  std::string pad(static_cast<size_t>(qel::sim::kMaxSectionLen) - base - 5, 'p');
  meta.GetReflection()->MutableUnknownFields(&meta)->AddLengthDelimited(1000, pad);
  if (meta.ByteSizeLong() != static_cast<size_t>(qel::sim::kMaxSectionLen)) {
    std::fprintf(stderr, "padded metadata is %zu bytes\n", meta.ByteSizeLong());
    std::exit(1);
  }
  const std::string payload =
      lz4 ? RecordPayload(qel::sim::kQELStock, 0, qel::sim::kMaxRecordBytesPerFrame, true)
          : RecordPayload(qel::sim::kQELStock, 0, static_cast<size_t>(qel::sim::kMaxSectionLen), false);
  std::string out;
  const int16_t flags = qel::sim::kFlagManage | (lz4 ? qel::sim::kFlagLz4 : 0);
  if (!qel::sim::AppendRawFrame(&out, meta, payload.data(), payload.size(), flags)) std::exit(1);
  return out;
}

void ReaderCorpus() {
  const std::string t = "reader_fuzz";
  const std::string login = ResponseFrame(Meta(qm::LOGIN_RESPONSE), LoginOk(1));
  const std::string sub = ResponseFrame(Meta(qm::SUBSCRIBE_RESPONSE), SubscribeOk());
  const std::string beat = ResponseFrame(Meta(qm::HEARTBEAT_RESPONSE), qm::SysHeartbeat());
  const std::string plain = MarketDataFrame(RecordPayload(qel::sim::kQELStock, 10, 60000, false), false, 1);
  const std::string lz4 = MarketDataFrame(RecordPayload(qel::sim::kQELStock, 10, 60000, true), true, 2);
  // Control byte: chunk size - 1 (mod 64).
  Write(t, "session_chunk64", std::string(1, '\x3f') + login + sub + beat + plain + lz4);
  Write(t, "session_chunk7", std::string(1, '\x06') + login + sub + plain + beat + lz4);
  Write(t, "login_refused", std::string(1, '\x10') + ResponseFrame(Meta(qm::LOGIN_RESPONSE), LoginRefused()));
  int64_t index = 10;
  for (int kind : qel::sim::AllRecordKinds()) {
    const bool compress = (kind % 2) == 0;
    Write(t, "kind_" + qel::sim::RecordKindName(kind),
          std::string(1, '\x3f') + MarketDataFrame(RecordPayload(kind, 3, 60000, compress), compress, ++index));
  }
  // Frames at the size limits: a full payload, plain and compressed, and the
  // largest frame the bounds allow (both sections at 65,535 bytes).
  Write(t, "payload_max_plain",
        std::string(1, '\x3f') + login +
            MarketDataFrame(RecordPayload(qel::sim::kQELStock, 0, qel::sim::kMaxSectionLen, false), false, 50));
  Write(t, "payload_max_lz4",
        std::string(1, '\x3f') + login +
            MarketDataFrame(RecordPayload(qel::sim::kMDOrder, 0, qel::sim::kMaxRecordBytesPerFrame, true), true, 51));
  Write(t, "frame_max_plain", std::string(1, '\x3f') + LargestFrame(false));
  Write(t, "frame_max_lz4", std::string(1, '\x3f') + LargestFrame(true));
}

void DecompressCorpus() {
  const std::string t = "decompress_fuzz";
  // Control byte: bit 0 = LZ4, the rest the channel.
  for (int kind : qel::sim::AllRecordKinds()) {
    const std::string name = qel::sim::RecordKindName(kind);
    Write(t, name + "_plain", std::string(1, '\x0e') + RecordPayload(kind, 5, 60000, false));
    Write(t, name + "_lz4", std::string(1, '\x0f') + RecordPayload(kind, 5, 60000, true));
  }
  Write(t, "max_plain",
        std::string(1, '\x0e') + RecordPayload(qel::sim::kQELStock, 0, qel::sim::kMaxSectionLen, false));
  Write(t, "max_lz4",
        std::string(1, '\x0f') + RecordPayload(qel::sim::kMDTrade, 0, qel::sim::kMaxRecordBytesPerFrame, true));
}

void DiscoveryCorpus() {
  const std::string t = "discovery_fuzz";
  // Control byte: chunk size - 1 (mod 64). Trace id empty: the request the
  // target's client never sent had none.
  Write(t, "login_ok_one_site", std::string(1, '\x3f') + ResponseFrame(Meta(qm::LOGIN_RESPONSE), LoginOk(1)));
  Write(t, "login_ok_four_sites", std::string(1, '\x05') + ResponseFrame(Meta(qm::LOGIN_RESPONSE), LoginOk(4)));
  Write(t, "login_refused", std::string(1, '\x3f') + ResponseFrame(Meta(qm::LOGIN_RESPONSE), LoginRefused()));
  qm::LoginResponse big = LoginOk(1);
  while (qel::sim::ResponseFitsFrame(big)) {
    qm::ServerInfo* s = big.add_servers();
    s->set_ip("127.0.0.1");
    s->set_port(9600 + big.servers_size());
    s->set_sitetype(1 + big.servers_size() % 8);
    s->set_ippriority(big.servers_size());
    s->set_sitename("site-with-a-long-descriptive-name");
  }
  big.mutable_servers()->RemoveLast();
  Write(t, "login_ok_payload_max", std::string(1, '\x3f') + ResponseFrame(Meta(qm::LOGIN_RESPONSE), big));
}

void ConfigCorpus() {
  const std::string t = "config_fuzz";
  Write(t, "all_keys",
        "# client configuration\n"
        "ventrix_config_thread_sleep_time = 10\n"
        "ventrix_config_send_timeout = 30\n"
        "ventrix_config_read_timeout = 30\n"
        "ventrix_config_daemon_check_interval = 10\n"
        "ventrix_config_use_ssl = false\n"
        "ventrix_config_file_log = false\n"
        "ventrix_config_cout_log = no\n"
        "ventrix_config_config_path = ./config\n"
        "ventrix_config_log_folder = ./log\n"
        "ventrix_config_cert_folder = ./cert\n"
        "ventrix_config_handle_thread_num = 4\n"
        "ventrix_config_log_serverity = 1\n"
        "ventrix_config_login_try_count = 3\n"
        "ventrix_config_subscribe_try_count = 3\n"
        "ventrix_config_login_try_interval = 5\n"
        "ventrix_config_subscribe_try_interval = 5\n"
        "ventrix_config_login_response_wait_time = 3\n"
        "ventrix_config_subscribe_response_wait_time = 3\n"
        "ventrix_config_kbr_query_url = https://127.0.0.1:9552/query\n"
        "ventrix_config_max_inflight_bytes = 268435456\n");
  Write(t, "crlf_blanks",
        "\tventrix_config_read_timeout\t=\t45\r\n"
        "ventrix_config_use_ssl=TRUE\r\n"
        "unknown_key = 1\r\n"
        "=novalue\r\n"
        "ventrix_config_handle_thread_num = 0\r\n"
        "ventrix_config_send_timeout = 99999999999999999999\r\n"
        "ventrix_config_cert_folder = /etc/ssl/a=b\r");
  Write(t, "long_line", "ventrix_config_log_folder = " + std::string(3000, 'x') + "\nventrix_config_send_timeout = 7\n");
}

void Json2pbCorpus() {
  const std::string t = "json2pb_fuzz";
  // Control byte: the message type (see json2pb_fuzz.cpp).
  for (int kind : qel::sim::AllRecordKinds()) {
    qm::MarketData md;
    const std::string wire = Record(kind, 3, 42);
    md.ParseFromString(wire);
    Write(t, "MarketData_" + qel::sim::RecordKindName(kind), std::string(1, '\0') + pb2json(md));
  }
  qm::LoginRequest login;
  login.set_apptype(1);
  login.set_appversion("cpp_1.0.0_2025/09/30");
  login.set_logintype(qm::VENTRIX_LOGIN_FOR_DISCOVERY);
  login.mutable_uwp()->set_username("demo");
  login.mutable_uwp()->set_password(qc::StandardLibKits::GetInstance()->EncodeByAesEcbPkcs5padding("secret"));
  login.mutable_linkinfo()->set_processid("4242");
  login.mutable_linkinfo()->set_devicemac("02:00:00:00:00:01");
  login.set_serverip("127.0.0.1");
  login.set_serverport(9500);
  Write(t, "LoginRequest", std::string(1, '\1') + pb2json(login));
  Write(t, "LoginResponse", std::string(1, '\2') + pb2json(LoginOk(2)));
  qm::SubscribeRequest sub;
  sub.set_subscribeactiontype(qm::ADD);
  sub.mutable_subscribebydatatype()->add_qeldatatypes(3);
  qm::SubscribeByIdDetail* d = sub.mutable_subscribebyid()->add_subscribebyiddetails();
  d->set_qeldatatype(5);
  d->add_quorsecurityid("600000.SH");
  d->add_quorsecurityid("000001.SZ");
  Write(t, "SubscribeRequest", std::string(1, '\3') + pb2json(sub));
  Write(t, "SubscribeByDataType", std::string(1, '\4') + pb2json(sub.subscribebydatatype()));
  Write(t, "SubscribeById", std::string(1, '\5') + pb2json(sub.subscribebyid()));
  qm::MetaData meta = Meta(qm::PUSH_MARKET_DATA, 7, 123);
  meta.set_traceid("sdk_login_1765430000000000");
  meta.set_sendtime(1765430000000000000LL);
  Write(t, "MetaData", std::string(1, '\6') + pb2json(meta));
  vm::VentrixQueryResponse answer;
  answer.set_issuccess(true);
  answer.mutable_resultdata()->set_datatype(1011);
  answer.mutable_resultdata()->set_securityid("600000.SH");
  (*answer.mutable_resultdata()->mutable_fields())["Symbol"] = "PFBANK";
  Write(t, "VentrixQueryResponse", std::string(1, '\7') + pb2json(answer));
}

void PythonDocsCorpus() {
  const std::string t = "python_docs_fuzz";
  // Control byte: 0 login, 1 by data type, 2 by identifier, 3 sync query, 4 async query.
  Write(t, "login",
        std::string(1, '\0') +
            R"({"UserName": "demo", "Password": "secret", "CertFolder": "./cert", "MainServerIP": "127.0.0.1", )"
            R"("MainServerPort": 9500, "Is_Ssl": false, "QueryAddress": "127.0.0.1:9552", "QueryCert": "./cert/ca.crt", )"
            R"("QuerySSL": false, "QueryMaxQuerySize": 209715200, "Thread_Count": 4, )"
            R"("BackServer": [{"IP": "127.0.0.1", "Port": 9501}, {"IP": "127.0.0.2", "Port": 9502}]})");
  Write(t, "login_minimal", std::string(1, '\0') + R"({"UserName":"u","Password":"p"})");
  Write(t, "subscribe_types", std::string(1, '\1') + R"({"SubType": 2, "QelDataTypes": [3, 5, -999, "x"]})");
  Write(t, "subscribe_ids",
        std::string(1, '\2') +
            R"({"SubType": 1, "QUORSecurityIDs": [{"QelDataType": 3, "QUORSecurityID": ["600000.SH", "000001.SZ", ""]}, )"
            R"({"QelDataType": 5, "QUORSecurityID": ["600519.SH", 7]}, {"QUORSecurityID": []}]})");
  Write(t, "query_sync",
        std::string(1, '\3') +
            R"({"DataType": 1011, "Params": {"Date": "20250930", "n": 1}, "QUORSecurityIDs": ["600000.SH", ""], )"
            R"("MarketdataTypes": [{"ESecurityType": 1, "ESecurityIDSource": 101}, {"ESecurityType": 3}]})");
  Write(t, "query_async", std::string(1, '\4') + R"({"DataType": 1021, "QUORSecurityIDs": ["000001.SZ"]})");
}

void AesCorpus() {
  const std::string t = "aes_fuzz";
  const qc::StandardLibKits* kits = qc::StandardLibKits::GetInstance();
  // Control byte even: hexadecimal text under the built-in key.
  Write(t, "hex_password", std::string(1, '\0') + kits->EncodeByAesEcbPkcs5padding("secret-password"));
  Write(t, "hex_long", std::string(1, '\0') + kits->EncodeByAesEcbPkcs5padding(std::string(400, 'k')));
  // Control byte odd: 16 key bytes, then raw cipher text.
  const std::string key = "0123456789abcdef";
  const qc::u_string k(key.begin(), key.end());
  for (size_t len : {0u, 15u, 16u, 200u, 1000u}) {
    const std::string plain(len, 'd');
    const qc::u_string c = kits->Encode(k, qc::u_string(plain.begin(), plain.end()));
    Write(t, "raw_" + std::to_string(len), std::string(1, '\1') + key + std::string(c.begin(), c.end()));
  }
}

// One QUERY_RESPONSE frame as the simulator's query service writes it.
std::string AnswerFrame(const vm::QueryResponse& resp) {
  const std::string bytes = resp.SerializeAsString();
  qm::MetaData meta = Meta(static_cast<qm::ESysMessageType>(16));
  const std::string meta_bytes = meta.SerializeAsString();
  qel::sim::FrameHeader h;
  h.meta_len = static_cast<int32_t>(meta_bytes.size());
  h.payload_len = static_cast<int32_t>(bytes.size() + 4);
  char hb[qel::sim::kHeaderLen];
  qel::sim::EncodeHeader(h, hb);
  std::string out(hb, qel::sim::kHeaderLen);
  out += meta_bytes;
  qel::sim::AppendI32(&out, static_cast<int32_t>(bytes.size()));
  return out + bytes;
}

void QueryAnswerCorpus(const std::string& reference_file) {
  const std::string t = "query_answer_fuzz";
  std::vector<qel::sim::ReferenceSecurity> data;
  std::string error;
  if (!qel::sim::LoadReferenceData(reference_file, &data, &error)) {
    std::fprintf(stderr, "%s: %s\n", reference_file.c_str(), error.c_str());
    std::exit(1);
  }
  qel::sim::QueryService service(data, qel::sim::QueryService::Hooks());
  const std::vector<std::pair<int, std::string>> queries = {
      {qel::sim::kQueryBasicInfo, "basic"}, {qel::sim::kQueryLatestBasicInfo, "latest"},
      {qel::sim::kQueryEtfBasicInfo, "etf"}, {qel::sim::kQueryStatus, "status"}, {4242, "unknown_type"}};
  for (const auto& q : queries) {
    bool ok = false;
    int code = 0;
    std::string message;
    std::vector<const qel::sim::ReferenceSecurity*> rows;
    service.Answer(q.first, false, {}, false, {}, &ok, &code, &message, &rows);
    vm::QueryResponse resp;
    resp.set_issuccess(ok);
    if (!ok) {
      resp.mutable_errorcontext()->set_errorcode(code);
      resp.mutable_errorcontext()->set_message(message);
    }
    for (const qel::sim::ReferenceSecurity* s : rows) {
      vm::VentrixQueryResponse* r = resp.add_responses();
      r->set_issuccess(true);
      vm::DynamicPacket* d = r->mutable_resultdata();
      d->set_datatype(q.first);
      d->set_securityid(s->security_id);
      const auto& fields = q.first == qel::sim::kQueryStatus ? s->status : s->basic;
      d->mutable_fields()->insert(fields.begin(), fields.end());
    }
    Write(t, q.second, AnswerFrame(resp));
  }
  // An answer after a frame of another type, which the reader skips.
  vm::QueryLoginResponse login;
  login.set_issuccess(true);
  std::string skipped;
  qel::sim::AppendResponseFrame(&skipped, Meta(static_cast<qm::ESysMessageType>(12)), login);
  vm::QueryResponse refused;
  refused.set_issuccess(false);
  refused.mutable_errorcontext()->set_errorcode(qel::sim::kQueryErrNotLoggedIn);
  refused.mutable_errorcontext()->set_message("not logged in");
  Write(t, "skip_then_refused", skipped + AnswerFrame(refused));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CORPUS_ROOT REFERENCE_DATA_JSON\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  mkdir(g_root.c_str(), 0755);
  ReaderCorpus();
  DecompressCorpus();
  DiscoveryCorpus();
  ConfigCorpus();
  Json2pbCorpus();
  PythonDocsCorpus();
  AesCorpus();
  QueryAnswerCorpus(argv[2]);
  std::printf("%d seed files written under %s\n", g_files, g_root.c_str());
  return 0;
}
