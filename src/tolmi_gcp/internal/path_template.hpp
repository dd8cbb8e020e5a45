#pragma once

// Matching a path against an API method's template ("projects/{project}/global/routes/{route}"),
// shared by the library, the emulator's router and its schema; not installed.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolmi_gcp {

// The values of a path's "{name}" parameters, by name.
using PathParameters = std::map<std::string, std::string, std::less<>>;

// `path` split at every "/", empty segments kept.
std::vector<std::string> pathSegments(std::string_view path);

// The parameters of `segments` (a path below the API root, split at "/") when they fit `pattern`:
// as many segments, the literal ones equal, each "{name}" standing for one segment of any value.
// Nullopt when they do not fit.
std::optional<PathParameters> matchPath(std::string_view pattern,
                                        const std::vector<std::string>& segments);

}  // namespace tolmi_gcp
