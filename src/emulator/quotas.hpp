#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "emulator/emulator.hpp"

namespace tolmi_gcp::emulator {

// The API's rate quotas: each project may make so many reads (get, list, operation waits) and so
// many writes per window, counted in windows that start together (the API refills a quota at the
// start of the next minute, not a minute after the first request). Past its quota a request is
// refused with 403 rateLimitExceeded, as the API does, and does not count.
class RateQuotas {
 public:
  RateQuotas(const QuotaOptions& options, Now now) : options_(options), now_(std::move(now)) {}

  // Counts one request of `project`; throws ApiError 403 rateLimitExceeded when its quota for
  // this window is spent.
  void take(const std::string& project, bool write);
  void reset() { used_.clear(); }

 private:
  const QuotaOptions& options_;
  Now now_;
  // (project, write, window) → requests taken.
  std::map<std::tuple<std::string, bool, std::int64_t>, long long> used_;
};

// The command line's "--quota NAME=N" and "--quota-window DURATION": each sets its part of
// `quotas` and returns what is wrong with `given`, or "" when nothing is.
std::string setQuota(const std::string& given, QuotaOptions& quotas);
std::string setQuotaWindow(const std::string& given, QuotaOptions& quotas);

}  // namespace tolmi_gcp::emulator
