#include "service/metrics_text.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

bool Has(const std::string& Text, const std::string& Line) {
  return Text.find("\n" + Line + "\n") != std::string::npos;
}

// The exposition a scraper reads: every family typed, counters as counted, the histogram's
// buckets cumulative up to +Inf with a count equal to the requests timed.
TEST(MetricsTextTest, CountersAndHistogramInPrometheusForm) {
  TServerMetrics metrics;
  metrics.ConnectionsAccepted = 5;
  metrics.ConnectionsClosed = 3;
  metrics.RefusedBusy = 2;
  metrics.BytesReceived = 100;
  metrics.BlockBytesRaw = 4000;
  metrics.BlockBytesCompressed = 300;
  metrics.CountRequest("ExecuteSQL", "ok", 0.0005);
  metrics.CountRequest("ExecuteSQL", "ok", 0.02);
  metrics.CountRequest("ExecuteSQL", "error", 7.0);
  metrics.CountConnectFailed("PostgreSQL");
  const std::string text = FormatMetricsText(metrics, {{"SQLite", 2}});

  EXPECT_TRUE(Has(text, "# TYPE qmsrv_connections_open gauge")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_connections_open 2")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_connections_refused_total{reason=\"busy\"} 2")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_connections_refused_total{reason=\"password\"} 0")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_sessions_open{engine=\"SQLite\"} 2")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_requests_total{command=\"ExecuteSQL\",outcome=\"ok\"} 2")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_requests_total{command=\"ExecuteSQL\",outcome=\"error\"} 1"))
      << text;
  EXPECT_TRUE(Has(text, "qmsrv_request_duration_seconds_bucket{le=\"0.001\"} 1")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_request_duration_seconds_bucket{le=\"0.025\"} 2")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_request_duration_seconds_bucket{le=\"5\"} 2")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_request_duration_seconds_bucket{le=\"+Inf\"} 3")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_request_duration_seconds_count 3")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_received_bytes_total 100")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_result_block_bytes_total{stage=\"compressed\"} 300")) << text;
  EXPECT_TRUE(Has(text, "qmsrv_database_connects_failed_total{engine=\"PostgreSQL\"} 1")) << text;
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace qm
