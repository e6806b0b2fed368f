// In-process market-data feed simulator: a discovery service and any number of
// datafeed nodes on 127.0.0.1, driven by a Scenario and controllable at run
// time, so that tests can exercise the client library against the other end of
// the wire and compare what was sent with what was delivered.
//
// Thread-safety: every public member of FeedSimulator may be called from any
// thread, concurrently. The simulator runs its own event-loop threads (one for
// the discovery service, one per site type); control calls are handed to the
// owning loop thread and, where they say so, wait until it has applied them.
//
// Wire contract kept by the simulator (its own framing code, independent of the
// client's codec):
//  * Every frame: 12-byte header (int8 version 1, int8 protocol 1, int16 flags,
//    int32 metaLength, int32 payloadLength; little-endian), MetaData, payload.
//  * Responses it sends (login, subscribe, heartbeat): payload = int32 bare body
//    length, then the body; payloadLength = body length + 4.
//  * Requests it accepts: payload = int32 prefix, then the body; the body is the
//    payloadLength - 4 bytes behind the prefix (the prefix may count itself).
//  * Market data: SysMessageType PUSH_MARKET_DATA, MetaData.QELDataType =
//    stream data type, ChannelNo = channel, ChannelIndex = per-channel frame
//    sequence (1, 2, 3 ... on each connection), QELSysMessageNum = number of
//    records. Payload = records, each int32 length + serialised MarketData; with
//    flag 0x4000 the payload is int32 decompressed length + one LZ4 block.
//
// Per-channel record sequence: on every connection and channel, records are
// numbered 1, 2, 3 ... in send order (across all streams that share the
// channel). The number is carried in the record field named by
// SequenceFieldName(record_kind) and read back by RecordSequence():
//    QELStock, QELBond, QELFund, QELIndex, QELOption, QELWarrant, QELKLine and
//    their MD twins, QELOrderbook .................................. NumTrades
//      (MDIndex.NumTrades is a double; values below 2^53 are exact)
//    QELOrder, MDOrder, QELTrade, MDTrade .......................... ApplSeqNum
//    QELFuture, MDFuture ...................................... TotalVolumeTrade
//    QELIopv ............................................................ Iopv
// Every record also has MarketData.QELMessageChannel = its channel,
// MarketData.QELRecordType and <record>.QELRecordType = the stream's
// record_type, <record>.QELDataType = the stream's data type and
// <record>.QELSecurityID / SecurityID = the security. A stream with send_stamp
// set also writes the send time (nanoseconds of the chosen clock) into
// <record>.HighPrecisionTimestamp1; RecordSendStamp() reads it back.
#ifndef QEL_TOOLS_FEED_SIM_FEED_SIM_H
#define QEL_TOOLS_FEED_SIM_FEED_SIM_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace com {
namespace quor {
namespace qel {
namespace model {
class MarketData;
}  // namespace model
}  // namespace qel
}  // namespace quor
}  // namespace com

namespace qel {
namespace sim {

// Which MarketData field a stream fills (the envelope's field number).
enum RecordKind : int {
  kQELStock = 3, kQELBond = 4, kQELFund = 5, kQELIndex = 6, kQELOption = 7,
  kQELOrder = 8, kQELTrade = 9, kQELIopv = 10, kQELFuture = 11,
  kQELOrderbook = 12, kQELWarrant = 13, kQELKLine = 14,
  kMDStock = 20, kMDBond = 21, kMDFund = 22, kMDIndex = 23, kMDOption = 24,
  kMDOrder = 25, kMDTrade = 26, kMDFuture = 27, kMDWarrant = 28, kMDKLine = 29,
};

// All 22 record kinds, in field-number order.
const std::vector<int>& AllRecordKinds();
// True for a field number of MarketData that holds a record.
bool IsValidRecordKind(int record_kind);
// Field name ("QELStock", "MDTrade" ...) of a record kind; empty if invalid.
std::string RecordKindName(int record_kind);
// Inverse of RecordKindName; 0 if unknown.
int RecordKindFromName(const std::string& name);
// Name of the record field that carries the per-channel record sequence.
std::string SequenceFieldName(int record_kind);
// Name of the int64 record field that carries the send stamp; every record
// kind that has it uses the same name.
constexpr const char* kStampFieldName = "HighPrecisionTimestamp1";
// The send stamp of a record built by a stream with send_stamp set; -1 when
// the envelope holds no record or the record has no stamp field.
int64_t RecordSendStamp(const com::quor::qel::model::MarketData& record);
// The per-channel record sequence of a record built by the simulator; -1 when
// the envelope holds no record.
int64_t RecordSequence(const com::quor::qel::model::MarketData& record);
// The record kind set in an envelope (its lowest set record field); 0 if none.
int RecordKindOf(const com::quor::qel::model::MarketData& record);

// Per-connection bounds on what a client can make the simulator hold.
// Security ids and whole data types one connection may have subscribed; a
// request that would pass either is refused with an error answer.
constexpr int kMaxSubscribedIds = 4096;
constexpr int kMaxSubscribedTypes = 1024;
// Output queued for one connection (kernel buffers not counted). Market data
// stops being produced at 512 KiB and overshoots by at most one frame; an
// answer that would take the queue past this bound closes the connection
// instead (a client that sends requests and never reads).
constexpr size_t kMaxQueuedOutput = 512 * 1024 + 12 + 2 * 65535;  // high mark + largest frame

// One datafeed node: its own listener on 127.0.0.1.
struct NodeSpec {
  int site_type = 1;
  int priority = 100;   // higher is tried first by the client
  bool tls = false;     // the node speaks TLS and announces isSsl true
  uint16_t port = 0;    // 0 = ephemeral, chosen at Start and kept across restarts
};

// A certificate chain and its key (PEM files).
struct TlsFiles {
  std::string cert_file;
  std::string key_file;
};

// One market-data stream, pushed on every logged-in connection of its site
// type, restricted to what the connection subscribed to.
struct StreamSpec {
  int site_type = 1;
  int data_type = 1;              // MetaData.QELDataType and subscription key
  int record_kind = kQELStock;    // see RecordKind
  int record_type = 0;            // QELRecordType; 0 = use record_kind
  // Security i is published on channel channels[i % channels.size()].
  std::vector<int64_t> channels{1};
  std::vector<std::string> security_ids{"600000.SH"};
  double rate_per_sec = 0;        // records/s per connection; 0 = as fast as the socket takes
  int batch = 50;                 // records per frame (fewer if 60,000 bytes are reached)
  bool lz4 = false;               // compress the payload, set header flag 0x4000
  int64_t max_records = 0;        // stop this stream after this many records per connection; 0 = no limit
  // Levels of the price and quantity queues of snapshot records.
  int queue_levels = 5;
  // Opt-in send stamp: when not kNone, every record carries the nanoseconds of
  // this clock read as its frame is written, in the field named by
  // kStampFieldName (HighPrecisionTimestamp1); record kinds
  // without that field cannot carry a stamp (Start fails).
  enum class SendStamp : int { kNone = 0, kRealtime = 1, kMonotonic = 2 };
  SendStamp send_stamp = SendStamp::kNone;
};

// Reads the clock a stream's send stamp uses (nanoseconds); -1 for kNone.
int64_t SendStampNow(StreamSpec::SendStamp clock);

// Malformed frames the simulator can send.
enum class Malformed : int {
  kMetaTooLong = 1,       // header metaLength 65,536 (above 65,535)
  kPayloadTooLong = 2,    // header payloadLength 70,000
  kNegativeLength = 3,    // header payloadLength -8
  kGarbageMeta = 4,       // metadata bytes that do not parse as MetaData
  kTruncatedRecord = 5,   // last record's length prefix claims more than is left
  kCorruptLz4 = 6,        // compressed flag set, LZ4 block is garbage
  kUnknownMessageType = 7,  // MetaData parses; SysMessageType 99, which no one defines
  kNoMessageType = 8,     // MetaData parses and names no type (UNKNOWN_MESSAGE_TYPE)
  // Market data of three records, all framed right; the middle one does not
  // parse as MarketData, the other two are envelopes holding only their channel.
  kUndecodableRecord = 9,
  // Sound market data whose MetaData carries a TraceID no request of the
  // client's had (market data carries none).
  kForeignTraceId = 10,
};

// Faults; all default to "behave". May be replaced at any time through
// FeedSimulator::SetFaults, and take effect on the next event they concern
// (new connections and connections already open alike).
struct Faults {
  bool refuse_discovery_login = false;   // LOGIN_RESPONSE isSuccess false even with the right password
  bool refuse_datafeed_login = false;    // token logins refused
  bool wrong_trace_id_discovery = false; // LOGIN_RESPONSE echoes another TraceID
  bool wrong_trace_id_datafeed = false;  // datafeed LOGIN/SUBSCRIBE_RESPONSE echo another TraceID
  bool no_heartbeat_response = false;    // HEARTBEAT_REQUEST ignored
  bool refuse_subscribe = false;         // SUBSCRIBE_RESPONSE isSuccess false, subscription unchanged
  bool no_subscribe_response = false;    // SUBSCRIBE_REQUEST read and never answered; data flows on
  bool no_discovery_response = false;    // discovery reads the login and never answers
  bool no_datafeed_login_response = false;  // token logins read and never answered
  bool refuse_query_login = false;       // query service refuses every login
  bool no_query_response = false;        // query service reads requests (login included), never answers
  // Close a datafeed connection once it has sent this many frames of any kind
  // (0 = never).
  int64_t close_after_frames = 0;
  // Close a datafeed connection this long after its login succeeded (0 = never).
  int64_t close_after_ms = 0;
  // Write every outgoing frame in chunks of this many bytes, each written only
  // once the previous one has left the socket buffer (0 = whole frames).
  int split_write_bytes = 0;
  // Pause between split chunks (microseconds; 0 = next loop turn).
  int split_delay_us = 0;
  // After this many market-data frames on a connection, send one frame of the
  // given kind in place of the next market-data frame (0 = never).
  int64_t malformed_after_frames = 0;
  Malformed malformed_kind = Malformed::kGarbageMeta;
  // After every market-data frame, this many heartbeat frames nobody asked
  // for: HEARTBEAT_RESPONSE, or HEARTBEAT_REQUEST when unasked_heartbeat_requests
  // is set (0 = none).
  int unasked_heartbeats_per_frame = 0;
  bool unasked_heartbeat_requests = false;
  // Sequence faults, counted per connection and channel: every Nth
  // market-data frame of a channel first skips skip_index_count indexes (its
  // ChannelIndex is the last one plus skip_index_count + 1), and every Nth
  // frame (never a channel's first) repeats the last index sent on the
  // channel. A frame due for both repeats. 0 = never.
  int64_t skip_index_every = 0;
  int64_t skip_index_count = 1;
  int64_t repeat_index_every = 0;
  // When > 0, the faults above concern only the datafeed connections of this
  // site type; those of other site types behave. Discovery faults apply
  // whatever it is.
  int only_site_type = 0;

  // Slow peers (discovery and query services). A trickled connection sends
  // everything, the TLS handshake included, one byte per this many
  // milliseconds (0 = at full speed); the discovery service reads it when it
  // accepts a connection, the query service before every byte it sends.
  int trickle_discovery_ms = 0;
  int trickle_query_ms = 0;
  // The query service answers every request with an endless run of frames
  // of a type no request asked for (one every few milliseconds), never with
  // the answer.
  bool flood_query_other_frames = false;
};

// A control action the command-line program applies at a set time after its
// start (tests call the FeedSimulator members directly, or RunAction).
struct ScheduledAction {
  enum class Kind {
    kStopNode, kRestartNode, kStopDiscovery, kRestartDiscovery,
    kCloseConnections, kSendMalformed, kSetFaults,
  };
  int64_t at_ms = 0;
  Kind kind = Kind::kCloseConnections;
  int node_index = 0;          // stop/restart node
  int site_type = -1;          // close/malformed; -1 = every site type
  Malformed malformed = Malformed::kGarbageMeta;
  Faults faults;               // set_faults: replaces every fault
};

struct Scenario {
  std::map<std::string, std::string> users{{"demo", "demo123"}};  // name -> clear password
  std::vector<NodeSpec> nodes;
  std::vector<StreamSpec> streams;
  std::string bind_ip = "127.0.0.1";
  uint16_t discovery_port = 0;   // 0 = ephemeral
  bool discovery_tls = false;
  // Financial-information query service (query_service.h); off unless enabled.
  bool query_enabled = false;
  uint16_t query_port = 0;       // 0 = ephemeral
  bool query_tls = false;
  std::string query_reference_file;  // empty = the repository's reference_data.json
  std::string tls_cert_file;     // PEM; needed when any listener uses TLS
  std::string tls_key_file;
  // Nodes (index into nodes) whose TLS listener shows its own certificate
  // instead of the one above.
  std::map<int, TlsFiles> node_tls;
  // Data types granted in SUBSCRIBE_RESPONSE.permittedDataTypes; data of any
  // other type is never sent. Empty = every type is permitted.
  std::vector<int> permitted_data_types;
  Faults faults;
  // Period of the token refill of rate-paced streams (microseconds): each
  // refill lets out what accrued since the last one, so a shorter period
  // spreads a stream's frames more evenly. The loop's timers are
  // millisecond-grained, so periods below 1000 act as about 1000.
  int pace_tick_us = 10000;
  // The most a rate-paced stream lets out at once after its loop fell behind
  // (milliseconds of its rate, at least one batch). The default, a second,
  // catches up on a stall; a latency measurement at a fixed rate sets a few
  // milliseconds, so that a stall of the simulator's own thread does not
  // become a burst queued in front of the client.
  int pace_max_backlog_ms = 1000;
  std::vector<ScheduledAction> schedule;  // in any order; run by the program
  // Where the simulator's log lines go: one whole line per call, no line end,
  // called on the loop threads (several at once: it must be thread-safe);
  // empty = standard error.
  std::function<void(const std::string&)> log;
};

// Parses a scenario from JSON text / a file. On failure returns false and puts
// a one-line reason in *error. Format: tools/feed_sim/scenarios/default.json.
bool ParseScenarioJson(const std::string& text, Scenario* out, std::string* error);
bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);

// Per-channel counters of one connection.
struct ChannelStats {
  int64_t frames = 0;          // market-data frames sent on the channel
  int64_t records = 0;         // records sent on the channel
  int64_t last_frame_index = 0;  // last ChannelIndex sent
  int64_t last_record_seq = 0;   // last record sequence sent
  int64_t index_jumps = 0;       // frames sent after skipped indexes (skip_index_every)
  int64_t indexes_skipped = 0;   // indexes never sent because of those jumps
  int64_t indexes_repeated = 0;  // frames that repeated the previous index (repeat_index_every)
};

// One SUBSCRIBE_REQUEST as a datafeed connection received it (accepted or
// not): the action number and both request lists, in wire order.
struct ReceivedSubscribe {
  int action = 0;                  // ESubscribeActionType number as sent
  std::vector<int> data_types;     // subscribeByDataType.qelDataTypes
  // subscribeById details: (qelDataType, quorSecurityId list)
  std::vector<std::pair<int, std::vector<std::string>>> id_details;
};

// How many received subscribe requests a connection keeps (the latest ones).
constexpr size_t kMaxRecordedSubscribes = 64;

// Snapshot of one connection (datafeed or discovery), kept after it closed.
struct ConnectionStats {
  uint64_t id = 0;             // unique per simulator, in accept order
  bool discovery = false;
  int site_type = 0;           // datafeed only
  int node_index = -1;         // index into Scenario::nodes; -1 for discovery
  bool tls = false;
  bool open = true;
  bool logged_in = false;
  std::string user;
  int64_t frames_received = 0;
  int64_t frames_sent = 0;     // every frame, responses and malformed ones included
  int64_t md_frames_sent = 0;  // market-data frames (well-formed)
  int64_t records_sent = 0;    // sum over channels
  int64_t bytes_sent = 0;
  int64_t login_requests = 0;
  int64_t logins_ok = 0;
  int64_t logins_refused = 0;
  int64_t heartbeats_received = 0;
  int64_t heartbeats_answered = 0;
  int64_t subscribe_requests = 0;
  int64_t subscribes_refused = 0;
  // The latest kMaxRecordedSubscribes requests that parsed, oldest first.
  std::vector<ReceivedSubscribe> subscribes_received;
  int64_t malformed_sent = 0;
  // Records sent before the first malformed frame (-1 while none was sent):
  // everything a reader that stops at a broken frame could have read.
  int64_t records_before_malformed = -1;
  int64_t unasked_heartbeats_sent = 0;
  int64_t protocol_errors = 0; // bad frames received from the client
  int64_t subscribed_ids = 0;   // security ids in force now
  int64_t subscribed_types = 0; // whole data types in force now
  bool closed_over_output_limit = false;  // closed for answers it did not read
  std::map<int64_t, ChannelStats> channels;
};

struct SimulatorStats {
  std::vector<ConnectionStats> connections;  // in id order
  int64_t discovery_logins_ok = 0;
  int64_t discovery_logins_refused = 0;
  int64_t datafeed_logins_ok = 0;
  int64_t datafeed_logins_refused = 0;
  int64_t records_sent = 0;    // all connections
  int64_t md_frames_sent = 0;
  int64_t heartbeats_answered = 0;
  int64_t subscribe_requests = 0;
  int64_t open_datafeed_connections = 0;
};

class SimulatorImpl;

// The simulator. Owns its loop threads, listeners and connections.
// Called from any thread (tests, the CLI's main thread).
class FeedSimulator {
 public:
  explicit FeedSimulator(Scenario scenario);
  ~FeedSimulator();  // Stop()
  FeedSimulator(const FeedSimulator&) = delete;
  FeedSimulator& operator=(const FeedSimulator&) = delete;

  // Creates the loops, the TLS context and every listener. False (with a
  // reason in LastError) if a listener cannot bind or TLS cannot be set up.
  bool Start();
  // Closes every connection and listener and joins the loop threads.
  void Stop();
  std::string LastError() const;

  const Scenario& scenario() const;
  uint16_t DiscoveryPort() const;
  // Port of the query service; 0 when it is not enabled.
  uint16_t QueryPort() const;
  // Port of the idx-th node of a site type (in Scenario::nodes order), or of
  // Scenario::nodes[node_index]; 0 if there is no such node.
  uint16_t NodePort(int site_type, int idx) const;
  uint16_t NodePortByIndex(int node_index) const;
  // node_index of the idx-th node of a site type, -1 if none.
  int NodeIndex(int site_type, int idx) const;

  // Listener control; these wait until applied. Stopping closes the listener
  // and every open connection of it; restarting listens on the same port.
  bool StopNode(int node_index);
  bool RestartNode(int node_index);
  bool StopDiscovery();
  bool RestartDiscovery();
  // Closes every open datafeed connection of a site type (all site types when
  // site_type < 0), at once. Returns how many were closed.
  int CloseDatafeedConnections(int site_type = -1);
  // Sends one malformed frame on every open logged-in datafeed connection of a
  // site type (all when < 0). Returns how many were sent.
  int SendMalformed(Malformed kind, int site_type = -1);

  // Applies one scheduled action now; false if it names no such node.
  bool RunAction(const ScheduledAction& action);

  // Faults, applied from the next event on.
  void SetFaults(const Faults& faults);
  Faults GetFaults() const;
  // Replaces one user's password (adds the user if new).
  void SetUser(const std::string& name, const std::string& password);
  // Issues a datafeed token for a user without a discovery login.
  std::string IssueToken(const std::string& user);
  // Forgets every issued token: later token logins are refused.
  void RevokeTokens();
  void SetPermittedDataTypes(const std::vector<int>& types);

  // Statistics.
  SimulatorStats Stats() const;
  // Polls Stats() every few milliseconds until pred is true or the timeout
  // passes; returns the last value of pred.
  bool WaitFor(const std::function<bool(const SimulatorStats&)>& pred,
               std::chrono::milliseconds timeout) const;
  bool WaitForDatafeedLogins(int64_t n, std::chrono::milliseconds timeout) const;
  bool WaitForRecords(int64_t n, std::chrono::milliseconds timeout) const;

 private:
  std::unique_ptr<SimulatorImpl> m_impl;
};

}  // namespace sim
}  // namespace qel

#endif  // QEL_TOOLS_FEED_SIM_FEED_SIM_H
