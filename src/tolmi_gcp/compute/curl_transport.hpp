#pragma once

#include <memory>

#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp {

struct CurlOptions {
  long connectTimeoutMs = 10'000;
  long totalTimeoutMs = 300'000;          // a globalOperations.wait is held up to two minutes
  std::size_t maxAnswerBytes = 64 << 20;  // a larger answer is refused, not read to the end
};

// HTTPS through one reused libcurl handle (keep-alive), gzip, timeouts, TLS verification always
// on. Not thread-safe: one transport per thread (twin() gives another, on its own connection).
std::shared_ptr<HttpTransport> makeCurlTransport(const CurlOptions& options = {});

}  // namespace tolmi_gcp
