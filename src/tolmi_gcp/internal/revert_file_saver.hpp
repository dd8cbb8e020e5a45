#pragma once

// Not installed: the tool keeps its record through its own store; tests that drive the library
// directly keep it in a RevertFile.

#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_file.hpp"

namespace tolmi_gcp {

// A saver for Globals::setRevertInfoSaver that writes the record durably to `file`'s path.
Globals::Saver revertFileSaver(const RevertFile& file);

}  // namespace tolmi_gcp
