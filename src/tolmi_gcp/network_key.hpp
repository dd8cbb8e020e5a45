#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolmi_gcp {

// A network named with its project, written "project::network": the form of a transit vpc_name in
// the configuration and of the revert record's keys.
struct NetworkKey {
  std::string project;
  std::string network;

  std::string text() const { return project + "::" + network; }
  // "project::network", neither part empty; nullopt otherwise. Given `rest`, the key may lead a
  // longer one: what follows its next "::" goes to *rest ("" when nothing follows).
  static std::optional<NetworkKey> parse(std::string_view text, std::string_view* rest = nullptr);
};

}  // namespace tolmi_gcp
