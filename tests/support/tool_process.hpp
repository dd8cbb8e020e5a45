#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "temp_dir.hpp"
#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/api_method.hpp"

namespace tolmi_gcp::testing {

// How a finished run of the tool ended: its exit status and what it wrote.
struct Outcome {
  int status;
  std::string out, err;
};

// The built tolmi-gcp started as a child process, its standard output and error going to files in
// `dir`, with this process's environment plus `environment` ("NAME=value" each). The destructor
// waits for it unless finish() or kill() already did.
class ToolProcess {
 public:
  ToolProcess(std::vector<std::string> args, const TempDir& dir,
              std::vector<std::string> environment = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Waits for the end; returns the exit status, or 128 + the signal that ended it.
  int finish();
  // finish(), with what the tool wrote.
  Outcome outcome();
  // SIGKILL, then finish().
  int kill();
  // True once the process has ended (its status is then kept for finish()).
  bool ended();
  pid_t pid() const { return pid_; }
  std::string out() const { return TempDir::read(outPath_); }
  std::string err() const { return TempDir::read(errPath_); }

  static const std::string& binary();  // TOLMI_BINARY_DIR/tolmi-gcp

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_, errPath_;
};

// The changes in an emulator journal (requests other than reads and operation waits), each as
// "METHOD path", in the order they came.
std::vector<std::string> changeRequests(const ResourceDocument& journal);

// The API method a journal entry called, or nullptr for a path outside the API's methods.
const ApiMethod* journalMethod(const std::string& method, std::string_view path);

}  // namespace tolmi_gcp::testing
