#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp::cli {

// Passes requests through to `inner`, tallies the changes the API accepted, and, given a
// terminal, keeps one line on it up to date while an operation is awaited: the operation, its
// target and the seconds waited so far. The line appears after the first `tick` of a wait and is
// erased once the operation is done.
class ProgressTransport : public HttpTransport {
 public:
  ProgressTransport(std::shared_ptr<HttpTransport> inner, std::ostream* terminal,
                    std::chrono::milliseconds tick = std::chrono::seconds(1));

  HttpResponse send(const HttpRequest& request) override;

  // Accepted change requests by kind ("route deletions" -> 2), for the closing summary.
  const std::map<std::string, int>& changes() const { return changes_; }

 private:
  struct Awaited {
    std::string what;  // "insert routes/r-1 (operation-17)"
    std::chrono::steady_clock::time_point since;
  };

  HttpResponse await(const HttpRequest& request, const std::string& operation);
  void remember(const HttpRequest& request, const HttpResponse& response);
  void draw(const Awaited& awaited);
  void erase();

  std::shared_ptr<HttpTransport> inner_;
  std::ostream* terminal_;
  std::chrono::milliseconds tick_;
  std::map<std::string, Awaited> awaited_;  // by operation name
  std::map<std::string, int> changes_;
  std::mutex drawing_;
  bool shown_ = false;
};

}  // namespace tolmi_gcp::cli
