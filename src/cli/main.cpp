#include <unistd.h>

#include <iostream>

#include <log4cplus/helpers/loglog.h>
#include <log4cplus/initializer.h>

#include "cli/app.hpp"

int main(int argc, char** argv) {
  log4cplus::Initializer initializer;
  // The tool attaches its own appenders; log4cplus must not print its own notices to users.
  log4cplus::helpers::LogLog::getLogLog()->setQuietMode(true);
  std::vector<std::string> args(argv, argv + argc);
  return tolmi_gcp::cli::runTool(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1,
                                 isatty(STDIN_FILENO) == 1 ? &std::cin : nullptr);
}
