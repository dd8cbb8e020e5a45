#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"

namespace tolmi_gcp::emulator {

// The emulator's request journal: the latest requests with their bodies within a byte budget,
// as GET /emulator/v1/requests shows them. Not thread-safe: the emulator serialises calls.
class Journal {
 public:
  // `keepAnswers`: entries carry the answer too ("answer").
  explicit Journal(bool keepAnswers) : keepAnswers_(keepAnswers) {}

  void record(const std::string& method, const std::string& path, const QueryList& query,
              const std::string& body, int status, const std::string& answer = "");
  ResourceDocument document() const;
  void clear();

 private:
  struct Entry {
    ResourceDocument request;
    std::size_t bodyBytes;  // of a body still held
  };
  const bool keepAnswers_;
  std::deque<Entry> entries_;
  std::size_t dropped_ = 0;
  std::size_t bodyBytes_ = 0;
  std::size_t oldestHeldBody_ = 0;  // no entry before this one holds its body
};

}  // namespace tolmi_gcp::emulator
