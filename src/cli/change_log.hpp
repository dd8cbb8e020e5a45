#pragma once

#include <iosfwd>
#include <map>
#include <mutex>
#include <string>

#include "cli/output.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp::cli {

// Follows each change a ComputeService sends through its operation to its result, for the
// record of the run: the log file names every operation awaited and how it ended, and, given a
// stream (--output json), one JSON line per change says what was changed, by which operation,
// with what result. Other events of the run (parts, mismatches, the summary) go to the same
// stream through write().
class ChangeLog : public RequestObserver {
 public:
  ChangeLog(Output& output, std::ostream* events);

  void onSend(const Request& request) override;
  void onAnswer(const Request& request, const ResourceDocument& answer) override;
  void onFailure(const Request& request, std::string_view failure) override;

  // The part that the changes from now on belong to ("routes wave-1").
  void setPart(const std::string& label);
  // Writes one event as a JSON line, its "event" first; nothing without a stream.
  void write(const std::string& event, const ResourceDocument& fields);
  // Writes the changes whose result was never seen (the run stopped while they were awaited).
  void finish();

  // For the closing summary, as the change events say: the changes whose operation finished
  // without error by kind ("route deletions" -> 2), and those refused or ended in error.
  std::map<std::string, int> made() const;
  int failed() const;

 private:
  struct Change {
    std::string kind, part, action, resource, peering;
  };

  Change changeOf(const Request& request) const;  // of the current part
  void ended(const std::string& operation, const std::string& result, const std::string& error);
  void written(const Change& change, const std::string& operation, const std::string& result,
               const std::string& error);

  Output& output_;
  std::ostream* events_;
  mutable std::mutex mutex_;  // reads may be sent from several threads
  std::string part_;
  std::map<std::string, Change> awaited_;  // by operation name
  std::map<std::string, int> made_;
  int failed_ = 0;
};

// One JSON Lines event of a spoke's run with "spoke" after the event's name, as a wave writes them;
// the line as it is when it is not an event.
std::string eventWithSpoke(const std::string& line, const ResourceDocument& spoke);

}  // namespace tolmi_gcp::cli
