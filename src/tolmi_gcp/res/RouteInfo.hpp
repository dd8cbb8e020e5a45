#pragma once

#include <string>
#include <vector>

namespace tolmi_gcp {

// The destination ranges of routes that lead to GKE peerings, in the order found, duplicates kept.
class RouteInfo {
 public:
  void add_gke_export_routes(const std::string& destRange) { ranges_.push_back(destRange); }
  const std::vector<std::string>& get_gke_export_routes() const { return ranges_; }

 private:
  std::vector<std::string> ranges_;
};

}  // namespace tolmi_gcp
