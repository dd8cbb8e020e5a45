#include "emulator/journal.hpp"

namespace tolmi_gcp::emulator {

namespace {

// The journal keeps the latest requests; a long-running server must not grow without bound.
constexpr std::size_t kJournalLimit = 100000;
// It holds request bodies up to this many bytes in all, the oldest giving way first, and never
// one larger than kJournalBodyLimit; an entry whose body went says so and how large it was.
constexpr std::size_t kJournalBodyBudget = 16 * 1024 * 1024;
constexpr std::size_t kJournalBodyLimit = 1024 * 1024;

}  // namespace

void Journal::record(const std::string& method, const std::string& path, const QueryList& query,
                     const std::string& body, int status, const std::string& answer) {
  ResourceDocument parameters = ResourceDocument::object();
  for (const auto& [name, value] : query) parameters[name] = value;
  bool keep = body.size() <= kJournalBodyLimit;
  ResourceDocument parsed = nullptr;
  if (keep && !body.empty()) {
    parsed = parseDocumentOrDiscarded(body);
    if (parsed.is_discarded()) parsed = body;
  }
  entries_.push_back({{{"method", method},
                       {"path", path},
                       {"query", std::move(parameters)},
                       {"body", std::move(parsed)},
                       {"status", status}},
                      keep ? body.size() : 0});
  if (!keep) entries_.back().request["bodyElided"] = body.size();
  bodyBytes_ += entries_.back().bodyBytes;
  for (; bodyBytes_ > kJournalBodyBudget; ++oldestHeldBody_) {
    Entry& oldest = entries_[oldestHeldBody_];
    if (oldest.bodyBytes == 0) continue;
    oldest.request["body"] = nullptr;
    oldest.request["bodyElided"] = oldest.bodyBytes;
    bodyBytes_ -= oldest.bodyBytes;
    oldest.bodyBytes = 0;
  }
  if (keepAnswers_ && !answer.empty())
    entries_.back().request["answer"] = parseDocumentOrDiscarded(answer);
  if (entries_.size() > kJournalLimit) {
    bodyBytes_ -= entries_.front().bodyBytes;
    entries_.pop_front();
    ++dropped_;
    if (oldestHeldBody_ > 0) --oldestHeldBody_;
  }
}

ResourceDocument Journal::document() const {
  ResourceDocument requests = ResourceDocument::array();
  for (const auto& entry : entries_) requests.push_back(entry.request);
  ResourceDocument doc = {{"requests", std::move(requests)}};
  if (dropped_) doc["dropped"] = dropped_;
  return doc;
}

void Journal::clear() {
  entries_.clear();
  dropped_ = 0;
  bodyBytes_ = 0;
  oldestHeldBody_ = 0;
}

}  // namespace tolmi_gcp::emulator
