#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/res/revert_file.hpp"

namespace tolmi_gcp::cli {

// A piece of a spoke's migration that is switched and reverted as a whole: its peerings, one
// route stage, or its routers' advertisements.
struct Part {
  enum Kind { kPeerings, kRoutes, kRouters } kind;
  std::string stage;  // for kRoutes

  std::string label() const;  // "peerings", "routes stage-1", "routers"
};

// The revert file as the tool keeps it: the library's revert record, and per spoke and part
// whether it is switched, since when and by which command, plus the history of records that a
// forced switch replaced. Readable JSON:
//   {"format_version": 1, "record": {"peerings": ..., "manage_routes": ..., "cloud_routers": ...},
//    "spokes": {"proj::vpc": {"peerings": {"state": "switched", "switched_at": ..., ...},
//                             "routes": {"stage-1": {...}}, "routers": {...}}},
//    "history": [{"spoke", "replaced_at", "replaced_by", "parts", "record"}]}
// A history entry's "record" has the layout of "record", holding that spoke's entries only.
// The record lives in Globals::getRevertInfo() while the store is open.
class RevertStore {
 public:
  // Locks `path` for the store's life and loads it into Globals' record (an empty record when the
  // file does not exist). A symbolic link stands for the file it leads to: that file is locked
  // and saved. A dry run saves to "<path>.dry-run" and never writes `path`. Throws
  // ConfigError when the file is locked by another run, unreadable or not a revert file, and
  // when it is missing or unusable while "<path>.bak" holds an intact record.
  RevertStore(const std::string& path, bool dryRun, std::string command);
  ~RevertStore();  // uninstalls the saver
  RevertStore(const RevertStore&) = delete;
  RevertStore& operator=(const RevertStore&) = delete;

  bool existed() const { return existed_; }
  // Where saves go: the revert file, or its ".dry-run" twin.
  const std::string& savePath() const { return target_.path(); }

  // "switching", "switched", "reverting", "reverted", or "" when the part was never switched. A
  // part recorded without a state (a record saved by another program) counts as switched.
  std::string state(const std::string& spoke, const Part& part) const;
  // When the part reached its state, "" when unknown.
  std::string stateTime(const std::string& spoke, const Part& part) const;

  // True when the record holds an entry of this part for the spoke.
  bool recorded(const std::string& spoke, const Part& part) const;

  // keepInHistory, forget and takeFromHistory change the store in memory only: the next save
  // writes them, so that a run refused before its first change leaves the file as it was.

  // Copies the spoke's record entries (in the record's own layout) and the states of these parts
  // into the history.
  void keepInHistory(const std::string& spoke, const std::vector<Part>& parts);
  // Removes the spoke's record entries of these parts.
  void forget(const std::string& spoke, const std::vector<Part>& parts);

  // Keeps the spoke's entries of this part, as recorded now, in the record from now on: every save
  // merges them back, so a forced re-run never leaves less to restore than there was.
  void keepRecorded(const std::string& spoke, const Part& part);

  // Puts the record kept in history entry `index` back into the record, merged with what is there,
  // and marks its parts switched, so that a revert restores from it. Throws ConfigError naming
  // the range of entries when there is no such entry (`index` may be negative, as typed), and
  // when it is of another spoke.
  void takeFromHistory(long long index, const std::string& spoke);

  // Sets a part's state, stamped with the time and this run's command, and saves.
  void mark(const std::string& spoke, const Part& part, const std::string& state);

  // Writes the whole file durably; installed as Globals' saver so every record write lands.
  void save();
  void installSaver();

 private:
  // Takes the spokes and history of a loaded file and returns its record; throws ConfigError
  // when it is not a revert file.
  ResourceDocument adopt(const ResourceDocument& stored);
  ResourceDocument* status(const std::string& spoke, const Part& part);
  void stamp(const std::string& spoke, const Part& part, const std::string& state);
  const ResourceDocument* status(const std::string& spoke, const Part& part) const;

  RevertFile file_;
  RevertFile target_;
  bool existed_ = false;
  std::string command_;
  ResourceDocument spokes_ = ResourceDocument::object();
  ResourceDocument history_ = ResourceDocument::array();
  std::vector<std::pair<ResourceDocument::json_pointer, ResourceDocument>> kept_;
};

// The current time as 2024-05-01T12:00:00Z.
std::string utcNow();

}  // namespace tolmi_gcp::cli
