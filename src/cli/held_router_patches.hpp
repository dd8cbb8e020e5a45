#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::cli {

// The router patches of several spokes' runs in one process, held so that a router the spokes
// share gets one patch carrying all of their changes. The library's operations run as they
// always do: they read the router, record its settings and their change in the spoke's revert
// file, and patch it. Through transport() the patch is held instead of sent, and answered by an
// operation that is done at once and says it was held; reads of the router show it as the patches
// held so far leave it, so that each spoke's change, record and read-back build on the changes of
// the spokes before it, exactly as patches sent one after another would. The held patches are sent
// afterwards, one per router (see runRoutersTogether).
class HeldRouterPatches {
 public:
  struct Held {
    ResourceLink router;
    ResourceDocument body;            // the patches held, merged as the API merges a patch
    std::vector<std::string> spokes;  // whose changes it carries, in the order held
  };

  // The spoke whose patches are held from now on.
  void setSpoke(const std::string& spoke);
  // A transport that sends through `inner` and holds router patches into this.
  std::shared_ptr<HttpTransport> transport(std::shared_ptr<HttpTransport> inner);
  std::vector<Held> held() const;

  // True for the operation that answers a held patch.
  static bool isHeldOperation(const ResourceDocument& operation);

 private:
  class Holding;

  mutable std::mutex mutex_;  // reads sent ahead come from several threads
  std::string spoke_;
  std::vector<Held> held_;  // in the order first held
  std::size_t patches_ = 0;
};

}  // namespace tolmi_gcp::cli
