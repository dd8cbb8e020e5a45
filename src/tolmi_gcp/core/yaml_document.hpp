#pragma once

#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// YAML → document: mapping order kept, plain scalars typed by the YAML 1.2 core schema (int,
// float, bool, null), quoted scalars stay text. Refuses more than one document, duplicate or
// non-scalar keys, unclosed quotes, NUL bytes, deep nesting and alias bombs. Throws ConfigError
// naming `name` (the file), line and column.
ResourceDocument parseYamlFile(const std::string& path);
ResourceDocument parseYamlText(const std::string& text, const std::string& name);

}  // namespace tolmi_gcp
