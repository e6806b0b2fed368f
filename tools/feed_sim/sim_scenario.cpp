// Scenario files: JSON read with jansson into a Scenario. Stateless; callable
// from any thread.
#include <jansson.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>

#include "feed_sim.h"

namespace qel {
namespace sim {

namespace {

struct JsonDeleter {
  void operator()(json_t* j) const { json_decref(j); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

class Reader {
 public:
  explicit Reader(std::string* error) : m_error(error) {}

  bool Fail(const std::string& what) {
    if (m_error) *m_error = what;
    return false;
  }

  bool Int(json_t* obj, const char* key, int64_t* out, const std::string& where) {
    json_t* v = json_object_get(obj, key);
    if (!v) return true;
    if (!json_is_integer(v)) return Fail(where + "." + key + " must be an integer");
    *out = json_integer_value(v);
    return true;
  }
  template <typename T>
  bool IntAs(json_t* obj, const char* key, T* out, const std::string& where, int64_t lo,
             int64_t hi) {
    int64_t v = static_cast<int64_t>(*out);
    if (!Int(obj, key, &v, where)) return false;
    if (v < lo || v > hi) return Fail(where + "." + key + " out of range");
    *out = static_cast<T>(v);
    return true;
  }
  bool Number(json_t* obj, const char* key, double* out, const std::string& where) {
    json_t* v = json_object_get(obj, key);
    if (!v) return true;
    if (!json_is_number(v)) return Fail(where + "." + key + " must be a number");
    *out = json_number_value(v);
    return true;
  }
  bool Bool(json_t* obj, const char* key, bool* out, const std::string& where) {
    json_t* v = json_object_get(obj, key);
    if (!v) return true;
    if (!json_is_boolean(v)) return Fail(where + "." + key + " must be true or false");
    *out = json_is_true(v);
    return true;
  }
  bool String(json_t* obj, const char* key, std::string* out, const std::string& where) {
    json_t* v = json_object_get(obj, key);
    if (!v) return true;
    if (!json_is_string(v)) return Fail(where + "." + key + " must be a string");
    *out = json_string_value(v);
    return true;
  }

 private:
  std::string* m_error;
};

bool ParseMalformed(const std::string& s, Malformed* out) {
  static const std::pair<const char*, Malformed> kNames[] = {
      {"meta_too_long", Malformed::kMetaTooLong},
      {"payload_too_long", Malformed::kPayloadTooLong},
      {"negative_length", Malformed::kNegativeLength},
      {"garbage_meta", Malformed::kGarbageMeta},
      {"truncated_record", Malformed::kTruncatedRecord},
      {"corrupt_lz4", Malformed::kCorruptLz4},
      {"unknown_message_type", Malformed::kUnknownMessageType},
      {"no_message_type", Malformed::kNoMessageType},
      {"undecodable_record", Malformed::kUndecodableRecord},
      {"foreign_trace_id", Malformed::kForeignTraceId},
  };
  for (const auto& n : kNames) {
    if (s == n.first) {
      *out = n.second;
      return true;
    }
  }
  return false;
}

bool ParseFaults(Reader& rd, json_t* f, Faults* out) {
  const std::string w = "faults";
  if (!json_is_object(f)) return rd.Fail("faults must be an object");
  if (!rd.Bool(f, "refuse_discovery_login", &out->refuse_discovery_login, w) ||
      !rd.Bool(f, "refuse_datafeed_login", &out->refuse_datafeed_login, w) ||
      !rd.Bool(f, "wrong_trace_id_discovery", &out->wrong_trace_id_discovery, w) ||
      !rd.Bool(f, "wrong_trace_id_datafeed", &out->wrong_trace_id_datafeed, w) ||
      !rd.Bool(f, "no_heartbeat_response", &out->no_heartbeat_response, w) ||
      !rd.Bool(f, "refuse_subscribe", &out->refuse_subscribe, w) ||
      !rd.Bool(f, "no_subscribe_response", &out->no_subscribe_response, w) ||
      !rd.Bool(f, "no_discovery_response", &out->no_discovery_response, w) ||
      !rd.Bool(f, "no_datafeed_login_response", &out->no_datafeed_login_response, w) ||
      !rd.Bool(f, "unasked_heartbeat_requests", &out->unasked_heartbeat_requests, w) ||
      !rd.IntAs(f, "unasked_heartbeats_per_frame", &out->unasked_heartbeats_per_frame, w, 0, 10000) ||
      !rd.IntAs(f, "only_site_type", &out->only_site_type, w, 0, INT32_MAX) ||
      !rd.Bool(f, "refuse_query_login", &out->refuse_query_login, w) ||
      !rd.Bool(f, "no_query_response", &out->no_query_response, w) ||
      !rd.IntAs(f, "close_after_frames", &out->close_after_frames, w, 0, INT64_MAX) ||
      !rd.IntAs(f, "close_after_ms", &out->close_after_ms, w, 0, INT64_MAX) ||
      !rd.IntAs(f, "split_write_bytes", &out->split_write_bytes, w, 0, 1 << 20) ||
      !rd.IntAs(f, "split_delay_us", &out->split_delay_us, w, 0, 10000000) ||
      !rd.IntAs(f, "malformed_after_frames", &out->malformed_after_frames, w, 0, INT64_MAX)) {
    return false;
  }
  if (!rd.IntAs(f, "skip_index_every", &out->skip_index_every, w, 0, INT64_MAX) ||
      !rd.IntAs(f, "skip_index_count", &out->skip_index_count, w, 1, 1000000000) ||
      !rd.IntAs(f, "repeat_index_every", &out->repeat_index_every, w, 0, INT64_MAX)) {
    return false;
  }
  if (!rd.IntAs(f, "trickle_discovery_ms", &out->trickle_discovery_ms, w, 0, 60000) ||
      !rd.IntAs(f, "trickle_query_ms", &out->trickle_query_ms, w, 0, 60000) ||
      !rd.Bool(f, "flood_query_other_frames", &out->flood_query_other_frames, w)) {
    return false;
  }
  std::string kind;
  if (!rd.String(f, "malformed_kind", &kind, w)) return false;
  if (!kind.empty() && !ParseMalformed(kind, &out->malformed_kind)) {
    return rd.Fail("faults.malformed_kind: unknown kind '" + kind + "'");
  }
  return true;
}

bool ParseStream(Reader& rd, json_t* s, size_t i, StreamSpec* out) {
  const std::string w = "streams[" + std::to_string(i) + "]";
  if (!json_is_object(s)) return rd.Fail(w + " must be an object");
  if (!rd.IntAs(s, "site_type", &out->site_type, w, INT32_MIN, INT32_MAX) ||
      !rd.IntAs(s, "data_type", &out->data_type, w, INT32_MIN, INT32_MAX) ||
      !rd.IntAs(s, "record_type", &out->record_type, w, INT32_MIN, INT32_MAX) ||
      !rd.Number(s, "rate_per_sec", &out->rate_per_sec, w) ||
      !rd.IntAs(s, "batch", &out->batch, w, 1, 100000) ||
      !rd.Bool(s, "lz4", &out->lz4, w) ||
      !rd.IntAs(s, "max_records", &out->max_records, w, 0, INT64_MAX) ||
      !rd.IntAs(s, "queue_levels", &out->queue_levels, w, 0, 50)) {
    return false;
  }
  std::string stamp;
  if (!rd.String(s, "send_stamp", &stamp, w)) return false;
  if (stamp == "realtime") {
    out->send_stamp = StreamSpec::SendStamp::kRealtime;
  } else if (stamp == "monotonic") {
    out->send_stamp = StreamSpec::SendStamp::kMonotonic;
  } else if (!stamp.empty() && stamp != "none") {
    return rd.Fail(w + ".send_stamp must be \"none\", \"realtime\" or \"monotonic\"");
  }
  if (out->rate_per_sec < 0) return rd.Fail(w + ".rate_per_sec must not be negative");
  json_t* rec = json_object_get(s, "record");
  if (!rec) return rd.Fail(w + ".record is required (e.g. \"QELStock\")");
  if (json_is_string(rec)) {
    out->record_kind = RecordKindFromName(json_string_value(rec));
  } else if (json_is_integer(rec)) {
    out->record_kind = static_cast<int>(json_integer_value(rec));
  } else {
    return rd.Fail(w + ".record must be a record name or field number");
  }
  if (!IsValidRecordKind(out->record_kind)) return rd.Fail(w + ".record: unknown record kind");
  if (json_t* ch = json_object_get(s, "channels")) {
    if (!json_is_array(ch) || json_array_size(ch) == 0) {
      return rd.Fail(w + ".channels must be a non-empty array of integers");
    }
    out->channels.clear();
    size_t k;
    json_t* v;
    json_array_foreach(ch, k, v) {
      // The frame metadata carries the channel as int32.
      if (!json_is_integer(v) || json_integer_value(v) < INT32_MIN || json_integer_value(v) > INT32_MAX) {
        return rd.Fail(w + ".channels must hold 32-bit integers");
      }
      out->channels.push_back(json_integer_value(v));
    }
  }
  if (json_t* ids = json_object_get(s, "security_ids")) {
    if (!json_is_array(ids) || json_array_size(ids) == 0) {
      return rd.Fail(w + ".security_ids must be a non-empty array of strings");
    }
    out->security_ids.clear();
    size_t k;
    json_t* v;
    json_array_foreach(ids, k, v) {
      if (!json_is_string(v)) return rd.Fail(w + ".security_ids must hold strings");
      out->security_ids.emplace_back(json_string_value(v));
    }
  }
  return true;
}

bool ParseAction(Reader& rd, json_t* a, size_t i, ScheduledAction* out) {
  using K = ScheduledAction::Kind;
  const std::string w = "schedule[" + std::to_string(i) + "]";
  if (!json_is_object(a)) return rd.Fail(w + " must be an object");
  std::string action;
  if (!rd.String(a, "action", &action, w) ||
      !rd.IntAs(a, "at_ms", &out->at_ms, w, 0, INT64_MAX) ||
      !rd.IntAs(a, "node", &out->node_index, w, 0, INT32_MAX) ||
      !rd.IntAs(a, "site_type", &out->site_type, w, INT32_MIN, INT32_MAX)) {
    return false;
  }
  static const std::pair<const char*, K> kNames[] = {
      {"stop_node", K::kStopNode},           {"restart_node", K::kRestartNode},
      {"stop_discovery", K::kStopDiscovery}, {"restart_discovery", K::kRestartDiscovery},
      {"close_connections", K::kCloseConnections},
      {"send_malformed", K::kSendMalformed}, {"set_faults", K::kSetFaults},
  };
  bool known = false;
  for (const auto& n : kNames) {
    if (action == n.first) {
      out->kind = n.second;
      known = true;
    }
  }
  if (!known) return rd.Fail(w + ".action: unknown action '" + action + "'");
  std::string kind;
  if (!rd.String(a, "malformed_kind", &kind, w)) return false;
  if (!kind.empty() && !ParseMalformed(kind, &out->malformed)) {
    return rd.Fail(w + ".malformed_kind: unknown kind '" + kind + "'");
  }
  if (json_t* f = json_object_get(a, "faults")) {
    if (!ParseFaults(rd, f, &out->faults)) return false;
  }
  return true;
}

}  // namespace

bool ParseScenarioJson(const std::string& text, Scenario* out, std::string* error) {
  Reader rd(error);
  json_error_t jerr;
  JsonPtr root(json_loadb(text.data(), text.size(), 0, &jerr));
  if (!root) {
    return rd.Fail("JSON error at line " + std::to_string(jerr.line) + ": " + jerr.text);
  }
  if (!json_is_object(root.get())) return rd.Fail("the scenario must be a JSON object");
  Scenario sc;
  json_t* r = root.get();
  if (!rd.String(r, "bind_ip", &sc.bind_ip, "scenario") ||
      !rd.IntAs(r, "pace_tick_us", &sc.pace_tick_us, "scenario", 1, 1000000) ||
      !rd.IntAs(r, "pace_max_backlog_ms", &sc.pace_max_backlog_ms, "scenario", 1, 1000000)) {
    return false;
  }
  if (json_t* d = json_object_get(r, "discovery")) {
    if (!json_is_object(d)) return rd.Fail("discovery must be an object");
    if (!rd.IntAs(d, "port", &sc.discovery_port, "discovery", 0, 65535) ||
        !rd.Bool(d, "tls", &sc.discovery_tls, "discovery")) {
      return false;
    }
  }
  if (json_t* q = json_object_get(r, "query")) {
    if (!json_is_object(q)) return rd.Fail("query must be an object");
    sc.query_enabled = true;
    if (!rd.IntAs(q, "port", &sc.query_port, "query", 0, 65535) ||
        !rd.Bool(q, "tls", &sc.query_tls, "query") ||
        !rd.String(q, "reference_data", &sc.query_reference_file, "query")) {
      return false;
    }
  }
  if (json_t* t = json_object_get(r, "tls")) {
    if (!json_is_object(t)) return rd.Fail("tls must be an object");
    if (!rd.String(t, "cert", &sc.tls_cert_file, "tls") ||
        !rd.String(t, "key", &sc.tls_key_file, "tls")) {
      return false;
    }
  }
  if (json_t* u = json_object_get(r, "users")) {
    if (!json_is_object(u)) return rd.Fail("users must be an object of name: password");
    sc.users.clear();
    const char* name;
    json_t* pw;
    json_object_foreach(u, name, pw) {
      if (!json_is_string(pw)) return rd.Fail(std::string("users.") + name + " must be a string");
      sc.users[name] = json_string_value(pw);
    }
  }
  if (json_t* p = json_object_get(r, "permitted_data_types")) {
    if (!json_is_array(p)) return rd.Fail("permitted_data_types must be an array");
    size_t k;
    json_t* v;
    json_array_foreach(p, k, v) {
      if (!json_is_integer(v)) return rd.Fail("permitted_data_types must hold integers");
      sc.permitted_data_types.push_back(static_cast<int>(json_integer_value(v)));
    }
  }
  json_t* nodes = json_object_get(r, "nodes");
  if (!json_is_array(nodes)) return rd.Fail("nodes must be an array");
  size_t i;
  json_t* n;
  json_array_foreach(nodes, i, n) {
    const std::string w = "nodes[" + std::to_string(i) + "]";
    if (!json_is_object(n)) return rd.Fail(w + " must be an object");
    NodeSpec ns;
    if (!rd.IntAs(n, "site_type", &ns.site_type, w, INT32_MIN, INT32_MAX) ||
        !rd.IntAs(n, "priority", &ns.priority, w, INT32_MIN, INT32_MAX) ||
        !rd.Bool(n, "tls", &ns.tls, w) || !rd.IntAs(n, "port", &ns.port, w, 0, 65535)) {
      return false;
    }
    sc.nodes.push_back(ns);
  }
  if (json_t* streams = json_object_get(r, "streams")) {
    if (!json_is_array(streams)) return rd.Fail("streams must be an array");
    json_t* s;
    json_array_foreach(streams, i, s) {
      StreamSpec ss;
      if (!ParseStream(rd, s, i, &ss)) return false;
      sc.streams.push_back(ss);
    }
  }
  if (json_t* f = json_object_get(r, "faults")) {
    if (!ParseFaults(rd, f, &sc.faults)) return false;
  }
  if (json_t* sched = json_object_get(r, "schedule")) {
    if (!json_is_array(sched)) return rd.Fail("schedule must be an array");
    json_t* a;
    json_array_foreach(sched, i, a) {
      ScheduledAction act;
      if (!ParseAction(rd, a, i, &act)) return false;
      sc.schedule.push_back(act);
    }
  }
  *out = std::move(sc);
  return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open scenario file " + path;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (!ParseScenarioJson(ss.str(), out, error)) return false;
  // Relative certificate paths are relative to the scenario file's folder.
  const auto slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  for (std::string* f : {&out->tls_cert_file, &out->tls_key_file}) {
    if (!f->empty() && (*f)[0] != '/' && !dir.empty()) *f = dir + *f;
  }
  return true;
}

}  // namespace sim
}  // namespace qel
