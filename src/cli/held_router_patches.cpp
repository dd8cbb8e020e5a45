#include "cli/held_router_patches.hpp"

#include <algorithm>

namespace tolmi_gcp::cli {

namespace {

constexpr std::string_view kHeldPrefix = "held-router-patch-";

std::vector<std::string> segmentsOf(const std::string& path) {
  std::vector<std::string> segments;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find('/', start), path.size());
    segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return segments;
}

bool isRegionCollection(const std::vector<std::string>& segments, const char* collection) {
  return segments.size() >= 5 && segments[0] == "projects" && segments[2] == "regions" &&
         segments[4] == collection;
}

// The operation of a held patch, done as soon as it is held.
HttpResponse heldOperation(const HttpRequest& request, const std::vector<std::string>& segments,
                           const std::string& name) {
  std::string region = request.baseUrl + "projects/" + segments[1] + "/regions/" + segments[3];
  ResourceDocument operation = {{"kind", "compute#operation"},
                                {"name", name},
                                {"operationType", "patch"},
                                {"status", "DONE"},
                                {"statusMessage",
                                 "held, to be sent in one patch with the changes "
                                 "of the other spokes that share the router"},
                                {"progress", 100},
                                {"region", region},
                                {"selfLink", region + "/operations/" + name}};
  if (segments[4] == "routers") operation["targetLink"] = request.baseUrl + request.path;
  return {200, {{"content-type", "application/json; charset=UTF-8"}}, jsonText(operation)};
}

}  // namespace

class HeldRouterPatches::Holding : public HttpTransport {
 public:
  Holding(std::shared_ptr<HttpTransport> inner, HeldRouterPatches& held)
      : inner_(std::move(inner)), held_(held) {}

  HttpResponse send(const HttpRequest& request) override {
    std::vector<std::string> segments = segmentsOf(request.path);
    if (isRegionCollection(segments, "operations") && segments.size() >= 6 &&
        segments[5].starts_with(kHeldPrefix))
      return heldOperation(request, segments, segments[5]);
    if (!isRegionCollection(segments, "routers") || segments.size() > 6)
      return inner_->send(request);
    if (request.method == "PATCH" && segments.size() == 6) return hold(request, segments);
    HttpResponse response = inner_->send(request);
    if (request.method != "GET" || response.status != 200) return response;
    ResourceDocument document = parseDocumentOrDiscarded(response.body);
    if (document.is_discarded()) return response;
    if (segments.size() == 6)
      patched(document, request.path);
    else if (document.contains("items") && document["items"].is_array())
      for (ResourceDocument& router : document["items"])  // a listing of the region's routers
        patched(router, request.path + "/" + textOf(memberOrNull(router, "name")));
    response.body = jsonText(document);
    return response;
  }

  std::shared_ptr<HttpTransport> twin() const override {
    std::shared_ptr<HttpTransport> inner = inner_->twin();
    return inner ? std::make_shared<Holding>(std::move(inner), held_) : nullptr;
  }

 private:
  // A router as the patches held for it leave it.
  void patched(ResourceDocument& router, const std::string& path) const {
    std::lock_guard lock(held_.mutex_);
    for (const Held& held : held_.held_)
      if (held.path == path) router.merge_patch(held.body);
  }

  HttpResponse hold(const HttpRequest& request, const std::vector<std::string>& segments) {
    ResourceDocument body = parseDocumentOrDiscarded(request.body);
    if (!body.is_object()) return inner_->send(request);  // let the API say what is wrong
    std::lock_guard lock(held_.mutex_);
    auto held = std::find_if(held_.held_.begin(), held_.held_.end(),
                             [&](const Held& held) { return held.path == request.path; });
    if (held == held_.held_.end()) {
      held_.held_.push_back({request.path, ResourceDocument::object(), {}});
      held = std::prev(held_.held_.end());
    }
    held->body.merge_patch(body);
    if (std::find(held->spokes.begin(), held->spokes.end(), held_.spoke_) == held->spokes.end())
      held->spokes.push_back(held_.spoke_);
    return heldOperation(request, segments,
                         std::string(kHeldPrefix) + std::to_string(++held_.patches_));
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
