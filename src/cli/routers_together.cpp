#include "cli/routers_together.hpp"

#include <algorithm>
#include <memory>
#include <ostream>
#include <sstream>

#include "cli/change_log.hpp"
#include "cli/held_router_patches.hpp"
#include "cli/interruption.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/parts.hpp"
#include "tolmi_gcp/res/revert_record.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

// The spoke a migration file names, or the file when it names none (its run says why).
std::string spokeOf(const std::string& config) {
  try {
    return EstateScope::of(parseYamlFile(config)).spoke.text();
  } catch (const Error&) {
    return config;
  }
}

struct HeldRun {
  std::string config, spoke;
};

// "cr-1 (p, us-east1)".
std::string routerText(const ResourceLink& router) {
  return router.name() + " (" + router.project() + ", " + router.location() + ")";
}

class Together {
 public:
  Together(const Invocation& in, Output& output, std::ostream& text, std::ostream* terminal)
      : in_(in), out_(output), text_(text), terminal_(terminal) {}

  int run();

 private:
  void header(const std::string& title);
  void passOn(const std::string& events, const ResourceDocument& spoke);
  bool sendHeld();
  bool sendOne(const HeldRouterPatches::Held& held, const ComputeService& base);
  void mark();

  const Invocation& in_;
  Output& out_;
  std::ostream& text_;
  std::ostream* terminal_;
  bool switching_ = in_.command == "switch";
  std::shared_ptr<HeldRouterPatches> held_ = std::make_shared<HeldRouterPatches>();
  std::vector<HeldRun> runs_;
};

void Together::header(const std::string& title) {
  out_.flush();
  if (!in_.events) text_ << "== " << title << " ==" << std::endl;
  out_.err() << "== " << title << " ==" << std::endl;
}

void Together::passOn(const std::string& events, const ResourceDocument& spoke) {
  std::istringstream lines(events);
  for (std::string line; std::getline(lines, line);)
    *in_.events << eventWithSpoke(line, spoke) << '\n';
  in_.events->flush();
}

int Together::run() {
  std::vector<std::string> configs = in_.configs;
  // A revert takes the changes back in the opposite order, so that each spoke finds the router
  // as its own switch left it.
  if (!switching_) std::reverse(configs.begin(), configs.end());
  for (const std::string& config : configs) {
    Invocation one = in_;
    one.config = config;
    one.configs = {config};
    one.revertFile = defaultRevertFile(config);
    one.heldRouterPatches = held_;
    std::ostringstream events;
    if (in_.events) one.events = &events;
    HeldRun run{config, spokeOf(config)};
    held_->setSpoke(run.spoke);
    header(run.spoke + " (" + config + "): routers");
    int status = runCommand(one, out_, terminal_);
    if (in_.events) passOn(events.str(), run.spoke);
    if (status != kDone) {
      out_.fail("tolmi-gcp: the routers shared by the wave's spokes are not patched: the run of " +
                config + " ended with exit status " + std::to_string(status) +
                (runs_.empty() ? "" : "; the routers parts run before it stay with their records"));
      return status;
    }
    runs_.push_back(std::move(run));
  }
  if (in_.dryRun) return kDone;
  std::vector<std::string> spokes;
  for (const HeldRun& run : runs_) spokes.push_back(run.spoke);
  header("routers of " + joined(spokes, ", ") + ": one patch per router");
  if (!sendHeld()) return kStopped;
  mark();
  return kDone;
}

// Sends one router's held patches as one, and reads the router back; false when the patch is
// refused, fails or does not read back as held. Its change events carry the spokes whose changes
// it carries.
bool Together::sendOne(const HeldRouterPatches::Held& held, const ComputeService& base) {
  std::ostringstream events;
  auto changes = std::make_shared<ChangeLog>(out_, in_.events ? &events : nullptr);
  changes->setPart("routers");
  ComputeService api = base.withObserver(
      std::make_shared<InterruptibleObserver>(std::vector<std::shared_ptr<RequestObserver>>{
          std::make_shared<FlushBeforeRequests>(out_), changes}));
  const ResourceLink& router = held.router;
  const std::string name = routerText(router);
  const ResourceDocument& bgp = memberOrNull(held.body, "bgp");
  out_.report("  patch " + name + " once for " + joined(held.spokes, ", ") + ", bgp " +
              textOf(bgp));
  bool sent = true;
  try {
    patchRouterBgp(api, router.project(), router.location(), router.name(), bgp);
    ResourceDocument now = memberOrNull(
        api.routers().get(router.project(), router.location(), router.name()).execute(), "bgp");
    // The API leaves empty lists out.
    for (const auto& [field, value] : bgp.items())
      if (value.is_array() ? arrayOrEmpty(now, field) != value
                           : memberOrNull(now, field) != value) {
        out_.fail("**Error** verify routers: " + name + " reads back with " + field + " " +
                  textOf(memberOrNull(now, field)) + ", not " + textOf(value));
        sent = false;
      }
  } catch (const Error& failure) {
    out_.fail("**Error** patch " + name + ": " + failure.what());
    sent = false;
  }
  changes->finish();
  if (in_.events) passOn(events.str(), held.spokes);
  return sent;
}

// Sends each router's held patches; false when one was not sent as held.
bool Together::sendHeld() {
  InterruptionGuard interruption;
  DefaultService base =
      defaultComputeService(in_.endpoint, CredentialsEnvironment::fromProcess(), in_.service);
  bool sent = true;
  for (const HeldRouterPatches::Held& held : held_->held()) try {
      sent = sendOne(held, *base.service) && sent;
    } catch (const Interrupted&) {
      out_.fail("tolmi-gcp: interrupted: the routers not patched yet are left as they are");
      sent = false;
      break;
    }
  if (!sent) {
    const std::string state = switching_ ? "switching" : "reverting";
    const std::string revert = switching_ ? "revert takes back" : "revert again restores";
    out_.note("the routers parts stay \"" + state + "\" with their records: " + revert +
              " each spoke's change");
  }
  return sent;
}

// Each spoke's part reached its state: its revert file says so.
void Together::mark() {
  const std::string state = switching_ ? "switched" : "reverted";
  for (const HeldRun& run : runs_) try {
      RevertStore store(defaultRevertFile(run.config), false, in_.commandLine);
      store.mark(run.spoke, Part{Part::kRouters, ""}, state);
      out_.note(in_.command + " of " + run.spoke + ": routers " + state);
    } catch (const Error& failure) {
      // The router is as its change left it: the part run again sends nothing and marks it.
      out_.fail("tolmi-gcp: routers of " + run.spoke + " not marked " + state + ": " +
                failure.what() + "; `tolmi-gcp " + in_.command + " --config " + run.config +
                " --only routers" + (switching_ ? " --force" : "") + "` marks it");
    }
}

}  // namespace

int runRoutersTogether(const Invocation& in, Output& output, std::ostream& text,
                       std::ostream* terminal) {
  return Together(in, output, text, terminal).run();
}

}  // namespace tolmi_gcp::cli
