#include "tolmi_gcp/network_key.hpp"

namespace tolmi_gcp {

std::optional<NetworkKey> NetworkKey::parse(std::string_view text, std::string_view* rest) {
  std::size_t separator = text.find("::");
  if (separator == std::string_view::npos || separator == 0) return std::nullopt;
  std::string_view network = text.substr(separator + 2);
  std::size_t end = network.find("::");
  if (end != std::string_view::npos && !rest) return std::nullopt;
  if (rest) *rest = end == std::string_view::npos ? "" : network.substr(end + 2);
  network = network.substr(0, end);
  if (network.empty()) return std::nullopt;
  return NetworkKey{std::string(text.substr(0, separator)), std::string(network)};
}

std::optional<RouterKey> RouterKey::parse(std::string_view text) {
  std::string_view rest;
  std::optional<NetworkKey> network = NetworkKey::parse(text, &rest);
  std::size_t separator = rest.find("::");
  if (!network || separator == 0 || separator == std::string_view::npos) return std::nullopt;
  std::string_view router = rest.substr(separator + 2);
  if (router.empty() || router.find("::") != std::string_view::npos) return std::nullopt;
  return RouterKey{*network, std::string(rest.substr(0, separator)), std::string(router)};
}

std::optional<NetworkKey> transitNetwork(const ResourceDocument& transit) {
  const ResourceDocument& name = memberOrNull(transit, "vpc_name");
  if (!name.is_string()) return std::nullopt;
  return NetworkKey::parse(name.get_ref<const std::string&>());
}

std::optional<RouterKey> transitRouter(const NetworkKey& network, const ResourceDocument& router) {
  const ResourceDocument& region = memberOrNull(router, "region");
  const ResourceDocument& name = memberOrNull(router, "router_name");
  if (!region.is_string() || !name.is_string()) return std::nullopt;
  return RouterKey{network, region.get<std::string>(), name.get<std::string>()};
}

}  // namespace tolmi_gcp
