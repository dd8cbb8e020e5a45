#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "emulator/emulator.hpp"
#include "emulator/server.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/curl_transport.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::emulator {

// An emulator of a topology and a ComputeService on it. The parameter picks the way in: false
// the in-process transport, true real HTTP (a Server on a free loopback port, libcurl).
class EmulatorFixture : public ::testing::TestWithParam<bool> {
 protected:
  void start(const std::string& topology, Options options = {}, Now now = Clock::now) {
    service.reset();
    server.reset();
    emulator =
        std::make_shared<Emulator>(parseYamlText(topology, "topology"), options, std::move(now));
    if (GetParam()) {
      server = std::make_unique<Server>(emulator, "127.0.0.1", 0);
      service = std::make_unique<ComputeService>(
          makeCurlTransport(),
          "http://127.0.0.1:" + std::to_string(server->port()) + "/compute/v1/", nullptr);
    } else {
      service = std::make_unique<ComputeService>(std::make_shared<InProcessTransport>(emulator),
                                                 "http://emulator.test/compute/v1/", nullptr);
    }
  }

  // The HTTP status and API message of a request (200 and "" when it succeeds).
  std::pair<int, std::string> failure(const Request& request) {
    try {
      request.execute();
    } catch (const HttpError& error) {
      return {error.status(), error.apiMessage()};
    }
    return {200, ""};
  }
  int status(const Request& request) { return failure(request).first; }

  // A request straight to the emulator, for what ComputeService does not send.
  HttpResponse raw(const std::string& method, const std::string& path, const std::string& body = "",
                   QueryList query = {}, HeaderList headers = {}) {
    return emulator->handle(method, path, query, headers, body);
  }

  std::shared_ptr<Emulator> emulator;
  std::unique_ptr<Server> server;
  std::unique_ptr<ComputeService> service;
};

}  // namespace tolmi_gcp::emulator
