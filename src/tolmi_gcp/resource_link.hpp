#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// A link to a Compute Engine resource, as the API writes it in every reference and selfLink:
// full ("https://www.googleapis.com/compute/v1/projects/...", any host and version) or partial
// ("projects/..."). It names a resource of a collection in a project, held globally
// ("projects/P/global/networks/N"), in a region ("projects/P/regions/R/subnetworks/S") or in a
// zone ("projects/P/zones/Z/instances/I"); a region or a zone itself is a global resource of the
// collection "regions" or "zones" ("projects/P/regions/R").
class ResourceLink {
 public:
  enum class Scope { kGlobal, kRegion, kZone };

  // The link `text` holds; nullopt when it has another shape, an empty segment, a "." or ".."
  // segment, or a control character.
  static std::optional<ResourceLink> parse(std::string_view text);

  // The link `value` holds when it is text naming a resource of `collection` held in `scope`;
  // nullopt otherwise.
  static std::optional<ResourceLink> parse(const ResourceDocument& value, Scope scope,
                                           std::string_view collection);

  // The same link, which must name a resource of `collection` held in `scope`. Throws
  // Error "not a resource link: ..." naming the value and `what` it is (say, "the network of the
  // router r1") when there is none.
  static ResourceLink of(const ResourceDocument& value, Scope scope, std::string_view collection,
                         std::string_view what);

  const std::string& project() const { return project_; }
  Scope scope() const { return scope_; }
  // The region or zone that holds the resource; "" for a global one.
  const std::string& location() const { return location_; }
  const std::string& collection() const { return collection_; }
  const std::string& name() const { return name_; }

  // The partial link: "projects/P/global/networks/N", "projects/P/regions/R", ...
  std::string text() const;

 private:
  ResourceLink() = default;

  std::string project_;
  Scope scope_ = Scope::kGlobal;
  std::string location_;
  std::string collection_;
  std::string name_;
};

}  // namespace tolmi_gcp
