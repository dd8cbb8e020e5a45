#include "emulator/operations.hpp"

#include "emulator/paging.hpp"
#include "emulator/resources/handlers.hpp"

namespace tolmi_gcp::emulator {

ResourceDocument getOperation(const Call& call) {
  call.store.project(call.project());
  return call.operations.get(Operations::addressOf(call.parameters));
}

ResourceDocument listGlobalOperations(const Call& call) {
  call.store.project(call.project());
  // As they stand now, so that a filter on "status" sees what a get would.
  const std::string relative = "projects/" + call.project() + "/global/operations";
  const std::map<std::string, ResourceDocument> current = call.operations.current(relative);
  return listDocument("compute#operationList", relative, pageOf(current, "", call));
}

}  // namespace tolmi_gcp::emulator
