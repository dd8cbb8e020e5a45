#pragma once

#include <chrono>
#include <functional>

namespace tolmi_gcp {

// When and how often a request is sent again. Reads and operation waits are retried on 408, 429,
// 500, 502, 503, 504 and transport errors; changes carry a fresh requestId and are retried only
// with that same id (so the API does the work once), also on the 400 answers that say the
// resource or its network is busy with another operation. An endpoint that refuses the
// connection, has no address or fails TLS before it ever answered is not retried: it is the wrong
// endpoint, not a passing fault.
struct RetryPolicy {
  bool enabled = false;
  std::chrono::milliseconds initialBackoff{1000};
  std::chrono::milliseconds maxBackoff{32000};
  std::chrono::milliseconds totalLimit{300000};          // per request, all tries together
  std::function<void(std::chrono::milliseconds)> sleep;  // default: sleeps the thread
  std::function<double()> random;                        // in [0, 1); default: a PRNG

  static RetryPolicy standard();  // enabled, with the defaults above
  static RetryPolicy none();      // every request is sent once

  // This policy with its backoffs and total limit multiplied by `fraction`, none below 1 ms: a
  // rehearsal or a test plays faults through in seconds rather than minutes.
  RetryPolicy scaled(double fraction) const;
};

}  // namespace tolmi_gcp
