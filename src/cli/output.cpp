#include "cli/output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

#include <log4cplus/layout.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/spi/loggingevent.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {

namespace {

// Writes events to a stream in the order they happen, but flushes them together: warnings and
// errors at once, other lines within kFlushDelay (a flusher thread), the rest when the appender
// closes. One write per line was most of a large report's cost; a line still never waits unseen
// behind a slow request, an operation's wait or a prompt (std::cerr also flushes std::cout first).
class StreamAppender : public log4cplus::Appender {
 public:
  // Without a pattern, the message and a newline, with no layout to format it through.
  explicit StreamAppender(std::ostream& stream, const char* pattern = nullptr) : stream_(stream) {
    if (pattern) setLayout(std::make_unique<log4cplus::PatternLayout>(pattern));
    messageOnly_ = !pattern;
  }
  ~StreamAppender() override { destructorImpl(); }

  // Flushes what is held and stops the flusher; later lines are flushed one by one.
  void close() override {
    std::unique_lock lock(mutex_);
    closing_ = true;
    stream_.flush();
    unflushed_ = false;
    lock.unlock();
    wake_.notify_one();
    if (flusher_.joinable()) flusher_.join();
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard lock(mutex_);
    if (messageOnly_)
      stream_ << event.getMessage() << '\n';
    else
      stream_ << formatEvent(event);
    if (closing_ || event.getLogLevel() >= log4cplus::WARN_LOG_LEVEL) {
      stream_.flush();
      unflushed_ = false;
    } else if (!unflushed_) {
      unflushed_ = true;
      if (!flusher_.joinable()) flusher_ = std::thread([this] { flushLater(); });
      wake_.notify_one();
    }
  }

 private:
  static constexpr std::chrono::milliseconds kFlushDelay{50};

  void flushLater() {
    std::unique_lock lock(mutex_);
    while (!closing_) {
      wake_.wait(lock, [this] { return unflushed_ || closing_; });
      // Lines that follow within the delay go out in the same write.
      wake_.wait_for(lock, kFlushDelay, [this] { return closing_; });
      stream_.flush();
      unflushed_ = false;
    }
  }

  std::ostream& stream_;
  bool messageOnly_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool unflushed_ = false;
  bool closing_ = false;
  std::thread flusher_;
};

class ErrorCounter : public log4cplus::Appender {
 public:
  ErrorCounter() { setThreshold(log4cplus::ERROR_LOG_LEVEL); }
  ~ErrorCounter() override { destructorImpl(); }
  void close() override {}
  int count() const { return count_; }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent&) override { ++count_; }

 private:
  std::atomic<int> count_{0};
};

constexpr const char* kTimestamped = "%d{%Y-%m-%dT%H:%M:%S.%qZ} %-5p %m%n";

}  // namespace

Output::Output(std::ostream& out, std::ostream& err, const OutputOptions& options)
    : err_(err),
      // The library logs to "tolmi_gcp.gcplib"; appenders sit on its parent so that a table the
      // library writes with propagation off (a silent route-table read) stays off the screen.
      library_(log4cplus::Logger::getInstance("tolmi_gcp")),
      report_(log4cplus::Logger::getInstance("tolmi_cli.report")),
      notes_(log4cplus::Logger::getInstance("tolmi_cli.note")),
      errorCounter_(new ErrorCounter()) {
  if (options.logFile) {
    // Created for the owner only: the log holds what the migration reads and changes.
    int created = ::open(options.logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (created >= 0) ::close(created);
    logFile_.open(*options.logFile, std::ios::app);
    if (!logFile_) throw ConfigError("log file " + *options.logFile + ": cannot be opened");
  }
  log4cplus::SharedAppenderPtr toOut(new StreamAppender(out));
  if (options.quiet) toOut->setThreshold(log4cplus::WARN_LOG_LEVEL);
  log4cplus::SharedAppenderPtr toErr(new StreamAppender(err));
  attach(library_, toOut);
  attach(library_, errorCounter_);
  attach(report_, toOut);
  attach(notes_, toErr);
  if (logFile_.is_open()) {
    log4cplus::SharedAppenderPtr toFile(new StreamAppender(logFile_, kTimestamped));
    attach(library_, toFile);
    attach(report_, toFile);
    attach(notes_, toFile);
  }
  for (log4cplus::Logger* logger : {&library_, &report_, &notes_}) {
    logger->setLogLevel(log4cplus::INFO_LOG_LEVEL);
    logger->setAdditivity(false);
  }
}

Output::~Output() {
  // Closing flushes what the appenders hold, before the log file they may write to is closed.
  for (auto& [logger, appender] : attached_) {
    logger.removeAppender(appender);
    appender->close();
  }
}

void Output::attach(log4cplus::Logger& logger, log4cplus::SharedAppenderPtr appender) {
  logger.addAppender(appender);
  attached_.emplace_back(logger, appender);
}

void Output::report(const std::string& line) { LOG4CPLUS_INFO(report_, line); }
void Output::note(const std::string& line) { LOG4CPLUS_INFO(notes_, line); }
void Output::fail(const std::string& line) { LOG4CPLUS_ERROR(notes_, line); }

int Output::libraryErrors() const {
  return static_cast<const ErrorCounter&>(*errorCounter_).count();
}

}  // namespace tolmi_gcp::cli
