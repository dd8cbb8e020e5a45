#include <gtest/gtest.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/initializer.h>

int main(int argc, char** argv) {
  log4cplus::Initializer initializer;
  // Records that find no appender must not print log4cplus's warning into test output.
  log4cplus::helpers::LogLog::getLogLog()->setQuietMode(true);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
