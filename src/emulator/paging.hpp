#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "emulator/call.hpp"

namespace tolmi_gcp::emulator {

struct Page {
  std::vector<const ResourceDocument*> items;
  std::optional<std::string> nextPageToken;
};

// One page of the `items` whose keys start with `prefix`, as the call's "filter", "maxResults",
// "pageToken" and "orderBy" ask: in key order after the key the page token carries, or newest
// first. `only`, when given, holds the keys worth a look (a network's routes). 400 for a bad value.
Page pageOf(const std::map<std::string, ResourceDocument>& items, const std::string& prefix,
            const Call& call, const std::set<std::string>* only = nullptr);

// A list of `kind` ("compute#routeList") holding `page`, for the collection at `relativeName`.
ResourceDocument listDocument(const std::string& kind, const std::string& relativeName, Page page);

}  // namespace tolmi_gcp::emulator
