#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/part.hpp"
#include "tolmi_gcp/res/revert_file.hpp"

namespace tolmi_gcp {

// What one spoke's switch changed on one router, as "cloud_router_changes" keeps it.
struct RouterChange {
  ResourceDocument addedRanges = ResourceDocument::array();    // range objects it added
  ResourceDocument removedRanges = ResourceDocument::array();  // range objects it removed
  ResourceDocument removedGroups = ResourceDocument::array();  // groups it removed
};

// The revert record: what the migration operations changed, by spoke network key
// ("project::vpc"), so that the restore operations can take it back. Readable JSON:
//   {"peerings": {spoke: [peering pairs, in the order found]},
//    "manage_routes": {stage: {spoke: {"deleted_route_list": [route documents as read],
//                                      "added_route_list": [names of created routes]}}},
//    "cloud_routers": {spoke: {router key: the router's "bgp" as read before the change}},
//    "cloud_router_changes": {spoke: {router key: {"added_ranges": [range objects],
//                                                  "removed_ranges": [range objects],
//                                                  "removed_groups": [groups]}}}}
// "cloud_router_changes" keeps what that spoke's switch changed on the router: several spokes
// share a router, so a restore takes back this change and leaves the others'. A record saved
// before changes were kept has none.
//
// A view of the process-wide record, Globals::getRevertInfo(). Reads that say "null when none"
// accept a record that lacks the level; the others throw MissingKeyError naming the missing
// member. Every write saves the record (Globals::revertInfoWritten) before it returns, so it is on
// disk before the next change request; a failed save throws and leaves the write in memory.
class RevertRecord {
 public:
  // {"peerings": {}, "manage_routes": {}, "cloud_routers": {}}.
  static ResourceDocument empty();
  // True for a document in the record's layout (as a file may hold it).
  static bool isRecord(const ResourceDocument& document);

  // --- peerings
  // The spoke's peering pairs; null when none.
  const ResourceDocument& peeringPairs(const std::string& spoke) const;
  bool hasPeeringPairs(const std::string& spoke) const;
  // Puts a pair into the spoke's entry, in the place of the recorded pair of the same spoke
  // peering (by the local end's name) if there is one. ArgumentTypeError when the entry is not a
  // list.
  void recordPeeringPair(const std::string& spoke, const ResourceDocument& pair);
  void setPeeringPairs(const std::string& spoke, ResourceDocument pairs);

  // --- route stages
  // The stages that hold an entry of the spoke, in the record's order.
  std::vector<std::string> stagesOf(const std::string& spoke) const;
  // The stage's recorded lists for the spoke; empty lists when none.
  const ResourceDocument& deletedRoutes(const std::string& stage, const std::string& spoke) const;
  const ResourceDocument& addedRoutes(const std::string& stage, const std::string& spoke) const;

  // One stage's route record of one spoke, which exists with both lists.
  class StageRecord {
   public:
    const ResourceDocument& deleted() const;
    const ResourceDocument& added() const;
    // The route of that name that the record holds as deleted, or null.
    const ResourceDocument& deletedEarlier(const std::string& name) const;
    // A route about to be deleted: its document replaces an earlier one of the same name.
    void recordDeleted(const std::string& name, const ResourceDocument& route);
    void replaceDeleted(std::size_t index, ResourceDocument route);
    // A route about to be created; false (and no write) when the name is recorded already.
    bool recordAdded(const std::string& name);
    void dropAdded(const std::string& name);

   private:
    friend class RevertRecord;
    StageRecord(std::string stage, std::string spoke)
        : stage_(std::move(stage)), spoke_(std::move(spoke)) {}
    ResourceDocument& entry() const;

    std::string stage_;
    std::string spoke_;
  };

  // Starts a run of the stage for the spoke: its record becomes one holding only the earlier
  // run's entries for routes in `stillNamed` (when a re-run finds such a route already deleted,
  // or cannot create it again, the earlier change is still in effect and must stay undoable), and
  // is saved. Creates the stage's levels; ConfigError when one is there but not an object.
  StageRecord startStage(const std::string& stage, const std::string& spoke,
                         const std::set<std::string>& stillNamed);
  // The stage's record of the spoke, none when "manage_routes" is empty or lacks it. Throws
  // MissingKeyError for a record without "manage_routes" or an entry without one of its lists, and
  // ConfigError when a list is not a list.
  std::optional<StageRecord> recordedStage(const std::string& stage, const std::string& spoke);

  // --- routers (a router key is RouterKey::text())
  // "cloud_routers": spoke, then router key, to the recorded settings.
  const ResourceDocument& routers() const;
  // The spoke's router entries (router key to settings); null when none.
  const ResourceDocument& routerEntries(const std::string& spoke) const;
  const ResourceDocument& routerSettings(const std::string& spoke, const std::string& router) const;
  void setRouterSettings(const std::string& spoke, const std::string& router,
                         ResourceDocument settings);
  // The change that the spoke's switch recorded for the router; none when there is no object
  // (a list it lacks is empty).
  std::optional<RouterChange> routerChange(const std::string& spoke,
                                           const std::string& router) const;
  // Records, before the router is patched, its settings as read and the change the patch makes.
  // When the router has an entry already and `rerun(the earlier change)` says this
  // is a re-run of a switch not taken back, the settings recorded first stay the way back and the
  // change is added to the earlier one (replaces it when there is none). ArgumentTypeError when
  // "cloud_routers" is not an object.
  void recordRouter(const std::string& spoke, const std::string& router,
                    const ResourceDocument& settings, const RouterChange& change,
                    const std::function<bool(const std::optional<RouterChange>&)>& rerun);

  // --- parts
  // True when the record holds an entry of this part for the spoke.
  bool recorded(const std::string& spoke, const Part& part) const;

 private:
  static ResourceDocument& document();
  static void saved();
};

// The revert file: the revert record, and per spoke and part whether it is switched, since when
// and by which command, plus the history of records that a forced switch replaced. Readable JSON:
//   {"format_version": 1, "record": {the revert record},
//    "spokes": {"proj::vpc": {"peerings": {"state": "switched", "switched_at": ...,
//                                          "switched_by": ..., "reverted_at": ...,
//                                          "reverted_by": ...},
//                             "routes": {"stage-1": {...}}, "routers": {...}}},
//    "history": [{"spoke", "replaced_at", "replaced_by", "parts", "record"}]}
// A history entry's "parts" holds the states by part label, its "record" has the record's
// layout, holding that spoke's entries only. A file that is a bare record counts as one.
// The record lives in Globals::getRevertInfo() while the store is open.
class RevertStore {
 public:
  // Locks `path` for the store's life and loads it into Globals' record (an empty record when the
  // file does not exist). A symbolic link stands for the file it leads to: that file is locked
  // and saved. A dry run saves to "<path>.dry-run" and never writes `path`. `command` stamps the
  // states this store sets. Throws ConfigError when the file is locked by another run, unreadable
  // or not a revert file, and when it is missing or unusable while "<path>.bak" holds an intact
  // record. With `reading` alone (for a look at the states while a run holds the lock), the file
  // is neither locked nor saved.
  enum class Access { kChanging, kReading };
  RevertStore(const std::string& path, bool dryRun, std::string command,
              Access access = Access::kChanging);
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

  // keepInHistory, forget, keepRecorded and takeFromHistory change the store in memory only: the
  // next save writes them, so that a run refused before its first change leaves the file as it
  // was.

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

  // Sets a part's state, stamped with the time and this store's command, and saves. A stage has
  // its level in the record from its first mark on.
  void mark(const std::string& spoke, const Part& part, const std::string& state);

  // Where an entry is in the file, as messages name it: "record.peerings[proj::vpc][0]",
  // "record.cloud_routers[proj::vpc]",
  // "record.manage_routes.stage-1[proj::vpc].deleted_route_list[0]".
  static std::string placeOfPeeringPair(const std::string& spoke, std::size_t index);
  static std::string placeOfRouters(const std::string& spoke);
  static std::string placeOfDeletedRoute(const std::string& stage, const std::string& spoke,
                                         std::size_t index);

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

// The current time as 2024-05-01T12:00:00Z, as the revert file stamps it.
std::string utcNow();

}  // namespace tolmi_gcp
