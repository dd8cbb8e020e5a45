#include "tolmi_gcp/res/revert_file.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "temp_dir.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/revert_file_saver.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class RevertFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Globals::reset();
    YamlContext::setContext(ResourceDocument::object());
  }
  void TearDown() override { Globals::reset(); }

  static ResourceDocument parsed(const std::string& path) {
    return ResourceDocument::parse(TempDir::read(path));
  }

  TempDir dir;
  std::string path = dir.file("migration.yaml.revert.json");
};

TEST_F(RevertFileTest, SavesEachVersionWholeAndKeepsThePreviousAsBak) {
  RevertFile file(path);
  EXPECT_EQ(file.load(), std::nullopt);

  ResourceDocument first = {{"zeta", 1}, {"alpha", {{"b", 2}, {"a", 1}}}};
  file.save(first);
  EXPECT_EQ(file.load()->dump(), first.dump());  // key order kept
  EXPECT_FALSE(fs::exists(path + ".bak"));
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ResourceDocument second = {{"zeta", 2}};
  file.save(second);
  EXPECT_EQ(*file.load(), second);
  EXPECT_EQ(parsed(path + ".bak"), first);

  file.save(ResourceDocument{{"zeta", 3}});
  EXPECT_EQ(parsed(path + ".bak"), second);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
      << "only the file and its .bak remain";
}

TEST_F(RevertFileTest, TheLibrarysRecordWritesReachTheFile) {
  RevertFile file(path);
  Globals::setRevertInfoSaver(revertFileSaver(file));
  Globals::getRevertInfo()["peerings"]["p::spoke"] = ResourceDocument::array();
  Globals::revertInfoWritten();
  EXPECT_EQ(*file.load(), Globals::getRevertInfo());

  Globals::getRevertInfo()["cloud_routers"]["p::spoke"] = {{"t::hub::r1::router", {}}};
  Globals::revertInfoWritten();
  EXPECT_EQ(*file.load(), Globals::getRevertInfo());
  EXPECT_EQ(parsed(path + ".bak")["cloud_routers"], ResourceDocument::object());
}

TEST_F(RevertFileTest, LeftoversAndPlantedNamesAreNeverWrittenThrough) {
  std::string victim = dir.write("victim", "untouched");
  fs::create_symlink(victim, path + ".tmp");
  fs::create_symlink(victim, path + ".bak.tmp");
  RevertFile file(path);
  file.save(ResourceDocument{{"v", 1}});
  file.save(ResourceDocument{{"v", 2}});
  EXPECT_EQ(TempDir::read(victim), "untouched");
  EXPECT_EQ(*file.load(), (ResourceDocument{{"v", 2}}));
  EXPECT_EQ(parsed(path + ".bak"), (ResourceDocument{{"v", 1}}));
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  EXPECT_FALSE(fs::is_symlink(path + ".bak.tmp"));
}

TEST_F(RevertFileTest, AFailedSaveLeavesTheFileAsItWas) {
  RevertFile file(path);
  ResourceDocument kept = {{"peerings", {{"p::spoke", {1, 2}}}}};
  file.save(kept);

  // The previous version cannot become the .bak: a non-empty folder has that name.
  fs::create_directories(path + ".bak/in-the-way");
  try {
    file.save(ResourceDocument{{"peerings", ResourceDocument::object()}});
    FAIL() << "expected Error";
  } catch (const Error& failure) {
    EXPECT_NE(std::string(failure.what()).find(path + ".bak"), std::string::npos) << failure.what();
  }
  EXPECT_EQ(*file.load(), kept);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  EXPECT_FALSE(fs::exists(path + ".bak.tmp"));

  // A document that cannot be written as JSON (invalid UTF-8) changes nothing either.
  EXPECT_THROW(file.save(ResourceDocument{{"name", "\xff\xfe"}}), Error);
  EXPECT_EQ(*file.load(), kept);

  RevertFile nowhere(dir.file("missing-folder/record.json"));
  EXPECT_THROW(nowhere.save(kept), Error);
  EXPECT_FALSE(fs::exists(dir.file("missing-folder")));
}

TEST_F(RevertFileTest, LoadRefusesAFileThatIsNotJsonAndLeavesIt) {
  for (std::string text : {std::string("{\"peerings\": {"), std::string()}) {
    dir.write("migration.yaml.revert.json", text);
    RevertFile file(path);
    try {
      file.load();
      FAIL() << "expected ConfigError for '" << text << "'";
    } catch (const ConfigError& failure) {
      EXPECT_NE(std::string(failure.what()).find(path), std::string::npos) << failure.what();
    }
    EXPECT_EQ(TempDir::read(path), text);
  }
  fs::remove(path);
  fs::create_directory(path);
  EXPECT_THROW(RevertFile(path).load(), ConfigError);
}

TEST_F(RevertFileTest, OneRunAtATimeEvenWithinOneProcess) {
  auto first = std::make_unique<RevertFile>(path);
  first->lock();
  first->lock();  // taking it again is harmless
  RevertFile second(path);
  try {
    second.lock();
    FAIL() << "expected ConfigError";
  } catch (const ConfigError& failure) {
    std::string message = failure.what();
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_NE(message.find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos)
        << message;
  }
  first.reset();
  EXPECT_NO_THROW(second.lock());
}

// Another process that takes the lock and holds it until released (or until this object ends,
// so that a failed assertion never leaves it waiting).
class LockHoldingProcess {
 public:
  explicit LockHoldingProcess(const std::string& path) {
    int locked[2];
    int finish[2];
    if (::pipe(locked) != 0 || ::pipe(finish) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(locked[0]);
      ::close(finish[1]);
      char signal = 'L';
      try {
        RevertFile held(path);
        held.lock();
        if (::write(locked[1], &signal, 1) != 1) ::_exit(2);
        // Returns at end of file, when the test releases it.
        if (::read(finish[0], &signal, 1) < 0) ::_exit(2);
      } catch (...) {
        ::_exit(3);
      }
      ::_exit(0);
    }
    ::close(locked[1]);
    ::close(finish[0]);
    release_ = finish[1];
    char signal = 0;
    holding_ = ::read(locked[0], &signal, 1) == 1;
    ::close(locked[0]);
  }
  ~LockHoldingProcess() { release(); }

  pid_t pid() const { return pid_; }
  bool holding() const { return holding_; }
  // Ends the process; its exit status (0 when it held the lock and ended normally).
  int release() {
    if (release_ < 0) return exitStatus_;
    ::close(release_);
    release_ = -1;
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) exitStatus_ = WEXITSTATUS(status);
    return exitStatus_;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool holding_ = false;
  int exitStatus_ = -1;
};

TEST_F(RevertFileTest, AnotherProcessHoldingTheLockIsNamed) {
  LockHoldingProcess other(path);
  ASSERT_TRUE(other.holding());
  RevertFile mine(path);
  try {
    mine.lock();
    FAIL() << "expected ConfigError";
  } catch (const ConfigError& failure) {
    EXPECT_NE(std::string(failure.what()).find("(pid " + std::to_string(other.pid()) + ")"),
              std::string::npos)
        << failure.what();
  }
  EXPECT_EQ(other.release(), 0);
  EXPECT_NO_THROW(mine.lock()) << "the lock is free once its holder has ended";
}

}  // namespace
}  // namespace tolmi_gcp
