#include "tolmi_gcp/res/revert_record.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {

namespace {

constexpr const char* kPeerings = "peerings";
constexpr const char* kStages = "manage_routes";
constexpr const char* kRouters = "cloud_routers";
constexpr const char* kChanges = "cloud_router_changes";
constexpr const char* kDeleted = "deleted_route_list";
constexpr const char* kAdded = "added_route_list";
constexpr const char* kAddedRanges = "added_ranges";
constexpr const char* kRemovedRanges = "removed_ranges";
constexpr const char* kRemovedGroups = "removed_groups";

constexpr const char* kRecord = "record";  // the revert file's member that holds the record
constexpr int kFormatVersion = 1;

// The "name" of a recorded route document, "" when it has none.
std::string nameOf(const ResourceDocument& route) {
  const ResourceDocument& name = memberOrNull(route, "name");
  return name.is_string() ? name.get<std::string>() : "";
}

ResourceDocument& objectMember(ResourceDocument& parent, const std::string& key,
                               const std::string& what) {
  ResourceDocument& member = parent[key];
  if (member.is_null()) member = ResourceDocument::object();
  if (!member.is_object())
    throw ConfigError("revert record: " + what + " must be an object, got " + member.type_name());
  return member;
}

// A bare record, as another program of this tool may save it, is accepted as it is.
const ResourceDocument& recordOf(const ResourceDocument& stored) {
  return has(stored, kRecord) ? stored[kRecord] : stored;
}

// A lost or damaged revert file beside an intact .bak: the .bak is then the way back, so the run
// is refused rather than going on without it (a switch would replace it).
void refuseOverIntactBak(const std::string& path, const std::string& problem) {
  const std::string bak = path + ".bak";
  std::optional<ResourceDocument> previous;
  try {
    previous = RevertFile(bak).load();
  } catch (const ConfigError&) {
    return;
  }
  if (!previous || !RevertRecord::isRecord(recordOf(*previous))) return;
  throw ConfigError(problem + "; its previous version " + bak +
                    " is intact: to revert from it, copy it back to " + path + " (cp -p " + bak +
                    " " + path + ") and run again; to start without it, move it away");
}

// Where the record keeps the entries of `part`, keyed by spoke; the first holds what the part
// restores.
std::vector<ResourceDocument::json_pointer> holdersOf(const Part& part) {
  ResourceDocument::json_pointer root;
  switch (part.kind) {
    case Part::kPeerings:
      return {root / kPeerings};
    case Part::kRoutes:
      return {root / kStages / part.stage};
    case Part::kRouters:
      return {root / kRouters, root / kChanges};
  }
  return {};
}

// The holders of `part` that have an entry of `spoke`.
std::vector<ResourceDocument::json_pointer> entriesOf(const Part& part, const std::string& spoke) {
  const ResourceDocument& record = Globals::getRevertInfo();
  std::vector<ResourceDocument::json_pointer> found;
  for (const auto& holder : holdersOf(part))
    if (record.contains(holder) && has(record.at(holder), spoke)) found.push_back(holder);
  return found;
}

// Adds to `into` what `from` has and it lacks: members, recursively, and list elements.
void mergeInto(ResourceDocument& into, const ResourceDocument& from) {
  if (into.is_null()) {
    into = from;
  } else if (into.is_object() && from.is_object()) {
    for (const auto& [key, value] : from.items()) mergeInto(into[key], value);
  } else if (into.is_array() && from.is_array()) {
    for (const ResourceDocument& element : from)
      if (std::find(into.begin(), into.end(), element) == into.end()) into.push_back(element);
  }
}

std::optional<RouterChange> changeOf(const ResourceDocument& entry) {
  if (!entry.is_object()) return std::nullopt;
  return RouterChange{arrayOrEmpty(entry, kAddedRanges), arrayOrEmpty(entry, kRemovedRanges),
                      arrayOrEmpty(entry, kRemovedGroups)};
}

}  // namespace

// --- RevertRecord

ResourceDocument& RevertRecord::document() { return Globals::getRevertInfo(); }

void RevertRecord::saved() { Globals::revertInfoWritten(); }

ResourceDocument RevertRecord::empty() {
  ResourceDocument record = ResourceDocument::object();
  record[kPeerings] = ResourceDocument::object();
  record[kStages] = ResourceDocument::object();
  record[kRouters] = ResourceDocument::object();
  return record;
}

bool RevertRecord::isRecord(const ResourceDocument& record) {
  if (!record.is_object()) return false;
  for (const char* member : {kPeerings, kStages, kRouters})
    if (!memberOrNull(record, member).is_object()) return false;
  for (const ResourceDocument& stage : record[kStages])
    if (!stage.is_object()) return false;
  return true;
}

const ResourceDocument& RevertRecord::peeringPairs(const std::string& spoke) const {
  return memberOrNull(memberOrNull(document(), kPeerings), spoke);
}

bool RevertRecord::hasPeeringPairs(const std::string& spoke) const {
  return has(at(std::as_const(document()), kPeerings), spoke);
}

void RevertRecord::recordPeeringPair(const std::string& spoke, const ResourceDocument& pair) {
  static const ResourceDocument::json_pointer kLocalName("/localPeeringProperties/name");
  ResourceDocument& entry = at(document(), kPeerings)[spoke];
  if (entry.is_null()) entry = ResourceDocument::array();
  if (!entry.is_array())
    throw ArgumentTypeError(std::string(kPeerings) + "." + spoke, "an array of peering pairs",
                            entry);
  auto samePeering = std::find_if(entry.begin(), entry.end(), [&](const ResourceDocument& earlier) {
    return earlier.contains(kLocalName) && earlier[kLocalName] == pair[kLocalName];
  });
  if (samePeering != entry.end())
    *samePeering = pair;
  else
    entry.push_back(pair);
  saved();
}

void RevertRecord::setPeeringPairs(const std::string& spoke, ResourceDocument pairs) {
  at(document(), kPeerings)[spoke] = std::move(pairs);
  saved();
}

std::vector<std::string> RevertRecord::stagesOf(const std::string& spoke) const {
  std::vector<std::string> stages;
  for (const auto& entry : memberOrNull(document(), kStages).items())
    if (has(entry.value(), spoke)) stages.push_back(entry.key());
  return stages;
}

const ResourceDocument& RevertRecord::deletedRoutes(const std::string& stage,
                                                    const std::string& spoke) const {
  return arrayOrEmpty(memberOrNull(memberOrNull(memberOrNull(document(), kStages), stage), spoke),
                      kDeleted);
}

const ResourceDocument& RevertRecord::addedRoutes(const std::string& stage,
                                                  const std::string& spoke) const {
  return arrayOrEmpty(memberOrNull(memberOrNull(memberOrNull(document(), kStages), stage), spoke),
                      kAdded);
}

RevertRecord::StageRecord RevertRecord::startStage(const std::string& stage,
                                                   const std::string& spoke,
                                                   const std::set<std::string>& stillNamed) {
  ResourceDocument& stages = objectMember(document(), kStages, "\"manage_routes\"");
  ResourceDocument& stageLevel = objectMember(stages, stage, "stage '" + stage + "'");
  ResourceDocument earlier = valueOr(stageLevel, spoke, ResourceDocument());
  ResourceDocument record = {{kDeleted, ResourceDocument::array()},
                             {kAdded, ResourceDocument::array()}};
  for (const ResourceDocument& route : arrayOrEmpty(earlier, kDeleted))
    if (stillNamed.count(nameOf(route))) record[kDeleted].push_back(route);
  for (const ResourceDocument& name : arrayOrEmpty(earlier, kAdded))
    if (name.is_string() && stillNamed.count(name.get<std::string>()))
      record[kAdded].push_back(name);
  stageLevel[spoke] = std::move(record);
  saved();
  return StageRecord(stage, spoke);
}

std::optional<RevertRecord::StageRecord> RevertRecord::recordedStage(const std::string& stage,
                                                                     const std::string& spoke) {
  const ResourceDocument& stages = at(std::as_const(document()), kStages);
  if (!truthy(stages) || !has(stages, stage) || !has(at(stages, stage), spoke)) return std::nullopt;
  const ResourceDocument& record = at(at(stages, stage), spoke);
  const ResourceDocument& added = at(record, kAdded);
  const ResourceDocument& deleted = at(record, kDeleted);
  if (!added.is_array() || !deleted.is_array())
    throw ConfigError("revert record of stage '" + stage + "' for " + spoke +
                      ": both route lists must be lists");
  return StageRecord(stage, spoke);
}

ResourceDocument& RevertRecord::StageRecord::entry() const {
  return document()[kStages][stage_][spoke_];
}

const ResourceDocument& RevertRecord::StageRecord::deleted() const { return entry()[kDeleted]; }

const ResourceDocument& RevertRecord::StageRecord::added() const { return entry()[kAdded]; }

const ResourceDocument& RevertRecord::StageRecord::deletedEarlier(const std::string& name) const {
  static const ResourceDocument kNone;
  const ResourceDocument& list = deleted();
  auto found = std::find_if(list.begin(), list.end(),
                            [&](const ResourceDocument& route) { return nameOf(route) == name; });
  return found == list.end() ? kNone : *found;
}

void RevertRecord::StageRecord::recordDeleted(const std::string& name,
                                              const ResourceDocument& route) {
  ResourceDocument& list = entry()[kDeleted];
  auto same = std::find_if(list.begin(), list.end(), [&](const ResourceDocument& earlier) {
    return nameOf(earlier) == name;
  });
  if (same == list.end()) {
    list.push_back(route);
  } else {
    *same = route;
  }
  saved();
}

void RevertRecord::StageRecord::replaceDeleted(std::size_t index, ResourceDocument route) {
  entry()[kDeleted][index] = std::move(route);
  saved();
}

bool RevertRecord::StageRecord::recordAdded(const std::string& name) {
  ResourceDocument& list = entry()[kAdded];
  if (std::find(list.begin(), list.end(), name) != list.end()) return false;
  list.push_back(name);
  saved();
  return true;
}

void RevertRecord::StageRecord::dropAdded(const std::string& name) {
  ResourceDocument& list = entry()[kAdded];
  list.erase(std::find(list.begin(), list.end(), name));
  saved();
}

const ResourceDocument& RevertRecord::routers() const {
  return at(std::as_const(document()), kRouters);
}

const ResourceDocument& RevertRecord::routerEntries(const std::string& spoke) const {
  return memberOrNull(memberOrNull(document(), kRouters), spoke);
}

const ResourceDocument& RevertRecord::routerSettings(const std::string& spoke,
                                                     const std::string& router) const {
  return at(at(routers(), spoke), router);
}

void RevertRecord::setRouterSettings(const std::string& spoke, const std::string& router,
                                     ResourceDocument settings) {
  at(document(), kRouters)[spoke][router] = std::move(settings);
  saved();
}

std::optional<RouterChange> RevertRecord::routerChange(const std::string& spoke,
                                                       const std::string& router) const {
  return changeOf(memberOrNull(memberOrNull(memberOrNull(document(), kChanges), spoke), router));
}

void RevertRecord::recordRouter(
    const std::string& spoke, const std::string& router, const ResourceDocument& settings,
    const RouterChange& change,
    const std::function<bool(const std::optional<RouterChange>&)>& rerun) {
  ResourceDocument& record = document();
  // Taken first: adding a member to the record moves the others, and references into them.
  ResourceDocument& earlier = record[kChanges][spoke][router];
  ResourceDocument& cloudRouters = at(record, kRouters);
  if (!cloudRouters.is_object()) throw ArgumentTypeError(kRouters, "an object", cloudRouters);
  ResourceDocument& spokeRouters = cloudRouters[spoke];
  bool again = has(spokeRouters, router) && rerun(changeOf(earlier));
  if (!again) spokeRouters[router] = settings;
  if (again && earlier.is_object()) {
    mergeInto(earlier[kAddedRanges], change.addedRanges);
    mergeInto(earlier[kRemovedRanges], change.removedRanges);
    mergeInto(earlier[kRemovedGroups], change.removedGroups);
  } else {
    earlier = {{kAddedRanges, change.addedRanges},
               {kRemovedRanges, change.removedRanges},
               {kRemovedGroups, change.removedGroups}};
  }
  saved();
}

bool RevertRecord::recorded(const std::string& spoke, const Part& part) const {
  const ResourceDocument& record = document();
  const ResourceDocument::json_pointer holder = holdersOf(part).front();
  return record.contains(holder) && has(record.at(holder), spoke);
}

// --- RevertStore

std::string utcNow() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

RevertStore::RevertStore(const std::string& path, bool dryRun, std::string command, Access access)
    : file_(RevertFile::resolved(path)),
      target_(dryRun || access == Access::kReading ? file_.path() + ".dry-run" : file_.path()),
      command_(std::move(command)) {
  if (access == Access::kChanging) file_.lock();
  ResourceDocument record = RevertRecord::empty();
  try {
    std::optional<ResourceDocument> stored = file_.load();
    existed_ = stored.has_value();
    if (stored) record = adopt(*stored);
  } catch (const ConfigError& failure) {
    refuseOverIntactBak(file_.path(), failure.what());
    throw;
  }
  if (!existed_) refuseOverIntactBak(file_.path(), "revert file " + path + " does not exist");
  Globals::getRevertInfo() = std::move(record);
}

ResourceDocument RevertStore::adopt(const ResourceDocument& stored) {
  const std::string& path = file_.path();
  ResourceDocument record = recordOf(stored);
  if (!RevertRecord::isRecord(record))
    throw ConfigError("revert file " + path +
                      ": not a revert file of this tool (no valid \"record\" with \"peerings\", "
                      "\"manage_routes\" and \"cloud_routers\"); it was left untouched");
  spokes_ = valueOr(stored, "spokes", ResourceDocument::object());
  history_ = valueOr(stored, "history", ResourceDocument::array());
  if (!spokes_.is_object() || !history_.is_array())
    throw ConfigError("revert file " + path +
                      ": \"spokes\" must be an object and \"history\" a list; it was left "
                      "untouched");
  return record;
}

const ResourceDocument* RevertStore::status(const std::string& spoke, const Part& part) const {
  const ResourceDocument& parts = memberOrNull(spokes_, spoke);
  const ResourceDocument* found = nullptr;
  if (part.kind == Part::kRoutes) {
    const ResourceDocument& stages = memberOrNull(parts, "routes");
    if (has(stages, part.stage)) found = &stages[part.stage];
  } else {
    std::string key = part.label();
    if (has(parts, key)) found = &parts[key];
  }
  return found && found->is_object() ? found : nullptr;
}

ResourceDocument* RevertStore::status(const std::string& spoke, const Part& part) {
  ResourceDocument& parts = spokes_[spoke];
  if (!parts.is_object()) parts = ResourceDocument::object();
  ResourceDocument& entry =
      part.kind == Part::kRoutes ? parts["routes"][part.stage] : parts[part.label()];
  if (!entry.is_object()) entry = ResourceDocument::object();
  return &entry;
}

std::string RevertStore::state(const std::string& spoke, const Part& part) const {
  const ResourceDocument* entry = status(spoke, part);
  if (entry && memberOrNull(*entry, "state").is_string()) return (*entry)["state"];
  return RevertRecord{}.recorded(spoke, part) ? "switched" : "";
}

std::string RevertStore::stateTime(const std::string& spoke, const Part& part) const {
  const ResourceDocument* entry = status(spoke, part);
  if (!entry) return "";
  bool reverting = state(spoke, part).rfind("revert", 0) == 0;
  const ResourceDocument& at = memberOrNull(*entry, reverting ? "reverted_at" : "switched_at");
  return at.is_string() ? at.get<std::string>() : "";
}

void RevertStore::keepInHistory(const std::string& spoke, const std::vector<Part>& parts) {
  const ResourceDocument& record = Globals::getRevertInfo();
  ResourceDocument kept = {{"spoke", spoke},
                           {"replaced_at", utcNow()},
                           {"replaced_by", command_},
                           {"parts", ResourceDocument::object()},
                           {kRecord, ResourceDocument::object()}};
  for (const Part& part : parts) {
    if (const ResourceDocument* entry = std::as_const(*this).status(spoke, part))
      kept["parts"][part.label()] = *entry;
    for (const auto& holder : entriesOf(part, spoke))
      kept[kRecord][holder][spoke] = record.at(holder).at(spoke);
  }
  history_.push_back(std::move(kept));
}

void RevertStore::forget(const std::string& spoke, const std::vector<Part>& parts) {
  ResourceDocument& record = Globals::getRevertInfo();
  for (const Part& part : parts)
    for (const auto& holder : entriesOf(part, spoke)) record.at(holder).erase(spoke);
}

void RevertStore::mark(const std::string& spoke, const Part& part, const std::string& state) {
  ResourceDocument& stages = Globals::getRevertInfo()[kStages];
  if (part.kind == Part::kRoutes && !has(stages, part.stage))
    stages[part.stage] = ResourceDocument::object();
  stamp(spoke, part, state);
  save();
}

void RevertStore::stamp(const std::string& spoke, const Part& part, const std::string& state) {
  ResourceDocument& entry = *status(spoke, part);
  bool reverting = state.rfind("revert", 0) == 0;
  entry["state"] = state;
  entry[reverting ? "reverted_at" : "switched_at"] = utcNow();
  entry[reverting ? "reverted_by" : "switched_by"] = command_;
  if (!reverting) {
    entry.erase("reverted_at");
    entry.erase("reverted_by");
  }
}

void RevertStore::keepRecorded(const std::string& spoke, const Part& part) {
  for (const auto& holder : entriesOf(part, spoke))
    kept_.emplace_back(holder / spoke, Globals::getRevertInfo().at(holder / spoke));
}

void RevertStore::takeFromHistory(long long index, const std::string& spoke) {
  const std::size_t size = history_.size();
  if (index < 0 || static_cast<std::size_t>(index) >= size)
    throw ConfigError(file_.path() + (size == 0 ? std::string(" keeps no record in its history")
                                                : " keeps " + std::to_string(size) +
                                                      " record(s) in its history, numbered 0 to " +
                                                      std::to_string(size - 1)));
  const ResourceDocument& kept = history_[static_cast<std::size_t>(index)];
  if (memberOrNull(kept, "spoke") != spoke)
    throw ConfigError("that record is of " + textOf(memberOrNull(kept, "spoke")) + ", not of " +
                      spoke);
  mergeInto(Globals::getRevertInfo(), memberOrNull(kept, kRecord));
  for (const auto& [label, entry] : memberOrNull(kept, "parts").items()) {
    Part part = Part::fromLabel(label);
    *status(spoke, part) = entry;
    stamp(spoke, part, "switched");
  }
}

std::string RevertStore::placeOfPeeringPair(const std::string& spoke, std::size_t index) {
  return std::string("record.") + kPeerings + "[" + spoke + "][" + std::to_string(index) + "]";
}

std::string RevertStore::placeOfRouters(const std::string& spoke) {
  return std::string("record.") + kRouters + "[" + spoke + "]";
}

std::string RevertStore::placeOfDeletedRoute(const std::string& stage, const std::string& spoke,
                                             std::size_t index) {
  return std::string("record.") + kStages + "." + stage + "[" + spoke + "]." + kDeleted + "[" +
         std::to_string(index) + "]";
}

void RevertStore::save() {
  for (const auto& [entry, earlier] : kept_) mergeInto(Globals::getRevertInfo()[entry], earlier);
  target_.save({{"format_version", kFormatVersion},
                {kRecord, Globals::getRevertInfo()},
                {"spokes", spokes_},
                {"history", history_}});
}

RevertStore::~RevertStore() { Globals::setRevertInfoSaver(nullptr); }

void RevertStore::installSaver() {
  Globals::setRevertInfoSaver([this](const ResourceDocument&) { save(); });
}

}  // namespace tolmi_gcp
