#pragma once

#include <algorithm>
#include <string>
#include <vector>

// Lists of names, as the library and the tool keep and show them.
namespace tolmi_gcp {

inline bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// "a, b, c" for `separator` ", "; "" for no items.
inline std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

}  // namespace tolmi_gcp
