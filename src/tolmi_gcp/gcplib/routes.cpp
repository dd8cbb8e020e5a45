// Static routes of one migration stage: deleting and creating them, and undoing both.

#include "tolmi_gcp/gcplib/routes.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <type_traits>

#include <openssl/evp.h>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp {

using routes::createdByTool;

namespace {

constexpr const char* kCreatedMarker =
    "Tessavon-Created-Resource: Do-Not-Delete-Tessavon-Created-Resource";
constexpr int kDefaultPriority = 1000;

// Runs one item's step. A failure is logged after "  **Error** " and the caller goes on with the
// next item: it gets an empty optional (or false for a step without a result).
template <typename Step>
auto attemptOrError(Step step) {
  using Result = std::invoke_result_t<Step>;
  try {
    if constexpr (std::is_void_v<Result>) {
      step();
      return true;
    } else {
      return std::optional<Result>(step());
    }
  } catch (const OperationTimeoutError&) {
    throw;
  } catch (const std::exception& failure) {
    frame::error("  **Error** " + std::string(failure.what()));
    if constexpr (std::is_void_v<Result>) {
      return false;
    } else {
      return std::optional<Result>();
    }
  }
}

// A restore step with nothing to do: the route is gone already or back as recorded (left by an
// interrupted restore), or it is not the tool's to remove. Its line is written as for a failure,
// but nothing is left unrestored.
class NothingToRestore : public Error {
 public:
  using Error::Error;
};

// Runs one restore step. A failure is logged after "  **Alert** " and, unless there was nothing to
// restore, counted in Globals::failedRestores; the caller goes on with the next route.
template <typename Step>
void restoreStep(Step step) {
  try {
    step();
  } catch (const OperationTimeoutError&) {
    throw;
  } catch (const NothingToRestore& done) {
    frame::info("  **Alert** " + std::string(done.what()));
  } catch (const std::exception& failure) {
    frame::info("  **Alert** " + std::string(failure.what()));
    ++Globals::failedRestores;
  }
}

void awaitChange(ComputeService& service, const std::string& project,
                 const ResourceDocument& operation) {
  GcpLib::wait_for_global_operation(service, project, at(operation, "name"));
}

const std::string& routeName(const ResourceDocument& name) {
  if (!name.is_string()) throw ArgumentTypeError("route name", "a string", name);
  return name.get_ref<const std::string&>();
}

// The seed takes the priority as written: digits for an integer, a text as it is, None for null.
std::string priorityText(const ResourceDocument& priority) {
  if (priority.is_null()) return "None";
  if (priority.is_string()) return priority.get<std::string>();
  if (priority.is_number_integer()) return priority.dump();
  throw ArgumentTypeError("priority", "an integer, a text or null", priority);
}

// A present "delete" or "add" must be a list: anything else is refused before any request, so
// a mistyped stage is never half applied.
const ResourceDocument& stageList(const ResourceDocument& manage_routes, const char* key,
                                  const std::string& stage) {
  static const ResourceDocument kNone = ResourceDocument::array();
  if (!has(manage_routes, key)) return kNone;
  const ResourceDocument& list = manage_routes[key];
  if (!list.is_array())
    throw ConfigError("route configuration of stage '" + stage + "': \"" + key +
                      "\" must be a list, got " + list.type_name());
  return list;
}

// The names of the routes that the stage's configuration deletes and creates, as far as they can
// be told without a request; an entry that cannot be named fails later, in its turn.
std::set<std::string> configuredNames(const std::string& project, const std::string& vpc,
                                      const ResourceDocument& deletions,
                                      const ResourceDocument& additions) {
  std::set<std::string> names;
  for (const ResourceDocument& name : deletions)
    if (name.is_string()) names.insert(name.get<std::string>());
  for (const ResourceDocument& entry : additions) {
    try {
      names.insert(routes::createdRouteName(project, vpc, entry));
    } catch (const Error&) {
    }
  }
  return names;
}

// The project's route of `meant`'s name when it routes as `meant` says; none when it does not,
// or cannot be read.
std::optional<ResourceDocument> inPlace(ComputeService& service, const std::string& project,
                                        const ResourceDocument& meant) {
  try {
    ResourceDocument route = service.routes().get(project, routeName(at(meant, "name"))).execute();
    if (routes::routingDifferences(route, meant).empty()) return route;
  } catch (const Error&) {
  }
  return std::nullopt;
}

}  // namespace

bool routes::createdByTool(const ResourceDocument& route) {
  return memberOrNull(route, "description") == kCreatedMarker;
}

ResourceDocument routes::createdRouteBody(const std::string& project, const std::string& vpc,
                                          const ResourceDocument& entry) {
  ResourceDocument body = ResourceDocument::object();
  body["destRange"] = stringAt(entry, "cidr");
  body["nextHopInstance"] = stringAt(entry, "dest_instance");
  body["priority"] = kDefaultPriority;
  body["name"] = createdRouteName(project, vpc, entry);
  body["zone"] = stringAt(entry, "zone");
  body["network"] = Globals::networkLink;
  body["description"] = kCreatedMarker;
  const ResourceDocument& priority = at(entry, "priority");
  if (!priority.is_null()) body["priority"] = priority;
  // Optional; without tags the route applies to every instance of the network.
  const ResourceDocument& tags = memberOrNull(entry, "tags");
  auto isText = [](const ResourceDocument& tag) { return tag.is_string(); };
  if (!tags.is_null() && !(tags.is_array() && std::all_of(tags.begin(), tags.end(), isText)))
    throw ArgumentTypeError("tags", "a list of network tags", tags);
  if (!tags.empty()) body["tags"] = tags;
  return body;
}

bool routes::replacedByTool(const ResourceDocument& current, const ResourceDocument& recorded) {
  return createdByTool(current) && memberOrNull(current, "id") != memberOrNull(recorded, "id");
}

std::string routes::createdRouteName(const std::string& project, const std::string& vpc,
                                     const ResourceDocument& entry) {
  std::string generated = generatedRouteName(project, vpc, entry);
  const ResourceDocument& name = at(entry, "name");
  return name.is_null() ? generated : routeName(name);
}

std::vector<std::string> routes::routingDifferences(const ResourceDocument& current,
                                                    const ResourceDocument& meant) {
  // What makes a route route the way it does. The API leaves an empty list of tags out.
  static constexpr const char* kRoutingFields[] = {
      "destRange", "network",    "priority",        "tags", "nextHopGateway", "nextHopInstance",
      "nextHopIp", "nextHopIlb", "nextHopVpnTunnel"};
  auto value = [](const ResourceDocument& route, const char* field) {
    const ResourceDocument& member = memberOrNull(route, field);
    return member.is_array() && member.empty() ? ResourceDocument() : member;
  };
  std::vector<std::string> fields;
  for (const char* field : kRoutingFields) {
    // A load-balancer next hop's address is left out: a restore drops it before insert and the
    // API fills it in anew.
    if (std::string_view(field) == "nextHopIp" && has(meant, "nextHopIlb")) continue;
    if (value(current, field) != value(meant, field)) fields.push_back(field);
  }
  return fields;
}

std::string routes::generatedRouteName(const std::string& project, const std::string& vpc,
                                       const ResourceDocument& entry) {
  std::string seed = project + vpc + stringAt(entry, "cidr") + stringAt(entry, "zone") +
                     stringAt(entry, "dest_instance") + priorityText(at(entry, "priority"));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(seed.data(), seed.size(), digest, &size, EVP_md5(), nullptr) != 1)
    throw Error("MD5 of the route name seed failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "tvn-";
  for (unsigned int i = 0; i < size; ++i) {
    name += kHex[digest[i] >> 4];
    name += kHex[digest[i] & 0x0f];
  }
  return name;
}

void GcpLib::manageRoute(ComputeService& service, const ResourceDocument& manage_routes,
                         const std::string& stage) {
  frame::info("- Manage route(s) " + stage);
  if (manage_routes.is_null()) return frame::info("  No route config found!");
  if (!manage_routes.is_object())
    throw ConfigError("route configuration of stage '" + stage + "' must be a mapping, got " +
                      manage_routes.type_name());
  std::string project = frame::configText("project_id");
  std::string vpc = frame::configText("vpc_name");
  const ResourceDocument& deletions = stageList(manage_routes, "delete", stage);
  const ResourceDocument& additions = stageList(manage_routes, "add", stage);
  // Saved before each change that it covers.
  RevertRecord::StageRecord record = RevertRecord{}.startStage(
      stage, NetworkKey{project, vpc}.text(), configuredNames(project, vpc, deletions, additions));

  // A re-run of a stage left half-way does what is left: a route it deleted is not there to
  // delete, a route it created is not created again.
  auto deleteRoute = [&](const ResourceDocument& name) {
    bool done = false;
    std::optional<ResourceDocument> route = attemptOrError([&] {
      frame::info("  delete route " + textOf(name));
      const ResourceDocument& recorded = record.deletedEarlier(routeName(name));
      try {
        ResourceDocument current = service.routes().get(project, routeName(name)).execute();
        done = !recorded.is_null() && routes::replacedByTool(current, recorded);
        return current;
      } catch (const HttpError& failure) {
        done = failure.status() == 404 && !recorded.is_null();
        if (!done) throw;
        return ResourceDocument();
      }
    });
    if (done) frame::info("  route " + textOf(name) + " is deleted already, as recorded");
    if (!route || done) return;
    // Outside the per-item handling: a record that cannot be saved stops the run unchanged.
    record.recordDeleted(routeName(name), *route);
    attemptOrError([&] {
      if (Globals::getDryRun()) return;
      awaitChange(service, project, service.routes().delete_(project, routeName(name)).execute());
    });
  };

  auto createRoute = [&](const ResourceDocument& entry) {
    std::optional<ResourceDocument> body = attemptOrError([&] {
      ResourceDocument body = routes::createdRouteBody(project, vpc, entry);
      ResourceDocument instance =
          service.instances()
              .get(project, stringAt(entry, "zone"), stringAt(entry, "dest_instance"))
              .execute();
      body["nextHopInstance"] = at(instance, "selfLink");
      frame::info("  add route " + stringAt(entry, "cidr") + " to " +
                  stringAt(entry, "dest_instance") + " priority " + textOf(body["priority"]) +
                  " name " + textOf(body["name"]));
      return body;
    });
    if (!body) return;
    std::string name = (*body)["name"].get<std::string>();
    bool newlyRecorded = record.recordAdded(name);
    if (!newlyRecorded) {
      std::optional<ResourceDocument> route = inPlace(service, project, *body);
      if (route && createdByTool(*route)) {
        frame::info("  route " + name + " is in place already, as recorded");
        return;
      }
    }
    // Only a client error or a failed operation proves this run did not create the route; after
    // a lost connection or a server error it may exist, and its name must stay recorded so that a
    // restore removes it. A client error after an earlier try went unanswered proves nothing. So
    // a route of that name that exists already (409) stays recorded only when this stage's record
    // held the name before: another stage's route is never this stage's to remove.
    bool dropName = false;
    attemptOrError([&] {
      if (Globals::getDryRun()) return;
      ResourceDocument operation;
      try {
        operation = service.routes().insert(project, *body).execute();
      } catch (const HttpError& failure) {
        dropName = newlyRecorded && failure.status() < 500 && !failure.answerLost();
        throw;
      }
      try {
        awaitChange(service, project, operation);
      } catch (const OperationError&) {
        dropName = newlyRecorded;
        throw;
      }
    });
    if (dropName) record.dropAdded(name);
  };

  if (!Globals::makeBeforeBreak) {
    for (const ResourceDocument& name : deletions) deleteRoute(name);
    for (const ResourceDocument& entry : additions) createRoute(entry);
    return;
  }
  // Make before break: a new route goes in before the old ones go, so that their traffic always
  // has a route, unless it takes the name of a route to delete, which must go first.
  auto replacesByName = [&](const ResourceDocument& entry) {
    try {
      const std::string name = routes::createdRouteName(project, vpc, entry);
      return std::find(deletions.begin(), deletions.end(), name) != deletions.end();
    } catch (const Error&) {
      return false;  // the entry fails in its turn, whichever that is
    }
  };
  for (const ResourceDocument& entry : additions)
    if (!replacesByName(entry)) createRoute(entry);
  for (const ResourceDocument& name : deletions) deleteRoute(name);
  for (const ResourceDocument& entry : additions)
    if (replacesByName(entry)) createRoute(entry);
}

void GcpLib::restoreRoute(ComputeService& service, const std::string& stage) {
  frame::info("- Restore route(s) " + stage);
  std::string project = frame::configText("project_id");
  std::string vpc = frame::configText("vpc_name");
  std::string networkKey = NetworkKey{project, vpc}.text();
  if (std::optional<RevertRecord::StageRecord> record =
          RevertRecord{}.recordedStage(stage, networkKey)) {
    for (const ResourceDocument& name : record->added()) {
      restoreStep([&] {
        frame::info("  remove route " + textOf(name));
        if (Globals::getDryRun()) return;
        try {
          // A name in the record proves nothing about the route that has it now.
          if (!createdByTool(service.routes().get(project, routeName(name)).execute()))
            throw NothingToRestore("route " + routeName(name) +
                                   " does not carry this tool's description: left in place");
          awaitChange(service, project,
                      service.routes().delete_(project, routeName(name)).execute());
        } catch (const HttpError& failure) {
          if (failure.status() == 404) throw NothingToRestore(failure.what());
          throw;
        }
      });
    }
    for (std::size_t i = 0; i < record->deleted().size(); ++i) {
      restoreStep([&] {
        ResourceDocument route = record->deleted()[i];
        frame::info("  restore route " + textOf(at(route, "destRange")));
        if (Globals::getDryRun()) return;
        // The API reports the forwarding address of a load-balancer next hop, but refuses it
        // back on insert.
        if (has(route, "nextHopIlb") && has(route, "nextHopIp")) {
          route.erase("nextHopIp");
          record->replaceDeleted(i, route);
        }
        try {
          awaitChange(service, project, service.routes().insert(project, route).execute());
        } catch (const OperationTimeoutError&) {
          throw;
        } catch (const Error& failure) {
          if (inPlace(service, project, route)) throw NothingToRestore(failure.what());
          throw;
        }
      });
    }
  }
  frame::info("  Done");
}

void GcpLib::manageSwitchRoute(bool request, const std::string& stage) {
  ResourceDocument section = frame::config("manage_routes");
  if (section.is_null()) return;
  if (!section.is_object())
    throw ConfigError(std::string("\"manage_routes\" must be a mapping of stages, got ") +
                      section.type_name());
  ComputeService& service = frame::globalService();
  if (!request) return restoreRoute(service, stage);
  if (has(section, stage)) manageRoute(service, section[stage], stage);
}

}  // namespace tolmi_gcp
