#include "serve/metrics.h"

#include <algorithm>
#include <cstdio>

Metrics::Metrics()
    : bucket_bounds_{0.05, 0.1, 0.2, 0.3, 0.5, 0.75, 1, 2, 5, 10},
      bucket_counts_(bucket_bounds_.size() + 1),
      connections_refused_{{"client_limit", 0}, {"limit", 0}},
      requests_refused_{{"bad_request", 0}, {"body_limit", 0}, {"budget", 0},
                        {"deadline", 0},    {"format", 0}, {"header_limit", 0}, {"queue", 0}} {}

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

// One metric's HELP and TYPE lines.
std::string header(const std::string& name, const std::string& type, const std::string& help) {
  return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// A counter with one label, a series per value.
std::string labelled(const std::string& name, const std::string& key, const std::string& help,
                     const std::map<std::string, uint64_t>& counts) {
  std::string out = header(name, "counter", help);
  for (const auto& [value, count] : counts) {
    out += name + "{" + key + "=\"" + label(value) + "\"} " + std::to_string(count) + "\n";
  }
  return out;
}

std::string single(const std::string& name, const std::string& type, const std::string& help,
                   const std::string& value) {
  return header(name, type, help) + name + " " + value + "\n";
}

}  // namespace

std::string Metrics::text() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::map<std::string, uint64_t> by_code;
  for (const auto& [code, count] : requests_by_code_) by_code[std::to_string(code)] = count;
  std::string out =
      labelled("faceprobe_requests_total", "code", "HTTP requests answered, by status code.",
               by_code) +
      labelled("faceprobe_analyses_total", "status", "Photos analysed, by the analysis's status.",
               analyses_by_status_) +
      header("faceprobe_analysis_seconds", "histogram", "Time one analysis took.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < bucket_bounds_.size(); ++i) {
    cumulative += bucket_counts_[i];
    out += "faceprobe_analysis_seconds_bucket{le=\"" + number(bucket_bounds_[i]) + "\"} " +
           std::to_string(cumulative) + "\n";
  }
  out += "faceprobe_analysis_seconds_bucket{le=\"+Inf\"} " + std::to_string(analyses_) + "\n" +
         "faceprobe_analysis_seconds_sum " + number(analysis_seconds_) + "\n" +
         "faceprobe_analysis_seconds_count " + std::to_string(analyses_) + "\n" +
         single("faceprobe_requests_in_flight", "gauge", "Requests being handled now.",
                std::to_string(in_flight_)) +
         single("faceprobe_queue_length", "gauge", "Requests waiting for an analysis worker.",
                std::to_string(queue_length_)) +
         single("faceprobe_open_connections", "gauge", "Client connections open now.",
                std::to_string(open_connections_)) +
         labelled("faceprobe_connections_refused_total", "reason",
                  "Connections closed as soon as accepted, by reason.", connections_refused_) +
         labelled("faceprobe_requests_refused_total", "reason",
                  "Requests refused before they were handled, by reason.", requests_refused_) +
         single("faceprobe_analyses_dropped_total", "counter",
                "Analyses not run: their client left while they waited.",
                std::to_string(analyses_dropped_)) +
         single("faceprobe_accept_errors_total", "counter",
                "Connections the system could not accept (out of descriptors or memory).",
                std::to_string(accept_errors_));
  return out;
}
