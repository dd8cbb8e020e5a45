#pragma once

#include <chrono>
#include <string>

namespace tolmi_gcp::detail {

// The tries of a read sent before anyone needs its answer (see ReadAhead), as sendWithRetries
// reports them. Nobody waits for them yet: their warnings would land amid whatever is being
// written meanwhile, and once the answer will never be taken, trying on only delays the run.
class TriesAhead {
 public:
  virtual ~TriesAhead() = default;
  // Keeps a "retrying ..." warning until the answer is taken: it is written then, or never.
  virtual void hold(std::string warning) = 0;
  // Waits up to `delay` before the next try; false, at once, when the answer will never be taken.
  virtual bool waitOut(std::chrono::milliseconds delay) = 0;
};

// Writes a retry warning where sendWithRetries writes its own: for one that `hold` kept.
void writeRetryWarning(const std::string& warning);

}  // namespace tolmi_gcp::detail
