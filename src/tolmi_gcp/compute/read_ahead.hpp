#pragma once

#include <concepts>
#include <exception>
#include <memory>
#include <vector>

#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp {

// Reads sent ahead of need, up to the handle's maxInFlight() on the wire at once (the handle's own
// requests included), each sender thread on its own kept-alive connection (HttpTransport::twin).
// While it lives, executing a request equal to one of them (same method, URL and answer form) takes
// that read's answer, or rethrows its failure, instead of sending it again: code that reads one
// thing after another runs unchanged, writes the same lines in the same order, and fails at the
// same point with the same error. Reads equal to one still waiting are not added twice. Each read
// goes through the handle's retries and observer, on the thread that sends it; its retry warnings
// are held back and written when its answer is taken, where one read at a time would write them
// (never, if it is not taken). Made while another lives on the same handle, it adds its reads to
// that one's. The end of the last abandons the reads not taken, so that a failure which ends the
// walk is not delayed by them: their answers are dropped, their tries stop, and it waits only for
// the requests on the wire. With maxInFlight() 1, or a transport without twin, nothing is sent
// ahead: each read goes out when it is executed. For one calling thread.
class ReadAhead {
 public:
  // Throws std::invalid_argument for a request that is not a read.
  ReadAhead(const ComputeService& service, const std::vector<Request>& reads);
  // The same with the reads `makeReads()` gives, made only when reads can go ahead
  // (maxInFlight() above 1): one read at a time does not build requests only to drop them.
  template <std::invocable MakeReads>
  ReadAhead(const ComputeService& service, MakeReads makeReads)
      : ReadAhead(service, service.maxInFlight() > 1 ? makeReads() : std::vector<Request>()) {}
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

 private:
  std::shared_ptr<detail::InFlight> inFlight_;
};

// The reads `add(item, reads)` appends for each of `items`, in order, up to the first item it
// throws for: the code that then reads them one by one meets that failure at its own point.
template <typename Items, typename Add>
std::vector<Request> readsUntilFailure(const Items& items, Add add) {
  std::vector<Request> reads;
  try {
    for (const auto& item : items) add(item, reads);
  } catch (const std::exception&) {
    // Not lost: met again, and reported, where it would be without reading ahead.
  }
  return reads;
}

}  // namespace tolmi_gcp
