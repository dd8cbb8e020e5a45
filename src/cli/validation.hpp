#pragma once

#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::cli {

struct MigrationCheck {
  std::vector<std::string> problems;  // "key.path: problem", in document order
  // The document without the values refused: a refused member is left out, a refused list item
  // is null, a value refused for not being a list is an empty one; null when the document itself
  // is refused (not a mapping).
  ResourceDocument sound;
};

// Checks a migration document before anything is sent: every key's type and shape, names by the
// API's rules, CIDR ranges, priorities, and keys that nothing reads. Never throws, whatever the
// document holds.
MigrationCheck checkMigration(const ResourceDocument& migration);

// The problems of checkMigration; empty when the document is sound.
std::vector<std::string> validateMigration(const ResourceDocument& migration);

}  // namespace tolmi_gcp::cli
