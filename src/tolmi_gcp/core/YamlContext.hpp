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

  // Parses a YAML file and installs it. Throws ConfigError naming file, line and column.
  static void load(const std::string& path);
  static void setContext(ResourceDocument document);
  static const ResourceDocument& context();

  // YAML → document: mapping order kept, plain scalars typed by the YAML 1.2 core schema (int,
  // float, bool, null), quoted scalars stay text. Throws ConfigError naming `name`, line, column.
  static ResourceDocument parseFile(const std::string& path);
  static ResourceDocument parseText(const std::string& text, const std::string& name);
};

}  // namespace tolmi_gcp
