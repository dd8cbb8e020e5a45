#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/res/RouteInfo.hpp"

namespace tolmi_gcp {

class ComputeService;

// Process-wide settings of a migration run, filled by the tool (or a test) before it calls the
// library.
class Globals {
 public:
  Globals() = delete;

  static inline std::shared_ptr<ComputeService> service;
  static inline std::string project;      // the current spoke's project id
  static inline ResourceDocument vpc;     // the current spoke entry, {"vpc_name": ...}
  static inline std::string networkLink;  // self-link of the network created routes attach to
  static inline RouteInfo routeInfo;
  // Restore steps that did not restore, whatever level their line was logged at; the tool compares
  // the count before and after a part.
  static inline int failedRestores = 0;
  // How long one operation may take before the wait gives up and the run stops.
  static constexpr std::chrono::seconds kDefaultOperationTimeout{30 * 60};
  static inline std::chrono::seconds operationTimeout = kDefaultOperationTimeout;
  // A route stage creates its routes before it deletes the old ones (switch
  // --make-before-break).
  static inline bool makeBeforeBreak = false;

  static bool getDryRun();
  static void setDryRun(bool dryRun);

  // The revert record, always the same object, empty (RevertRecord::empty()) until operations
  // write into it. RevertRecord (res/revert_record.hpp) reads and writes its entries.
  static ResourceDocument& getRevertInfo();
  static ResourceDocument emptyRevertInfo();

  // RevertRecord calls revertInfoWritten() right after each write to the record; the saver
  // installed here (the tool's RevertStore) runs then, so the record is on disk before the next
  // change.
  using Saver = std::function<void(const ResourceDocument&)>;
  static void setRevertInfoSaver(Saver saver);
  static void revertInfoWritten();

  // Back to a fresh process state: empty record, no saver, dry run off, settings cleared.
  static void reset();
};

}  // namespace tolmi_gcp
