#pragma once

// Matching a path against an API method's template ("projects/{project}/global/routes/{route}"),
// shared by the library, the emulator's router and its schema; not installed.

#include <algorithm>
#include <cstddef>
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

// `pattern` with its i-th "{name}" segment replaced by `value(i)`, the literal ones kept.
template <typename Value>
std::string filledPath(std::string_view pattern, Value value) {
  std::string path;
  std::size_t next = 0;
  while (!pattern.empty()) {
    std::string_view segment = pattern.substr(0, pattern.find('/'));
    pattern.remove_prefix(std::min(pattern.size(), segment.size() + 1));
    if (!path.empty()) path += '/';
    if (segment.starts_with('{'))
      path += value(next++);
    else
      path += segment;
  }
  return path;
}

}  // namespace tolmi_gcp
