#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tolmi_gcp::cli {

// This program run again as a process of its own, in its own process group (so that a Ctrl-C on
// the terminal reaches the process that started it, which passes it on once), its standard output
// and error kept as text.
class ChildTool {
 public:
  // Throws Error when the process cannot be started.
  explicit ChildTool(const std::vector<std::string>& args);
  ~ChildTool();  // waits for the process
  ChildTool(const ChildTool&) = delete;
  ChildTool& operator=(const ChildTool&) = delete;

  // SIGINT: the process finishes the change in flight, saves its record and ends.
  void interrupt();
  bool ended() const { return status_ >= 0; }
  int status() const { return status_; }  // exit status, or 128 + the signal that ended it
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

  // Reads what `children` write, for up to `wait` or until a signal arrives, and collects the
  // status of each that has ended.
  static void pump(const std::vector<ChildTool*>& children, std::chrono::milliseconds wait);

 private:
  void collect();

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

}  // namespace tolmi_gcp::cli
