#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::testing {

// A compute-emulator started as a child process for the length of a test. The constructor waits
// for its "listening on" line; the destructor stops it (SIGTERM, then SIGKILL if it lingers).
class EmulatorProcess {
 public:
  // `binary` is the built compute-emulator; `extraArguments` go after --topology FILE.
  EmulatorProcess(const std::string& binary, const std::string& topology,
                  const std::vector<std::string>& extraArguments = {});
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  const std::string& baseUrl() const { return baseUrl_; }  // "http://127.0.0.1:PORT"
  std::string endpoint() const { return baseUrl_ + "/compute/v1/"; }
  std::string hostPort() const;  // "127.0.0.1:PORT", for COMPUTE_EMULATOR_HOST
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // GET /emulator/v1/state and GET /emulator/v1/requests.
  ResourceDocument state() const;
  ResourceDocument journal() const;
  // Any admin call, e.g. admin("POST", "faults", {...}); throws std::runtime_error unless 200.
  ResourceDocument admin(const std::string& method, const std::string& path,
                         const ResourceDocument& body = nullptr) const;

  // For an emulator started with --require-auth: admin calls carry a token from this refresh-token
  // grant form, taken afresh when the emulator no longer knows the last one.
  void signInAdminCalls(std::string grantForm) { grantForm_ = std::move(grantForm); }

  // SIGTERM and wait; returns the exit status (or 128 + signal). Idempotent.
  int stop();

 private:
  pid_t pid_ = -1;
  int output_ = -1;  // read end of the child's standard output
  int port_ = 0;
  int exitStatus_ = -1;
  std::string baseUrl_;
  std::string grantForm_;
  mutable std::string adminToken_;
};

}  // namespace tolmi_gcp::testing
