#include "cli/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <istream>
#include <mutex>
#include <ostream>

#include <log4cplus/layout.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/spi/loggingevent.h>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/printable_text.hpp"

namespace tolmi_gcp::cli {

namespace {

// Writes events to a stream in the order they happen and holds them until flush(): one write per
// line was most of a large report's cost. Warnings and errors, and every line of a stream that
// flushes each, go out at once; the tool flushes before each request (FlushBeforeRequests), so no
// line waits unseen behind a slow request, an operation's wait or a prompt.
class StreamAppender : public log4cplus::Appender {
 public:
  // Without a pattern, the message and a newline, with no layout to format it through.
  StreamAppender(std::ostream& stream, bool flushEach, const char* pattern = nullptr)
      : stream_(stream), flushEach_(flushEach), messageOnly_(!pattern) {
    if (pattern) setLayout(std::make_unique<log4cplus::PatternLayout>(pattern));
  }
  ~StreamAppender() override { destructorImpl(); }

  void close() override { flush(); }

  void flush() {
    std::lock_guard lock(mutex_);
    stream_.flush();
  }

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    std::lock_guard lock(mutex_);
    // Text from the API may hold newlines and terminal sequences: each event stays one line.
    if (messageOnly_) {
      stream_ << printableText(event.getMessage()) << '\n';
    } else {
      std::string line = formatEvent(event);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      stream_ << printableText(line) << '\n';
    }
    if (flushEach_ || event.getLogLevel() >= log4cplus::WARN_LOG_LEVEL) stream_.flush();
  }

 private:
  std::ostream& stream_;
  const bool flushEach_;
  const bool messageOnly_;
  std::mutex mutex_;  // requests may be sent, and so flush, from several threads
};

// An output stream that owns a file descriptor opened with the checks above.
class FileStream : public std::ostream {
 public:
  explicit FileStream(int fd) : std::ostream(nullptr), buffer_(fd, std::ios::out) {
    rdbuf(&buffer_);
  }

 private:
  __gnu_cxx::stdio_filebuf<char> buffer_;
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

// Appends to a regular file, created for the owner only (the log holds what the migration reads
// and changes); an existing file keeps its mode. A symbolic link is refused, not followed (it may
// lead where the person running the tool can write but did not mean to), and so is anything that
// is not a regular file: a FIFO without a reader would block the run at its first line.
std::unique_ptr<std::ostream> openLogFile(const std::string& path) {
  const std::string named = "log file " + printableText(path) + ": ";
  int fd =
      ::open(path.c_str(),
             O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
  if (fd < 0) {
    int error = errno;
    if (error == ELOOP) throw ConfigError(named + "is a symbolic link; name the file itself");
    // What a FIFO without a reader, or a device without its driver, answers.
    if (error == ENXIO) throw ConfigError(named + "is not a regular file");
    throw ConfigError(named + "cannot be opened: " + std::strerror(error));
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    throw ConfigError(named + "is not a regular file");
  }
  ::fcntl(fd, F_SETFL, O_APPEND);
  return std::make_unique<FileStream>(fd);
}

}  // namespace

Output::Output(std::ostream& out, std::ostream& err, const OutputOptions& options)
    : err_(err),
      // The library logs to "tolmi_gcp.gcplib"; appenders sit on its parent so that a table the
      // library writes with propagation off (a silent route-table read) stays off the screen.
      library_(log4cplus::Logger::getInstance("tolmi_gcp")),
      report_(log4cplus::Logger::getInstance("tolmi_cli.report")),
      notes_(log4cplus::Logger::getInstance("tolmi_cli.note")),
      logOnly_(log4cplus::Logger::getInstance("tolmi_cli.log")),
      errorCounter_(new ErrorCounter()) {
  if (options.logFile) logFile_ = openLogFile(*options.logFile);
  log4cplus::SharedAppenderPtr toOut(new StreamAppender(out, false));
  if (options.quiet) toOut->setThreshold(log4cplus::WARN_LOG_LEVEL);
  log4cplus::SharedAppenderPtr toErr(new StreamAppender(err, true));
  attach(library_, toOut);
  attach(library_, errorCounter_);
  attach(report_, toOut);
  attach(notes_, toErr);
  if (logFile_) {
    log4cplus::SharedAppenderPtr toFile(new StreamAppender(*logFile_, false, kTimestamped));
    attach(library_, toFile);
    attach(report_, toFile);
    attach(notes_, toFile);
    attach(logOnly_, toFile);
  }
  for (log4cplus::Logger* logger : {&library_, &report_, &notes_, &logOnly_}) {
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
void Output::logOnly(const std::string& line) {
  if (logFile_) LOG4CPLUS_INFO(logOnly_, line);
}

void Output::flush() {
  for (auto& [logger, appender] : attached_)
    if (auto* stream = dynamic_cast<StreamAppender*>(appender.get())) stream->flush();
}

int Output::libraryErrors() const {
  return static_cast<const ErrorCounter&>(*errorCounter_).count();
}

bool proceedAsked(Output& output, std::istream& answers) {
  output.flush();
  output.err() << "proceed? [y/N] " << std::flush;
  std::string answer;
  std::getline(answers, answer);
  return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace tolmi_gcp::cli
