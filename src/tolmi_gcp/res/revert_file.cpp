#include "tolmi_gcp/res/revert_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/revert_file_saver.hpp"

namespace tolmi_gcp {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Closes on scope exit, so that no early throw leaks a descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports failure: a failed close can mean lost data.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

void writeAll(int fd, const std::string& text, const std::string& path) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw Error(systemError("cannot write", path));
    }
    done += static_cast<std::size_t>(written);
  }
}

void syncFolder(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0)
    throw Error(systemError("cannot sync folder", folder));
}

// Removes a leftover of an interrupted save; a name that does not exist is fine.
void removeStale(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw Error(systemError("cannot remove stale", path));
}

void saveDurably(const std::string& path, const ResourceDocument& document) {
  std::string text = jsonText(document, 2) + "\n";

  const std::string tmp = path + ".tmp";
  const std::string bak = path + ".bak";
  const std::string bakTmp = path + ".bak.tmp";
  try {
    // A fresh, exclusive create: a leftover or planted name (a symlink) is never written through.
    removeStale(tmp);
    Descriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) throw Error(systemError("cannot create", tmp));
    writeAll(fd.get(), text, tmp);
    if (::fsync(fd.get()) != 0) throw Error(systemError("cannot sync", tmp));
    if (!fd.close()) throw Error(systemError("cannot close", tmp));

    // The current version becomes the .bak through a second name, so that the file and a complete
    // .bak exist at every instant.
    removeStale(bakTmp);
    if (::link(path.c_str(), bakTmp.c_str()) == 0) {
      if (::rename(bakTmp.c_str(), bak.c_str()) != 0)
        throw Error(systemError("cannot keep the previous version as", bak));
    } else if (errno != ENOENT) {
      throw Error(systemError("cannot keep the previous version of", path));
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) throw Error(systemError("cannot replace", path));
  } catch (...) {
    ::unlink(tmp.c_str());
    ::unlink(bakTmp.c_str());
    throw;
  }
  syncFolder(path);
}

// The pid that the current holder wrote into the lock file, or "" when unknown.
std::string lockHolder(int fd) {
  char buffer[32] = {};
  ssize_t count = ::pread(fd, buffer, sizeof buffer - 1, 0);
  if (count <= 0) return "";
  std::string pid(buffer, static_cast<std::size_t>(count));
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  return pid;
}

}  // namespace

RevertFile::RevertFile(std::string path) : path_(std::move(path)) {}

std::string RevertFile::resolved(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path current(path);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code failed;
    if (!fs::is_symlink(current, failed)) return current.string();
    fs::path target = fs::read_symlink(current, failed);
    if (failed) throw ConfigError("revert file " + path + ": " + failed.message());
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  throw ConfigError("revert file " + path + ": too many levels of symbolic links");
}

RevertFile::~RevertFile() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

void RevertFile::lock() {
  if (lockFd_ >= 0) return;
  const std::string lockPath = path_ + ".lock";
  // Never through a link: the pid written below would land in whatever file it names.
  Descriptor fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0 && errno == ELOOP)
    throw ConfigError("lock file " + lockPath +
                      " is a symbolic link; a lock is never opened through a link: remove the "
                      "link and run again");
  if (fd.get() < 0) throw ConfigError(systemError("cannot open lock file", lockPath));
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) throw ConfigError(systemError("cannot lock", lockPath));
    std::string holder = lockHolder(fd.get());
    throw ConfigError("revert file " + path_ + " is in use by another run" +
                      (holder.empty() ? "" : " (pid " + holder + ")") +
                      "; wait for it to finish or use another revert file");
  }
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0)
    throw ConfigError(systemError("cannot write the pid into lock file", lockPath));
  lockFd_ = fd.release();
}

std::optional<ResourceDocument> RevertFile::load() const {
  Descriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw ConfigError(systemError("cannot read revert file", path_));
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      throw ConfigError(systemError("cannot read revert file", path_));
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
  try {
    return parseDocument(text);
  } catch (const DocumentError& failure) {
    throw ConfigError("revert file " + path_ + " is not valid JSON (" + failure.what() +
                      "); it was left as it is");
  }
}

void RevertFile::save(const ResourceDocument& document) const { saveDurably(path_, document); }

Globals::Saver revertFileSaver(const RevertFile& file) {
  return [path = file.path()](const ResourceDocument& record) { saveDurably(path, record); };
}

}  // namespace tolmi_gcp
