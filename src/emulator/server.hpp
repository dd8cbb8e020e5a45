#pragma once

#include <memory>
#include <string>

#include "emulator/emulator.hpp"

namespace tolmi_gcp::emulator {

// The emulator over real HTTP: serves several connections at once, keeps them alive, and refuses
// request bodies larger than a fixed cap.
class Server {
 public:
  // Binds `host`:`port` (0 picks a free port). Throws std::runtime_error when it cannot.
  Server(std::shared_ptr<Emulator> emulator, const std::string& host, int port);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const;
  // Serves until stop() is called (from any thread).
  void run();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolmi_gcp::emulator
