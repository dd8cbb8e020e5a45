#pragma once

#include <filesystem>
#include <string>

namespace tolmi_gcp::testing {

// A fresh folder under the system's temporary folder, removed with everything in it on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path()/name as text.
  std::string file(const std::string& name) const;
  // Writes `text` to path()/name (making the folders on the way) and returns that path.
  std::string write(const std::string& name, const std::string& text) const;
  // The whole content of a file ("" when it cannot be read).
  static std::string read(const std::string& path);

 private:
  std::filesystem::path path_;
};

}  // namespace tolmi_gcp::testing
