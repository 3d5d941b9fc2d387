// The service's counters, exported in Prometheus's text format.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class Metrics {
 public:
  Metrics();
  void request_started();
  // A request answered with `code`; `started` says whether request_started()
  // was called for it (a request refused while its headers were read is not).
  void request_finished(int code, bool started);
  void analysis_finished(const std::string& status, double seconds);
  // Requests waiting for an analysis worker, as the worker pool reports them.
  void set_queue_length(int waiting);
  void set_open_connections(int open);
  // A connection closed as soon as accepted: "limit", "client_limit".
  void connection_refused(const std::string& reason);
  // A request refused before it was handled: "deadline", "header_limit",
  // "body_limit", "budget", "queue", "bad_request".
  void request_refused(const std::string& reason);
  // An analysis not run because its client left while it waited.
  void analysis_dropped();
  void accept_failed();
  std::string text() const;

 private:
  mutable std::mutex lock_;
  std::map<int, uint64_t> requests_by_code_;
  std::map<std::string, uint64_t> analyses_by_status_;
  std::vector<double> bucket_bounds_;
  std::vector<uint64_t> bucket_counts_;  // per bound, not cumulative
  uint64_t analyses_ = 0;
  double analysis_seconds_ = 0;
  int in_flight_ = 0;
  int queue_length_ = 0;
  int open_connections_ = 0;
  std::map<std::string, uint64_t> connections_refused_;
  std::map<std::string, uint64_t> requests_refused_;
  uint64_t analyses_dropped_ = 0;
  uint64_t accept_errors_ = 0;
};
