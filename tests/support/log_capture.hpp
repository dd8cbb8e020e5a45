#pragma once

#include <string>
#include <vector>

#include <log4cplus/logger.h>

namespace tolmi_gcp::testing {

struct LogEntry {
  int level;  // log4cplus::INFO_LOG_LEVEL, WARN_LOG_LEVEL, ERROR_LOG_LEVEL
  std::string message;
};

// Collects the messages written to one logger (default: the library's) while it lives.
class LogCapture {
 public:
  explicit LogCapture(const std::string& loggerName = "tolmi_gcp.gcplib");
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;  // messages only
  const std::vector<LogEntry>& entries() const;
  void clear();

 private:
  log4cplus::Logger logger_;
  log4cplus::SharedAppenderPtr appender_;
};

}  // namespace tolmi_gcp::testing
