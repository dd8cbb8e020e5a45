// Broken migration files: each is refused before anything reaches the API. Every file under
// tests/cli/broken starts with "# expect: TEXT", a part of the message that must name the problem.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/app.hpp"
#include "cli/demo.hpp"
#include "temp_dir.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;

const std::filesystem::path kBroken = std::filesystem::path(TOLMI_SOURCE_DIR) / "tests/cli/broken";

TEST(BrokenInput, EveryBrokenMigrationFileIsRefusedWithItsProblemNamedAndNothingSent) {
  LocalEmulator local(TOLMI_SOURCE_DIR "/examples/demo-topology.yaml");
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kBroken)) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::string text = TempDir::read(entry.path().string());
    ASSERT_TRUE(text.starts_with("# expect: ")) << "the file does not say what it expects";
    const std::string expected = text.substr(10, text.find('\n') - 10);
    TempDir dir;
    const std::string config = dir.write("m.yaml", text);

    std::ostringstream out, err;
    int status =
        runTool({"tolmi-gcp", "switch", "--config", config, "--endpoint", local.endpoint()}, out,
                err, false);

    EXPECT_EQ(status, 2);
    EXPECT_THAT(err.str(), HasSubstr(expected));
    EXPECT_THAT(err.str(), HasSubstr(config));
    EXPECT_EQ(local.emulator().journal()["requests"].size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(config + ".revert.json"));
    ++files;
  }
  EXPECT_GE(files, 30);
}

}  // namespace
}  // namespace tolmi_gcp::cli
