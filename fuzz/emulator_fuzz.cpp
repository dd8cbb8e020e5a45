// Arbitrary requests to the emulator: every one must get an HTTP answer (or a dropped connection),
// never a crash or another exception.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "emulator/emulator.hpp"

namespace {

using tolmi_gcp::emulator::Emulator;

Emulator& emulator() {
  static Emulator* instance = [] {
    tolmi_gcp::emulator::Options options;
    options.waitTimeoutMs = 0;  // an operation wait must not hold the fuzzer
    return new Emulator(Emulator::loadTopology(TOLMI_EXAMPLES_DIR "/demo-topology.yaml"), options);
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Emulator& target = emulator();
  // A few requests in a row, so that one can act on what an earlier one created.
  for (int request = 0; request < 4 && input.remaining_bytes() > 0; ++request) {
    std::string method = input.PickValueInArray({"GET", "POST", "PATCH", "PUT", "DELETE"});
    std::string path = input.ConsumeRandomLengthString(300);
    tolmi_gcp::QueryList query;
    for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n)
      query.emplace_back(input.ConsumeRandomLengthString(40), input.ConsumeRandomLengthString(80));
    std::string body = input.ConsumeRandomLengthString(4000);
    try {
      target.handle(method, path, query, {}, body);
    } catch (const tolmi_gcp::emulator::ConnectionDropped&) {
    }
    // An injected fault would delay or drop the next request; the fuzzer is after the handling.
    target.handle("DELETE", "/emulator/v1/faults", {}, {}, "");
  }
  target.handle("POST", "/emulator/v1/reset", {}, {}, "");
  target.handle("DELETE", "/emulator/v1/requests", {}, {}, "");
  return 0;
}
