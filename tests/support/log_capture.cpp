#include "log_capture.hpp"

#include <mutex>

#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>

namespace tolmi_gcp::testing {

namespace {

class CollectingAppender : public log4cplus::Appender {
 public:
  ~CollectingAppender() override { destructorImpl(); }
  void close() override {}
  std::vector<LogEntry> entries;

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    entries.push_back({event.getLogLevel(), event.getMessage()});
  }
};

}  // namespace

LogCapture::LogCapture(const std::string& loggerName)
    : logger_(log4cplus::Logger::getInstance(loggerName)), appender_(new CollectingAppender()) {
  appender_->setName("capture");
  logger_.addAppender(appender_);
}

LogCapture::~LogCapture() { logger_.removeAppender(appender_); }

const std::vector<LogEntry>& LogCapture::entries() const {
  return static_cast<CollectingAppender&>(*appender_).entries;
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  for (const auto& entry : entries()) out.push_back(entry.message);
  return out;
}

void LogCapture::clear() { static_cast<CollectingAppender&>(*appender_).entries.clear(); }

}  // namespace tolmi_gcp::testing
