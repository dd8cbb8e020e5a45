#include "tolmi_gcp/res/Globals.hpp"

#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp {

namespace {

bool dryRun = false;
Globals::Saver saver;

}  // namespace

bool Globals::getDryRun() { return dryRun; }
void Globals::setDryRun(bool value) { dryRun = value; }

ResourceDocument Globals::emptyRevertInfo() { return RevertRecord::empty(); }

ResourceDocument& Globals::getRevertInfo() {
  static ResourceDocument record = emptyRevertInfo();
  return record;
}

void Globals::setRevertInfoSaver(Saver newSaver) { saver = std::move(newSaver); }

void Globals::revertInfoWritten() {
  if (saver) saver(getRevertInfo());
}

void Globals::reset() {
  getRevertInfo() = emptyRevertInfo();
  saver = nullptr;
  dryRun = false;
  service.reset();
  project.clear();
  vpc = nullptr;
  networkLink.clear();
  routeInfo = RouteInfo();
  failedRestores = 0;
  operationTimeout = kDefaultOperationTimeout;
  makeBeforeBreak = false;
}

}  // namespace tolmi_gcp
