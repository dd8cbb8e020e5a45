#include "cli/revert_store.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib/cloud_router.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

constexpr int kFormatVersion = 1;

bool isRecord(const ResourceDocument& record) {
  if (!record.is_object()) return false;
  for (const char* member : {"peerings", "manage_routes", "cloud_routers"})
    if (!memberOrNull(record, member).is_object()) return false;
  for (const ResourceDocument& stage : record["manage_routes"])
    if (!stage.is_object()) return false;
  return true;
}

// A bare record, as another program of this tool may save it, is accepted as it is.
const ResourceDocument& recordOf(const ResourceDocument& stored) {
  return has(stored, "record") ? stored["record"] : stored;
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
  if (!previous || !isRecord(recordOf(*previous))) return;
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
      return {root / "peerings"};
    case Part::kRoutes:
      return {root / "manage_routes" / part.stage};
    case Part::kRouters:
      return {root / "cloud_routers", root / cloud_router::kChanges};
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

}  // namespace

std::string Part::label() const {
  switch (kind) {
    case kPeerings:
      return "peerings";
    case kRoutes:
      return "routes " + stage;
    case kRouters:
      return "routers";
  }
  return "";
}

std::string utcNow() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

RevertStore::RevertStore(const std::string& path, bool dryRun, std::string command)
    : file_(RevertFile::resolved(path)),
      target_(dryRun ? file_.path() + ".dry-run" : file_.path()),
      command_(std::move(command)) {
  file_.lock();
  ResourceDocument record = Globals::emptyRevertInfo();
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
  if (!isRecord(record))
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

bool RevertStore::recorded(const std::string& spoke, const Part& part) const {
  const ResourceDocument& record = Globals::getRevertInfo();
  const ResourceDocument::json_pointer holder = holdersOf(part).front();
  return record.contains(holder) && has(record.at(holder), spoke);
}

std::string RevertStore::state(const std::string& spoke, const Part& part) const {
  const ResourceDocument* entry = status(spoke, part);
  if (entry && memberOrNull(*entry, "state").is_string()) return (*entry)["state"];
  return recorded(spoke, part) ? "switched" : "";
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
                           {"record", ResourceDocument::object()}};
  for (const Part& part : parts) {
    if (const ResourceDocument* entry = std::as_const(*this).status(spoke, part))
      kept["parts"][part.label()] = *entry;
    for (const auto& holder : entriesOf(part, spoke))
      kept["record"][holder][spoke] = record.at(holder).at(spoke);
  }
  history_.push_back(std::move(kept));
}

void RevertStore::forget(const std::string& spoke, const std::vector<Part>& parts) {
  ResourceDocument& record = Globals::getRevertInfo();
  for (const Part& part : parts)
    for (const auto& holder : entriesOf(part, spoke)) record.at(holder).erase(spoke);
}

void RevertStore::mark(const std::string& spoke, const Part& part, const std::string& state) {
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
  std::string option = "--from-history " + std::to_string(index) + ": ";
  const std::size_t size = history_.size();
  if (index < 0 || static_cast<std::size_t>(index) >= size)
    throw ConfigError(option + file_.path() +
                      (size == 0 ? std::string(" keeps no record in its history")
                                 : " keeps " + std::to_string(size) +
                                       " record(s) in its history, numbered 0 to " +
                                       std::to_string(size - 1)));
  const ResourceDocument& kept = history_[static_cast<std::size_t>(index)];
  if (memberOrNull(kept, "spoke") != spoke)
    throw ConfigError(option + "that record is of " + textOf(memberOrNull(kept, "spoke")) +
                      ", not of " + spoke);
  mergeInto(Globals::getRevertInfo(), memberOrNull(kept, "record"));
  for (const auto& [label, entry] : memberOrNull(kept, "parts").items()) {
    Part part = label.starts_with("routes ")
                    ? Part{Part::kRoutes, label.substr(7)}
                    : Part{label == "peerings" ? Part::kPeerings : Part::kRouters, ""};
    *status(spoke, part) = entry;
    stamp(spoke, part, "switched");
  }
}

void RevertStore::save() {
  for (const auto& [entry, earlier] : kept_) mergeInto(Globals::getRevertInfo()[entry], earlier);
  target_.save({{"format_version", kFormatVersion},
                {"record", Globals::getRevertInfo()},
                {"spokes", spokes_},
                {"history", history_}});
}

RevertStore::~RevertStore() { Globals::setRevertInfoSaver(nullptr); }

void RevertStore::installSaver() {
  Globals::setRevertInfoSaver([this](const ResourceDocument&) { save(); });
}

}  // namespace tolmi_gcp::cli
