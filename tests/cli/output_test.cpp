#include "cli/output.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <log4cplus/loggingmacros.h>

#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp::cli {
namespace {

log4cplus::Logger library() { return log4cplus::Logger::getInstance("tolmi_gcp.gcplib"); }

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Output, LibraryLinesGoOutExactlyAndErrorsAreCounted) {
  std::ostringstream out, err;
  {
    Output output(out, err, {});
    LOG4CPLUS_INFO(library(), "- Discover subnet(s)");
    LOG4CPLUS_INFO(library(), "");
    LOG4CPLUS_WARN(library(), "  **Error** warned");
    LOG4CPLUS_ERROR(library(), "  **Error** failed");
    output.report("  us-east1                 10.0.0.0/8");
    output.note("a note");
    output.fail("tolmi-gcp: a failure of the tool");
    // Text from the API stays one printable line: controls escaped, bytes not UTF-8 replaced.
    LOG4CPLUS_INFO(library(), "  10.0.0.0/8\n{\"event\"}\r\x1b[2J\x7f\xc2\x9b|\xe9t\xc3\xa9\t.");
    // A table written with propagation off stays off the screen.
    library().setAdditivity(false);
    LOG4CPLUS_ERROR(library(), "silent");
    library().setAdditivity(true);
    EXPECT_EQ(output.libraryErrors(), 1);
  }
  LOG4CPLUS_INFO(library(), "after the run");
  EXPECT_EQ(out.str(),
            "- Discover subnet(s)\n\n  **Error** warned\n  **Error** failed\n"
            "  us-east1                 10.0.0.0/8\n"
            "  10.0.0.0/8\\n{\"event\"}\\r\\x1b[2J\\x7f\\u009b|\xef\xbf\xbdt\xc3\xa9\t.\n");
  EXPECT_EQ(err.str(), "a note\ntolmi-gcp: a failure of the tool\n");
}

TEST(Output, QuietKeepsWarningsAndErrorsAndLogFileKeepsEverythingTimestamped) {
  std::string path = (std::filesystem::temp_directory_path() / "tolmi-output-test.log").string();
  std::filesystem::remove(path);
  std::ostringstream out, err;
  {
    Output output(out, err, {true, path});
    LOG4CPLUS_INFO(library(), "- Manage route(s) s1");
    LOG4CPLUS_ERROR(library(), "  **Error** failed");
    output.note("summary");
  }
  EXPECT_EQ(out.str(), "  **Error** failed\n");
  std::string log = readAll(path);
  std::filesystem::remove(path);
  std::regex expected(
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z INFO  - Manage route\\(s\\) s1\n"
      "\\S+ ERROR   \\*\\*Error\\*\\* failed\n"
      "\\S+ INFO  summary\n");
  EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

// What a reader of the stream has seen: the text as of the last flush.
struct FlushedText : std::stringbuf {
  std::string flushed;
  int sync() override {
    flushed = str();
    return 0;
  }
};

TEST(Output, LinesAreHeldUntilAWarningAFlushOrTheEnd) {
  FlushedText text;
  std::ostream out(&text);
  std::ostringstream err;
  {
    Output output(out, err, {});
    LOG4CPLUS_INFO(library(), "first");
    EXPECT_EQ(text.flushed, "");
    LOG4CPLUS_WARN(library(), "  **Error** warned");
    EXPECT_EQ(text.flushed, "first\n  **Error** warned\n");
    output.report("held");
    EXPECT_EQ(text.flushed, "first\n  **Error** warned\n");
    output.flush();  // as before each request
    EXPECT_EQ(text.flushed, "first\n  **Error** warned\nheld\n");
    output.report("last");
  }
  EXPECT_EQ(text.flushed, "first\n  **Error** warned\nheld\nlast\n");
}

TEST(Output, LogFileIsARegularFileOfTheOwnerOrAConfigurationError) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "tolmi-log-file-test";
  fs::remove_all(dir);
  fs::create_directory(dir);
  std::ostringstream out, err;
  ::mkfifo((dir / "fifo").c_str(), 0600);
  std::ofstream(dir / "shared.log").put('x');
  fs::permissions(dir / "shared.log", fs::perms(0640));
  fs::create_symlink(dir / "shared.log", dir / "link.log");
  for (const auto& [name, problem] :
       {std::pair{"missing/x.log", "cannot be opened"}, std::pair{"fifo", "is not a regular file"},
        std::pair{"link.log", "is a symbolic link"}}) {
    try {
      Output(out, err, {false, (dir / name).string()});
      ADD_FAILURE() << name;
    } catch (const ConfigError& failure) {
      EXPECT_NE(std::string(failure.what()).find(problem), std::string::npos) << failure.what();
    }
  }
  for (const char* name : {"new.log", "shared.log"})
    Output(out, err, {false, (dir / name).string()});
  EXPECT_EQ(fs::status(dir / "new.log").permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(dir / "shared.log").permissions(), fs::perms(0640));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tolmi_gcp::cli
