#include "emulator/call.hpp"

#include <stdexcept>

namespace tolmi_gcp::emulator {

const std::string& Call::param(std::string_view name) const {
  auto it = parameters.find(name);
  // Handlers ask only for what their method's template names.
  if (it == parameters.end())
    throw std::logic_error("no path parameter '" + std::string(name) + "'");
  return it->second;
}

std::optional<std::string> Call::queryParam(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [key, text] : query)
    if (key == name) value = text;
  return value;
}

std::string joined(const std::vector<std::string>& path) {
  std::string out;
  for (const auto& segment : path) out += (out.empty() ? "" : "/") + segment;
  return out;
}

std::string Call::relativeName() const { return joined(path); }

ResourceDocument& Call::scoped(Store::Collection collection, std::string_view scope,
                               std::string_view name) const {
  auto& items = store.project(project()).*collection;
  auto it = items.find(param(scope) + "/" + param(name));
  if (it == items.end()) throwNotFound(relativeName());
  return it->second;
}

}  // namespace tolmi_gcp::emulator
