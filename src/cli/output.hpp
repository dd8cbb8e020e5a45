#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp::cli {

struct OutputOptions {
  bool quiet = false;                  // only warnings and errors of the library on `out`
  std::optional<std::string> logFile;  // timestamped, levelled copy of everything, appended
};

// Where the lines of one run go: the library's log messages exactly as written on `out`, the
// tool's own report lines beside them, the tool's notes on `err`, and everything with time and
// level to the log file. Counts the library's error-level events. Detaches itself when destroyed.
class Output {
 public:
  // Throws ConfigError when the log file cannot be opened, is a symbolic link or is not a regular
  // file.
  Output(std::ostream& out, std::ostream& err, const OutputOptions& options);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // A line of the tool's report on `out` (discover's composed ranges).
  void report(const std::string& line);
  // A message for the person running the tool, on `err`.
  void note(const std::string& line);
  // An error of the tool itself, on `err` at error level (not counted as a library error).
  void fail(const std::string& line);
  // A line for the log file alone (the run's header, the operations awaited); none without one.
  void logOnly(const std::string& line);

  // Writes out the lines held back (see StreamAppender): before a request, a prompt, an exit.
  void flush();

  int libraryErrors() const;
  std::ostream& err() { return err_; }

 private:
  void attach(log4cplus::Logger& logger, log4cplus::SharedAppenderPtr appender);

  std::ostream& err_;
  std::unique_ptr<std::ostream> logFile_;
  log4cplus::Logger library_;
  log4cplus::Logger report_;
  log4cplus::Logger notes_;
  log4cplus::Logger logOnly_;
  log4cplus::SharedAppenderPtr errorCounter_;
  std::vector<std::pair<log4cplus::Logger, log4cplus::SharedAppenderPtr>> attached_;
};

// Asks "proceed? [y/N]" on the output's `err` and reads the answer from `answers`: true for y or
// yes.
bool proceedAsked(Output& output, std::istream& answers);

// Flushes an Output before each request goes out: a line never waits unseen behind a request.
class FlushBeforeRequests : public RequestObserver {
 public:
  explicit FlushBeforeRequests(Output& output) : output_(output) {}
  void onSend(const Request&) override { output_.flush(); }
  void onAnswer(const Request&, const ResourceDocument&) override {}
  void onFailure(const Request&, std::string_view) override {}

 private:
  Output& output_;
};

}  // namespace tolmi_gcp::cli
