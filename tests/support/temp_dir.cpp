#include "temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tolmi_gcp::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolmi-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return (path_ / name).string(); }

std::string TempDir::write(const std::string& name, const std::string& text) const {
  std::string target = file(name);
  std::filesystem::create_directories(std::filesystem::path(target).parent_path());
  std::ofstream(target, std::ios::binary) << text;
  return target;
}

std::string TempDir::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tolmi_gcp::testing
