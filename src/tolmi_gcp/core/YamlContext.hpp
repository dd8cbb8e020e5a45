#pragma once

#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// The migration configuration. One process-wide document, installed with load() or setContext();
// every YamlContext{} reads that document.
class YamlContext {
 public:
  // The top-level value of `key`, or null when absent (or when nothing is loaded).
  ResourceDocument getContext(const std::string& key) const;

  // Parses a YAML file (parseYamlFile) and installs it. Throws ConfigError naming file, line and
  // column.
  static void load(const std::string& path);
  static void setContext(ResourceDocument document);
  static const ResourceDocument& context();
};

}  // namespace tolmi_gcp
