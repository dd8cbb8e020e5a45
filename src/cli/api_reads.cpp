#include "cli/api_reads.hpp"

#include <algorithm>

#include "tolmi_gcp/compute/read_ahead.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/network_key.hpp"

namespace tolmi_gcp::cli {

std::vector<std::string> segmentsOf(const std::string& link) {
  std::size_t start = link.rfind("projects/", 0) == 0 ? 0 : link.find("/projects/");
  if (start == std::string::npos) throw Error("not a resource link: " + link);
  std::string rest = link.substr(link.find("projects/", start) + 9);
  std::vector<std::string> segments;
  for (std::size_t at = 0; at <= rest.size();) {
    std::size_t end = std::min(rest.find('/', at), rest.size());
    segments.push_back(rest.substr(at, end - at));
    at = end + 1;
  }
  return segments;
}

std::optional<ResourceDocument> readIfExists(const Request& request) {
  try {
    return request.execute();
  } catch (const HttpError& failure) {
    if (failure.status() != 404) throw;
    return std::nullopt;
  }
}

std::vector<Request> subnetworkReads(const ComputeService& api, const ResourceDocument& network) {
  return readsUntilFailure(arrayOrEmpty(network, "subnetworks"),
                           [&](const ResourceDocument& link, std::vector<Request>& reads) {
                             std::vector<std::string> at = segmentsOf(link.get<std::string>());
                             reads.push_back(api.subnetworks().get(at.at(0), at.at(2), at.at(4)));
                           });
}

std::string networkKeyOf(const ResourceDocument& link) {
  if (!link.is_string()) return "";
  try {
    std::vector<std::string> at = segmentsOf(link.get<std::string>());
    if (at.size() == 4 && at[1] == "global" && at[2] == "networks")
      return NetworkKey{at[0], at[3]}.text();
  } catch (const Error&) {
  }
  return "";
}

std::string peeringTo(const ResourceDocument& network, const std::string& peer) {
  for (const ResourceDocument& peering : arrayOrEmpty(network, "peerings"))
    if (networkKeyOf(memberOrNull(peering, "network")) == peer)
      return textOf(memberOrNull(peering, "name"));
  return "";
}

}  // namespace tolmi_gcp::cli
