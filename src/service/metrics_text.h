#pragma once

// The server's figures in the Prometheus text exposition format (version 0.0.4), as served on
// GET /metrics.

#include <map>
#include <string>

#include "support/metrics.h"

namespace qm {

// Counters from Metrics; SessionsByEngine is the gauge of open sessions per engine.
std::string FormatMetricsText(const TServerMetrics& Metrics,
                              const std::map<std::string, int>& SessionsByEngine);

// The open sessions of the process-wide registry, counted by their engine's name.
std::map<std::string, int> CountSessionsByEngine();

}  // namespace qm
