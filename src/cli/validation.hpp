#pragma once

#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::cli {

// Checks a migration document before anything is sent: every key's type and shape, names by the
// API's rules, CIDR ranges, priorities, and keys that nothing reads. Returns one
// "key.path: problem" line per problem, in document order; empty when the document is sound.
// Never throws, whatever the document holds.
std::vector<std::string> validateMigration(const ResourceDocument& migration);

}  // namespace tolmi_gcp::cli
