#include "serve/metrics.h"

#include <algorithm>
#include <cstdio>

Metrics::Metrics()
    : bucket_bounds_{0.05, 0.1, 0.2, 0.3, 0.5, 0.75, 1, 2, 5, 10},
      bucket_counts_(bucket_bounds_.size() + 1),
      connections_refused_{{"client_limit", 0}, {"limit", 0}},
      requests_refused_{{"bad_request", 0}, {"body_limit", 0}, {"budget", 0},
                        {"deadline", 0},    {"header_limit", 0}, {"queue", 0}} {}

void Metrics::request_started() {
  std::lock_guard<std::mutex> hold(lock_);
  ++in_flight_;
}

void Metrics::request_finished(int code, bool started) {
  std::lock_guard<std::mutex> hold(lock_);
  ++requests_by_code_[code];
  if (started) --in_flight_;
}

void Metrics::analysis_finished(const std::string& status, double seconds) {
  std::lock_guard<std::mutex> hold(lock_);
  ++analyses_by_status_[status];
  ++analyses_;
  analysis_seconds_ += seconds;
  const size_t bucket =
      std::lower_bound(bucket_bounds_.begin(), bucket_bounds_.end(), seconds) -
      bucket_bounds_.begin();
  ++bucket_counts_[bucket];
}

void Metrics::set_queue_length(int waiting) {
  std::lock_guard<std::mutex> hold(lock_);
  queue_length_ = waiting;
}

void Metrics::set_open_connections(int open) {
  std::lock_guard<std::mutex> hold(lock_);
  open_connections_ = open;
}

void Metrics::connection_refused(const std::string& reason) {
  std::lock_guard<std::mutex> hold(lock_);
  ++connections_refused_[reason];
}

void Metrics::request_refused(const std::string& reason) {
  std::lock_guard<std::mutex> hold(lock_);
  ++requests_refused_[reason];
}

void Metrics::analysis_dropped() {
  std::lock_guard<std::mutex> hold(lock_);
  ++analyses_dropped_;
}

void Metrics::accept_failed() {
  std::lock_guard<std::mutex> hold(lock_);
  ++accept_errors_;
}

namespace {

// A label value with the three characters Prometheus escapes.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? 'n' : c;
  }
  return out;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

}  // namespace

std::string Metrics::text() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::string out =
      "# HELP faceprobe_requests_total HTTP requests answered, by status code.\n"
      "# TYPE faceprobe_requests_total counter\n";
  for (const auto& [code, count] : requests_by_code_) {
    out += "faceprobe_requests_total{code=\"" + std::to_string(code) + "\"} " +
           std::to_string(count) + "\n";
  }
  out +=
      "# HELP faceprobe_analyses_total Photos analysed, by the analysis's status.\n"
      "# TYPE faceprobe_analyses_total counter\n";
  for (const auto& [status, count] : analyses_by_status_) {
    out += "faceprobe_analyses_total{status=\"" + label(status) + "\"} " +
           std::to_string(count) + "\n";
  }
  out +=
      "# HELP faceprobe_analysis_seconds Time one analysis took.\n"
      "# TYPE faceprobe_analysis_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t i = 0; i < bucket_bounds_.size(); ++i) {
    cumulative += bucket_counts_[i];
    out += "faceprobe_analysis_seconds_bucket{le=\"" + number(bucket_bounds_[i]) + "\"} " +
           std::to_string(cumulative) + "\n";
  }
  out += "faceprobe_analysis_seconds_bucket{le=\"+Inf\"} " + std::to_string(analyses_) + "\n" +
         "faceprobe_analysis_seconds_sum " + number(analysis_seconds_) + "\n" +
         "faceprobe_analysis_seconds_count " + std::to_string(analyses_) + "\n" +
         "# HELP faceprobe_requests_in_flight Requests being handled now.\n"
         "# TYPE faceprobe_requests_in_flight gauge\n"
         "faceprobe_requests_in_flight " + std::to_string(in_flight_) + "\n" +
         "# HELP faceprobe_queue_length Requests waiting for an analysis worker.\n"
         "# TYPE faceprobe_queue_length gauge\n"
         "faceprobe_queue_length " + std::to_string(queue_length_) + "\n" +
         "# HELP faceprobe_open_connections Client connections open now.\n"
         "# TYPE faceprobe_open_connections gauge\n"
         "faceprobe_open_connections " + std::to_string(open_connections_) + "\n" +
         "# HELP faceprobe_connections_refused_total Connections closed as soon as accepted, "
         "by reason.\n"
         "# TYPE faceprobe_connections_refused_total counter\n";
  for (const auto& [reason, count] : connections_refused_) {
    out += "faceprobe_connections_refused_total{reason=\"" + label(reason) + "\"} " +
           std::to_string(count) + "\n";
  }
  out +=
      "# HELP faceprobe_requests_refused_total Requests refused before they were handled, "
      "by reason.\n"
      "# TYPE faceprobe_requests_refused_total counter\n";
  for (const auto& [reason, count] : requests_refused_) {
    out += "faceprobe_requests_refused_total{reason=\"" + label(reason) + "\"} " +
           std::to_string(count) + "\n";
  }
  out += "# HELP faceprobe_analyses_dropped_total Analyses not run: their client left while "
         "they waited.\n"
         "# TYPE faceprobe_analyses_dropped_total counter\n"
         "faceprobe_analyses_dropped_total " + std::to_string(analyses_dropped_) + "\n" +
         "# HELP faceprobe_accept_errors_total Connections the system could not accept "
         "(out of descriptors or memory).\n"
         "# TYPE faceprobe_accept_errors_total counter\n"
         "faceprobe_accept_errors_total " + std::to_string(accept_errors_) + "\n";
  return out;
}
