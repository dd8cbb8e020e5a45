#pragma once

#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::routes {

// The name a created route gets unless its "add" entry names it: "tvn-" and the lower-case hex MD5
// of project, vpc, the entry's "cidr", "zone", "dest_instance" and priority text, joined. The same
// entry gives the same name on every run. Throws MissingKeyError or ArgumentTypeError for an entry
// without those keys or with values of the wrong type.
std::string generatedRouteName(const std::string& project, const std::string& vpc,
                               const ResourceDocument& entry);

// The name the route of one "add" entry gets: its "name", else the generated one. Throws as
// generatedRouteName does, and ArgumentTypeError for a "name" that is neither text nor null.
std::string createdRouteName(const std::string& project, const std::string& vpc,
                             const ResourceDocument& entry);

}  // namespace tolmi_gcp::routes
