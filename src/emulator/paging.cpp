#include "emulator/paging.hpp"

#include <algorithm>
#include <cctype>

#include "emulator/filter.hpp"

namespace tolmi_gcp::emulator {

namespace {

// Page tokens carry the last key of their page, in hexadecimal.
std::string hexOf(const std::string& text) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::optional<std::string> unhex(const std::string& text) {
  if (text.size() % 2) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return std::nullopt;
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return out;
}

// A place in the newest-first order: creation time, later first, then key.
struct Newest {
  std::string created;
  std::string key;
  const ResourceDocument* item;
  bool operator<(const Newest& other) const {
    return created != other.created ? created > other.created : key < other.key;
  }
};

}  // namespace

Page pageOf(const std::map<std::string, ResourceDocument>& items, const std::string& prefix,
            const Call& call, const std::set<std::string>* only) {
  const std::optional<std::string> filterText = call.queryParam("filter");
  const std::optional<std::string> maxResultsText = call.queryParam("maxResults");
  const std::optional<std::string> pageToken = call.queryParam("pageToken");
  const std::optional<std::string> orderBy = call.queryParam("orderBy");
  Filter filter(filterText.value_or(""));
  std::size_t maxResults = 500;
  if (maxResultsText && !maxResultsText->empty()) {
    bool digits = maxResultsText->size() <= 6 &&
                  std::all_of(maxResultsText->begin(), maxResultsText->end(), ::isdigit);
    std::size_t value = digits ? std::stoul(*maxResultsText) : 0;
    if (!digits || value > 500)
      throw ApiError(400, "invalid",
                     "Invalid value for field 'maxResults': '" + *maxResultsText +
                         "'. Must be a whole number from 0 to 500.");
    if (value > 0) maxResults = value;
  }
  bool newestFirst = orderBy == "creationTimestamp desc";
  if (orderBy && !orderBy->empty() && *orderBy != "name" && *orderBy != "name asc" && !newestFirst)
    throw ApiError(400, "invalid",
                   "Invalid value for field 'orderBy': '" + *orderBy +
                       "'. Results can only be ordered by name or by 'creationTimestamp desc'.");
  std::optional<std::string> after;
  if (pageToken && !pageToken->empty()) {
    after = unhex(*pageToken);
    if (!after || !after->starts_with(prefix))
      throw ApiError(400, "invalid",
                     "Invalid value for field 'pageToken': '" + *pageToken +
                         "'. It is not a token this list returned.");
  }
  // Calls `take` with the items that pass the filter, in name order after `from`, while it says
  // to go on.
  auto visit = [&](const std::optional<std::string>& from, auto&& take) {
    if (only) {
      for (auto it = from ? only->upper_bound(*from) : only->begin(); it != only->end(); ++it)
        if (const auto& item = items.at(*it); filter.matches(item) && !take(*it, item)) return;
      return;
    }
    for (auto it = from ? items.upper_bound(*from) : items.lower_bound(prefix);
         it != items.end() && it->first.starts_with(prefix); ++it)
      if (filter.matches(it->second) && !take(it->first, it->second)) return;
  };
  Page page;
  std::string lastToken;
  auto add = [&](const std::string& token, const ResourceDocument& item) {
    if (page.items.size() == maxResults) {
      page.nextPageToken = hexOf(lastToken);
      return false;
    }
    page.items.push_back(&item);
    lastToken = token;
    return true;
  };
  if (!newestFirst) {
    visit(after, add);
    return page;
  }
  // Newest first: the token carries the key and the creation time of the page's last item.
  std::vector<Newest> order;
  visit(std::nullopt, [&](const std::string& key, const ResourceDocument& item) {
    order.push_back({textOf(memberOrNull(item, "creationTimestamp")), key, &item});
    return true;
  });
  std::sort(order.begin(), order.end());
  auto it = order.begin();
  if (after) {
    auto newline = after->find('\n');
    Newest last{after->substr(newline == std::string::npos ? after->size() : newline + 1),
                after->substr(0, newline), nullptr};
    it = std::upper_bound(order.begin(), order.end(), last);
  }
  for (; it != order.end(); ++it)
    if (!add(it->key + "\n" + it->created, *it->item)) break;
  return page;
}

ResourceDocument listDocument(const std::string& kind, const std::string& relativeName, Page page) {
  ResourceDocument list = {{"kind", kind}, {"id", relativeName}};
  if (!page.items.empty()) {
    ResourceDocument items = ResourceDocument::array();
    for (const ResourceDocument* item : page.items) items.push_back(*item);
    list["items"] = std::move(items);
  }
  if (page.nextPageToken) list["nextPageToken"] = *page.nextPageToken;
  list["selfLink"] = linkOf(relativeName);
  return list;
}

}  // namespace tolmi_gcp::emulator
