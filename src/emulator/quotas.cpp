#include "emulator/quotas.hpp"

#include <charconv>
#include <string_view>

#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

namespace {

// A positive count, or nullopt.
std::optional<long long> positiveCount(std::string_view text) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

std::string setQuota(const std::string& given, QuotaOptions& quotas) {
  std::size_t equals = given.find('=');
  std::string name = given.substr(0, equals);
  std::optional<long long> count =
      equals == std::string::npos ? std::nullopt : positiveCount(given.substr(equals + 1));
  if (!count) return "expected NAME=N with N a positive whole number";
  if (name == "reads-per-minute")
    quotas.readsPerWindow = count;
  else if (name == "writes-per-minute")
    quotas.writesPerWindow = count;
  else if (name == "routes-per-network")
    quotas.routesPerNetwork = *count;
  else if (name == "peerings-per-network")
    quotas.peeringsPerNetwork = *count;
  else if (name == "static-routes-per-peering-group")
    quotas.staticRoutesPerPeeringGroup = *count;
  else
    return "no quota " + name +
           " (there are routes-per-network, peerings-per-network, "
           "static-routes-per-peering-group, reads-per-minute and writes-per-minute)";
  return "";
}

std::string setQuotaWindow(const std::string& given, QuotaOptions& quotas) {
  const std::string problem = "expected a duration such as 500ms, 60s or 2m, at most a day";
  std::size_t digits = given.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos) return problem;
  std::string unit = given.substr(digits);
  long long scale = unit == "ms" ? 1 : unit == "s" ? 1000 : unit == "m" ? 60000 : 0;
  long long count = positiveCount(std::string_view(given).substr(0, digits)).value_or(0);
  if (scale == 0 || count == 0 || count > 24LL * 3600 * 1000 / scale) return problem;
  quotas.window = std::chrono::milliseconds(count * scale);
  return "";
}

void RateQuotas::take(const std::string& project, bool write) {
  const std::optional<long long>& limit =
      write ? options_.writesPerWindow : options_.readsPerWindow;
  if (!limit) return;
  const std::int64_t window =
      std::chrono::duration_cast<std::chrono::milliseconds>(now_().time_since_epoch()).count() /
      options_.window.count();
  // Windows already over are forgotten.
  for (auto it = used_.begin(); it != used_.end();)
    it = std::get<2>(it->first) < window ? used_.erase(it) : std::next(it);
  long long& used = used_[{project, write, window}];
  if (used >= *limit) {
    const std::string metric = write ? "Write requests" : "Read requests";
    throw ApiError(403, "rateLimitExceeded",
                   "Quota exceeded for quota metric '" + metric + "' and limit '" + metric +
                       " per minute' of service 'compute.googleapis.com' for consumer "
                       "'project_number:" +
                       resourceId(project) + "'.");
  }
  ++used;
}

}  // namespace tolmi_gcp::emulator
