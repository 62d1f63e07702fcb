#include "service/metrics_text.h"

#include <charconv>
#include <cstdint>

#include "session/session_registry.h"

namespace qm {

namespace {

// Label values come from fixed names; escaping keeps the format valid whatever they are.
std::string LabelValue(const std::string& Text) {
  std::string out;
  for (char c : Text) {
    if (c == '\\' || c == '"')
      out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void Family(std::string& Out, const char* Name, const char* Type, const char* Help) {
  Out += "# HELP ";
  Out += Name;
  Out += ' ';
  Out += Help;
  Out += "\n# TYPE ";
  Out += Name;
  Out += ' ';
  Out += Type;
  Out += '\n';
}

void Sample(std::string& Out, const std::string& Name, std::uint64_t Value) {
  Out += Name + ' ' + std::to_string(Value) + '\n';
}

// The shortest text that reads back as Value, with "." whatever the locale.
std::string Seconds(double Value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, Value);
  return std::string(text, result.ptr);
}

}  // namespace

std::string FormatMetricsText(const TServerMetrics& Metrics,
                              const std::map<std::string, int>& SessionsByEngine) {
  const TServerMetrics::TSnapshot data = Metrics.Snapshot();
  std::string out;

  const std::uint64_t accepted = Metrics.ConnectionsAccepted.load();
  const std::uint64_t closed = Metrics.ConnectionsClosed.load();
  Family(out, "qmsrv_connections_open", "gauge", "Client connections being served.");
  Sample(out, "qmsrv_connections_open", accepted > closed ? accepted - closed : 0);
  Family(out, "qmsrv_connections_accepted_total", "counter", "Client connections served.");
  Sample(out, "qmsrv_connections_accepted_total", accepted);
  Family(out, "qmsrv_connections_refused_total", "counter",
         "Client connections refused, by reason.");
  Sample(out, "qmsrv_connections_refused_total{reason=\"busy\"}", Metrics.RefusedBusy.load());
  Sample(out, "qmsrv_connections_refused_total{reason=\"password\"}",
         Metrics.RefusedPassword.load());
  Sample(out, "qmsrv_connections_refused_total{reason=\"tls_handshake\"}",
         Metrics.RefusedTLS.load());

  Family(out, "qmsrv_sessions_open", "gauge", "Database sessions in the registry, by engine.");
  for (const auto& [engine, count] : SessionsByEngine)
    Sample(out, "qmsrv_sessions_open{engine=\"" + LabelValue(engine) + "\"}",
           static_cast<std::uint64_t>(count));

  Family(out, "qmsrv_requests_total", "counter", "Requests, by command and outcome.");
  for (const auto& [key, count] : data.Requests)
    Sample(out,
           "qmsrv_requests_total{command=\"" + LabelValue(key.first) + "\",outcome=\"" +
               LabelValue(key.second) + "\"}",
           count);

  Family(out, "qmsrv_request_duration_seconds", "histogram",
         "Time from a data command's request read to its reply sent.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < data.DurationBuckets.size(); ++i) {
    cumulative += data.DurationBuckets[i];
    const std::string bound = i < TServerMetrics::kDurationBounds.size()
                                  ? Seconds(TServerMetrics::kDurationBounds[i])
                                  : std::string("+Inf");
    Sample(out, "qmsrv_request_duration_seconds_bucket{le=\"" + bound + "\"}", cumulative);
  }
  out += "qmsrv_request_duration_seconds_sum " + Seconds(data.DurationSum) + '\n';
  Sample(out, "qmsrv_request_duration_seconds_count", cumulative);

  Family(out, "qmsrv_received_bytes_total", "counter", "Bytes read from client connections.");
  Sample(out, "qmsrv_received_bytes_total", Metrics.BytesReceived.load());
  Family(out, "qmsrv_sent_bytes_total", "counter", "Bytes written to client connections.");
  Sample(out, "qmsrv_sent_bytes_total", Metrics.BytesSent.load());
  Family(out, "qmsrv_result_block_bytes_total", "counter",
         "Result-block bytes before (raw) and after (compressed) compression.");
  Sample(out, "qmsrv_result_block_bytes_total{stage=\"raw\"}", Metrics.BlockBytesRaw.load());
  Sample(out, "qmsrv_result_block_bytes_total{stage=\"compressed\"}",
         Metrics.BlockBytesCompressed.load());

  Family(out, "qmsrv_database_connects_failed_total", "counter",
         "Database connects that failed, by engine.");
  for (const auto& [engine, count] : data.ConnectsFailed)
    Sample(out, "qmsrv_database_connects_failed_total{engine=\"" + LabelValue(engine) + "\"}",
           count);
  return out;
}

std::map<std::string, int> CountSessionsByEngine() {
  std::map<std::string, int> counts;
  TqmdConnections& sessions = TqmdConnections::Instance();
  TLockGuard lock(sessions.Lock());
  for (const TqmdConnectionPtr& session : sessions.EnumItems())
    if (TmncSQLConnection* connection = session->Connection())
      ++counts[connection->EngineName()];
  return counts;
}

}  // namespace qm
