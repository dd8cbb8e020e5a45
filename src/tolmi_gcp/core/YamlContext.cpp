#include "tolmi_gcp/core/YamlContext.hpp"

#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp {

namespace {

ResourceDocument& installed() {
  static ResourceDocument document;
  return document;
}

}  // namespace

ResourceDocument YamlContext::getContext(const std::string& key) const {
  const ResourceDocument& document = installed();
  if (!document.is_object()) return nullptr;
  auto it = document.find(key);
  return it == document.end() ? ResourceDocument() : *it;
}

void YamlContext::load(const std::string& path) { setContext(parseYamlFile(path)); }

void YamlContext::setContext(ResourceDocument document) { installed() = std::move(document); }

const ResourceDocument& YamlContext::context() { return installed(); }

}  // namespace tolmi_gcp
