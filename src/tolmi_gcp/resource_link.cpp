#include "tolmi_gcp/resource_link.hpp"

#include <vector>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {

namespace {

// Regions and zones are global collections whose links leave out "global/".
bool locationCollection(std::string_view collection) {
  return collection == "regions" || collection == "zones";
}

// A segment a request path can carry as it is: "." and ".." would be folded away by the URL
// layer, and a control character is no part of any name the API gives.
bool plainSegment(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return false;
  for (unsigned char c : segment)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// The "/"-segments of `text` after "projects/", once the full link's
// "http(s)://HOST/compute/VERSION/" is taken off; empty when the text does not lead there.
std::vector<std::string_view> pathSegments(std::string_view text) {
  for (std::string_view scheme : {"https://", "http://"})
    if (text.starts_with(scheme)) {
      text.remove_prefix(scheme.size());
      std::size_t host = text.find('/');
      if (host == 0 || host == std::string_view::npos) return {};
      text.remove_prefix(host + 1);
      if (!text.starts_with("compute/")) return {};
      text.remove_prefix(8);
      std::size_t version = text.find('/');
      if (version == 0 || version == std::string_view::npos) return {};
      text.remove_prefix(version + 1);
      break;
    }
  if (!text.starts_with("projects/")) return {};
  text.remove_prefix(9);
  std::vector<std::string_view> segments;
  for (std::size_t at = 0;;) {
    std::size_t slash = text.find('/', at);
    segments.push_back(text.substr(at, slash == std::string_view::npos ? slash : slash - at));
    if (!plainSegment(segments.back())) return {};
    if (slash == std::string_view::npos) return segments;
    at = slash + 1;
  }
}

std::string shapeOf(ResourceLink::Scope scope, std::string_view collection) {
  std::string where = scope == ResourceLink::Scope::kRegion ? "regions/REGION/"
                      : scope == ResourceLink::Scope::kZone ? "zones/ZONE/"
                      : locationCollection(collection)      ? ""
                                                            : "global/";
  return "projects/PROJECT/" + where + std::string(collection) + "/NAME";
}

}  // namespace

std::optional<ResourceLink> ResourceLink::parse(std::string_view text) {
  std::vector<std::string_view> at = pathSegments(text);
  ResourceLink link;
  if (at.size() == 3 && locationCollection(at[1])) {
    link.collection_ = at[1];
    link.name_ = at[2];
  } else if (at.size() == 4 && at[1] == "global" && !locationCollection(at[2])) {
    link.collection_ = at[2];
    link.name_ = at[3];
  } else if (at.size() == 5 && locationCollection(at[1])) {
    link.scope_ = at[1] == "regions" ? Scope::kRegion : Scope::kZone;
    link.location_ = at[2];
    link.collection_ = at[3];
    link.name_ = at[4];
  } else {
    return std::nullopt;
  }
  link.project_ = at[0];
  return link;
}

std::optional<ResourceLink> ResourceLink::parse(const ResourceDocument& value, Scope scope,
                                                std::string_view collection) {
  std::optional<ResourceLink> link =
      value.is_string() ? parse(value.get_ref<const std::string&>()) : std::nullopt;
  if (link && (link->scope_ != scope || link->collection_ != collection)) return std::nullopt;
  return link;
}

ResourceLink ResourceLink::of(const ResourceDocument& value, Scope scope,
                              std::string_view collection, std::string_view what) {
  std::optional<ResourceLink> link = parse(value, scope, collection);
  if (!link)
    // Quoted as JSON, so that no text from an answer reaches a message unescaped.
    throw Error("not a resource link: " +
                value.dump(-1, ' ', false, ResourceDocument::error_handler_t::replace) + " as " +
                std::string(what) + " (expected " + shapeOf(scope, collection) + ")");
  return *link;
}

std::string ResourceLink::text() const {
  std::string text = "projects/" + project_ + "/";
  if (scope_ != Scope::kGlobal)
    text += (scope_ == Scope::kRegion ? "regions/" : "zones/") + location_ + "/";
  else if (!locationCollection(collection_))
    text += "global/";
  return text + collection_ + "/" + name_;
}

}  // namespace tolmi_gcp
