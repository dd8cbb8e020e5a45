#include "emulator/quotas.hpp"

#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

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
