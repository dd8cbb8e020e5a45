#pragma once

// Internal to the library; public here only for the benchmarks.

#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::routes {

// The name a created route gets unless its "add" entry names it: "tvn-" and the lower-case hex MD5
// of project, vpc, the entry's "cidr", "zone", "dest_instance" and priority text, joined. The same
// entry gives the same name on every run. Throws MissingKeyError or ArgumentTypeError for an entry
// without those keys or with values of the wrong type.
std::string generatedRouteName(const std::string& project, const std::string& vpc,
                               const ResourceDocument& entry);

}  // namespace tolmi_gcp::routes
