#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

int main(int argc, char** argv) {
  log4cplus::Initializer initializer;
  // Log lines are formed and handed to an appender as in the tool, but not written anywhere.
  log4cplus::Logger::getRoot().addAppender(
      log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
