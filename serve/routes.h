// What faceprobe-serve answers: POST /analyse with an image file's bytes (or
// a form's photo part), GET /healthz, /readyz and /metrics.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "serve/http_server.h"
#include "serve/metrics.h"
#include "serve/worker_pool.h"

// Everything the routes share; safe to use from every thread at once.
struct Service {
  PhotoLimits limits;
  std::filesystem::path scratch;  // private folder of the uploads being analysed
  Metrics metrics;
  std::unique_ptr<WorkerPool> pool;
  std::function<bool()> draining;  // true once the service stops taking work
};

RequestHandler service_routes(Service& service);
