#pragma once

#include <optional>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// The file that keeps the revert record between runs: the only way back after a migration, so it
// is written durably, its previous version is kept as "<file>.bak", and one run at a time owns it.
// The content is any JSON document; the tool decides its layout.
class RevertFile {
 public:
  explicit RevertFile(std::string path);
  ~RevertFile();  // releases the lock
  RevertFile(const RevertFile&) = delete;
  RevertFile& operator=(const RevertFile&) = delete;

  const std::string& path() const { return path_; }

  // The file that `path` names once symbolic links are followed (it need not exist yet), so that
  // the lock and the saves of every name of one record are the same.
  static std::string resolved(const std::string& path);

  // Takes the exclusive lock on "<file>.lock", never through a symbolic link (ConfigError naming
  // it), for as long as this object lives. Never waits:
  // throws ConfigError naming the file (and the holder's pid when known) when another run, or
  // another RevertFile in this process, holds it.
  void lock();

  // The stored document, or nullopt when the file does not exist. Throws ConfigError naming the
  // file when it cannot be read or is not valid JSON; such a file is left as it is.
  std::optional<ResourceDocument> load() const;

  // Replaces the file's content durably: the new document goes to "<file>.tmp" (mode 0600) and
  // is synced, the current file becomes "<file>.bak", the temporary file is renamed over the file
  // and the folder is synced. At every instant the file or its .bak holds a complete version; a
  // failure throws Error naming the file and leaves the file as it was.
  void save(const ResourceDocument& document) const;

 private:
  std::string path_;
  int lockFd_ = -1;
};

}  // namespace tolmi_gcp
