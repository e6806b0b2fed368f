#include "stats_text.h"

#include <cstdint>
#include <cstdio>
#include <functional>

namespace qel {
namespace cli {

namespace qc = com::quor::kbr::client;

namespace {

struct Metric {
  const char* name;
  const char* type;  // "counter" or "gauge"
  const char* help;
  std::function<double(const qc::SiteTypeStats&)> value;  // a negative value: no sample
};

std::string Number(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string DelayText(double us) {
  if (us < 0) return "-";
  char text[40];
  std::snprintf(text, sizeof text, "%.0f", us);
  return text;
}

// A label value with \, " and line ends escaped as the format requires.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

const std::vector<Metric>& Metrics() {
  static const std::vector<Metric> metrics = {
      {"qel_frames_received_total", "counter", "Market-data frames taken from the datafeed stream.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.frames_received); }},
      {"qel_bytes_received_total", "counter", "Bytes of every frame taken from the datafeed stream, headers included.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.bytes_received); }},
      {"qel_records_decoded_total", "counter", "Records decoded and handed to the callback workers.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.records_decoded); }},
      {"qel_records_delivered_total", "counter", "Records whose OnMarketData callback returned.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.records_delivered); }},
      {"qel_decode_failures_total", "counter", "Frames dropped or cut short and records that did not parse.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.decode_failures); }},
      {"qel_sequence_gaps_total", "counter", "Forward jumps of a channel's frame index.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.gaps); }},
      {"qel_frames_missing_total", "counter", "Frame indexes passed over by the forward jumps.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.frames_missing); }},
      {"qel_duplicates_or_backwards_total", "counter", "Frames whose channel index was repeated or went back.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.duplicates_or_backwards); }},
      {"qel_reader_pauses_total", "counter", "Times reading stopped because decoding or the callbacks lagged.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.reader_pauses); }},
      {"qel_reconnects_total", "counter", "Datafeed logins after the connection's first.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.reconnects); }},
      {"qel_raw_queue_depth", "gauge", "Frames queued for the decode thread.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.raw_queue_depth); }},
      {"qel_raw_queue_high_water", "gauge", "The most frames queued for the decode thread at once.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.raw_queue_high_water); }},
      {"qel_payload_bytes_in_flight", "gauge", "Payload bytes queued for or held by the decode thread.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.payload_bytes_in_flight); }},
      {"qel_decoded_record_bytes_held", "gauge", "Charge of the decoded records not yet released, in bytes.",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.decoded_record_bytes_held); }},
      {"qel_last_frame_timestamp_seconds", "gauge",
       "Unix time of the last market-data frame read (0 before the first).",
       [](const qc::SiteTypeStats& s) { return static_cast<double>(s.last_frame_unix_ns) / 1e9; }},
      {"qel_delay_p50_microseconds", "gauge",
       "Median delay from a frame's send time to the hand-over of its records to the callback workers.",
       [](const qc::SiteTypeStats& s) { return s.delay_p50_us; }},
      {"qel_delay_p99_microseconds", "gauge",
       "99th percentile delay from a frame's send time to the hand-over of its records to the callback workers.",
       [](const qc::SiteTypeStats& s) { return s.delay_p99_us; }},
  };
  return metrics;
}

}  // namespace

std::string StatsLine(const qc::SiteTypeStats& s) {
  auto u = [](uint64_t v) { return std::to_string(v); };
  return "site_type=" + std::to_string(s.site_type) + " state=" + std::to_string(s.connection_state) +
         " node=" + (s.node.empty() ? std::string("-") : s.node) + " frames_received=" + u(s.frames_received) +
         " bytes_received=" + u(s.bytes_received) + " records_decoded=" + u(s.records_decoded) +
         " records_delivered=" + u(s.records_delivered) + " decode_failures=" + u(s.decode_failures) +
         " gaps=" + u(s.gaps) + " frames_missing=" + u(s.frames_missing) +
         " duplicates_or_backwards=" + u(s.duplicates_or_backwards) + " reader_pauses=" + u(s.reader_pauses) +
         " reconnects=" + u(s.reconnects) + " raw_queue_depth=" + u(s.raw_queue_depth) +
         " raw_queue_high_water=" + u(s.raw_queue_high_water) +
         " payload_bytes_in_flight=" + u(s.payload_bytes_in_flight) +
         " decoded_record_bytes_held=" + u(s.decoded_record_bytes_held) +
         " last_frame_unix_ns=" + std::to_string(s.last_frame_unix_ns) + " delay_p50_us=" + DelayText(s.delay_p50_us) +
         " delay_p99_us=" + DelayText(s.delay_p99_us);
}

std::string PrometheusText(const std::vector<qc::SiteTypeStats>& stats) {
  std::string text;
  // The connection state carries the node as a label: it changes with the node.
  text += "# HELP qel_connection_state Datafeed connection state: 0 not connected, 1 connecting, 2 logged in, "
          "3 connect or login failed.\n# TYPE qel_connection_state gauge\n";
  for (const auto& s : stats) {
    text += "qel_connection_state{site_type=\"" + std::to_string(s.site_type) + "\",node=\"" + LabelValue(s.node) +
            "\"} " + std::to_string(s.connection_state) + "\n";
  }
  for (const Metric& m : Metrics()) {
    text += std::string("# HELP ") + m.name + " " + m.help + "\n# TYPE " + m.name + " " + m.type + "\n";
    for (const auto& s : stats) {
      const double v = m.value(s);
      if (v < 0) continue;
      text += std::string(m.name) + "{site_type=\"" + std::to_string(s.site_type) + "\"} " + Number(v) + "\n";
    }
  }
  return text;
}

}  // namespace cli
}  // namespace qel
