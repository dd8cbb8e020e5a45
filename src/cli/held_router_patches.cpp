#include "cli/held_router_patches.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

namespace tolmi_gcp::cli {

namespace {

constexpr std::string_view kHeldPrefix = "held-router-patch-";

// The link `path` (an API path, relative to the root) holds when it names a resource of
// `collection` in a region.
std::optional<ResourceLink> regional(std::string_view path, std::string_view collection) {
  std::optional<ResourceLink> link = ResourceLink::parse(path);
  if (!link || link->scope() != ResourceLink::Scope::kRegion || link->collection() != collection)
    return std::nullopt;
  return link;
}

// The operation of a held patch, done as soon as it is held; `target` is the router patched.
HttpResponse heldOperation(const HttpRequest& request, const ResourceLink& operation,
                           const std::optional<ResourceLink>& target = std::nullopt) {
  std::string region =
      request.baseUrl + "projects/" + operation.project() + "/regions/" + operation.location();
  ResourceDocument document = {{"kind", "compute#operation"},
                               {"name", operation.name()},
                               {"operationType", "patch"},
                               {"status", "DONE"},
                               {"statusMessage",
                                "held, to be sent in one patch with the changes "
                                "of the other spokes that share the router"},
                               {"progress", 100},
                               {"region", region},
                               {"selfLink", region + "/operations/" + operation.name()}};
  if (target) document["targetLink"] = request.baseUrl + target->text();
  return {200, {{"content-type", "application/json; charset=UTF-8"}}, jsonText(document)};
}

}  // namespace

class HeldRouterPatches::Holding : public HttpTransport {
 public:
  Holding(std::shared_ptr<HttpTransport> inner, HeldRouterPatches& held)
      : inner_(std::move(inner)), held_(held) {}

  HttpResponse send(const HttpRequest& request) override {
    std::string_view path = request.path;
    if (path.ends_with("/wait")) path.remove_suffix(5);
    if (std::optional<ResourceLink> operation = regional(path, "operations");
        operation && operation->name().starts_with(kHeldPrefix))
      return heldOperation(request, *operation);
    std::optional<ResourceLink> router = regional(request.path, "routers");
    bool listing = !router && request.path.ends_with("/routers");
    if (!router && !listing) return inner_->send(request);
    if (router && request.method == "PATCH") return hold(request, *router);
    HttpResponse response = inner_->send(request);
    if (request.method != "GET" || response.status != 200) return response;
    ResourceDocument document = parseDocumentOrDiscarded(response.body);
    if (document.is_discarded()) return response;
    if (router)
      patched(document, *router);
    else if (document.contains("items") && document["items"].is_array())
      for (ResourceDocument& item : document["items"])
        if (std::optional<ResourceLink> listed =
                regional(request.path + "/" + textOf(memberOrNull(item, "name")), "routers"))
          patched(item, *listed);
    response.body = jsonText(document);
    return response;
  }

  std::shared_ptr<HttpTransport> twin() const override {
    std::shared_ptr<HttpTransport> inner = inner_->twin();
    return inner ? std::make_shared<Holding>(std::move(inner), held_) : nullptr;
  }

 private:
  // A router as the patches held for it leave it.
  void patched(ResourceDocument& document, const ResourceLink& router) const {
    std::lock_guard lock(held_.mutex_);
    for (const Held& held : held_.held_)
      if (held.router.text() == router.text()) document.merge_patch(held.body);
  }

  HttpResponse hold(const HttpRequest& request, const ResourceLink& router) {
    ResourceDocument body = parseDocumentOrDiscarded(request.body);
    if (!body.is_object()) return inner_->send(request);  // let the API say what is wrong
    std::lock_guard lock(held_.mutex_);
    auto held = std::find_if(held_.held_.begin(), held_.held_.end(),
                             [&](const Held& held) { return held.router.text() == router.text(); });
    if (held == held_.held_.end()) {
      held_.held_.push_back({router, ResourceDocument::object(), {}});
      held = std::prev(held_.held_.end());
    }
    held->body.merge_patch(body);
    if (std::find(held->spokes.begin(), held->spokes.end(), held_.spoke_) == held->spokes.end())
      held->spokes.push_back(held_.spoke_);
    std::optional<ResourceLink> operation = ResourceLink::parse(
        "projects/" + router.project() + "/regions/" + router.location() + "/operations/" +
        std::string(kHeldPrefix) + std::to_string(++held_.patches_));
    return heldOperation(request, *operation, router);
  }

  std::shared_ptr<HttpTransport> inner_;
  HeldRouterPatches& held_;
};

void HeldRouterPatches::setSpoke(const std::string& spoke) {
  std::lock_guard lock(mutex_);
  spoke_ = spoke;
}

std::shared_ptr<HttpTransport> HeldRouterPatches::transport(std::shared_ptr<HttpTransport> inner) {
  return std::make_shared<Holding>(std::move(inner), *this);
}

std::vector<HeldRouterPatches::Held> HeldRouterPatches::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

bool HeldRouterPatches::isHeldOperation(const ResourceDocument& operation) {
  return textOf(memberOrNull(operation, "name")).starts_with(kHeldPrefix);
}

}  // namespace tolmi_gcp::cli
