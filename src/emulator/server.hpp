#pragma once

#include <memory>
#include <string>

#include "emulator/emulator.hpp"

namespace tolmi_gcp::emulator {

// The emulator over real HTTP: serves several connections at once, keeps them alive, and refuses
// request bodies larger than a fixed cap.
class Server {
 public:
  // Binds `host`:`port` (0 picks a free port) and serves from background threads until
  // destroyed. Throws std::runtime_error when it cannot listen there.
  Server(std::shared_ptr<Emulator> emulator, const std::string& host, int port);
  // Stops accepting, finishes the requests under way and returns.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolmi_gcp::emulator
