#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// A network named with its project, written "project::network": the form of a transit vpc_name in
// the configuration and of the revert record's keys.
struct NetworkKey {
  std::string project;
  std::string network;

  std::string text() const { return project + "::" + network; }
  bool operator==(const NetworkKey&) const = default;
  // "project::network", neither part empty; nullopt otherwise. Given `rest`, the key may lead a
  // longer one: what follows its next "::" goes to *rest ("" when nothing follows).
  static std::optional<NetworkKey> parse(std::string_view text, std::string_view* rest = nullptr);
};

// A transit router, written "project::network::region::router": the key of the revert record's
// router entries.
struct RouterKey {
  NetworkKey network;
  std::string region;
  std::string router;

  std::string text() const { return network.text() + "::" + region + "::" + router; }
  // All four parts, none empty; nullopt otherwise.
  static std::optional<RouterKey> parse(std::string_view text);
};

// The network of a "transit_vpcs" entry of the configuration; nullopt when its "vpc_name" is not
// a network key.
std::optional<NetworkKey> transitNetwork(const ResourceDocument& transit);

// The router of a "cloud_routers" entry of the transit network `network`; nullopt when its
// "region" or "router_name" is not text.
std::optional<RouterKey> transitRouter(const NetworkKey& network, const ResourceDocument& router);

}  // namespace tolmi_gcp
