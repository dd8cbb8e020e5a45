#include "cli/topology_drawing.hpp"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/text_lists.hpp"

namespace tolmi_gcp::cli {

namespace {

constexpr const char* kRemoved = "color=red, fontcolor=red, style=dashed, penwidth=2";
constexpr const char* kAdded = "color=darkgreen, fontcolor=darkgreen, penwidth=2";

// A DOT string: quoted, its backslashes and quotes escaped, so that no text of the estate can
// change the graph.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
}

std::string instanceId(const InstanceKey& key) {
  return "instance " + key.project + "/" + key.zone + "/" + key.name;
}

// The node a route leads to, and its label.
std::pair<std::string, std::string> hopNode(const Route& route) {
  const NextHop& hop = route.nextHop;
  if (hop.kind == NextHop::Kind::kInstance && hop.instance)
    return {instanceId(*hop.instance), hop.instance->name + "\n" + hop.instance->zone};
  if (hop.kind == NextHop::Kind::kGateway) return {"internet", "internet"};
  return {"hop " + nextHopText(hop), nextHopText(hop)};
}

std::string routeLabel(const Route& route) {
  std::string label =
      route.name + "\n" + route.destRange + " (priority " + std::to_string(route.priority) + ")";
  if (!route.tags.empty()) label += "\ntags " + joined(route.tags, ", ");
  return label;
}

class DotWriter {
 public:
  explicit DotWriter(const Drawing& drawing) : d_(drawing) {}

  std::string write() {
    out_ =
        "digraph topology {\n  rankdir=LR;\n  node [fontname=\"Helvetica\", fontsize=10];\n"
        "  edge [fontname=\"Helvetica\", fontsize=9];\n";
    out_ += "  label=" +
            quoted(d_.before ? "before the switch: red dashed is what it removes or replaces"
                             : "after the switch: green is what it adds") +
            ";\n";
    for (const Network& network : d_.estate.networks) networkNode(network);
    peerings();
    instances();  // before the routes, whose next hops they are
    routes();
    routers();
    return out_ + "}\n";
  }

 private:
  // The marking of a resource the run changes, in this picture.
  const char* mark(bool removed, bool added) const {
    if (d_.before && removed) return kRemoved;
    if (!d_.before && added) return kAdded;
    return "";
  }

  void node(const std::string& id, const std::string& label, const std::string& attributes) {
    if (!nodes_.insert(id).second) return;
    out_ += "  " + quoted(id) + " [label=" + quoted(label) +
            (attributes.empty() ? "" : ", " + attributes) + "];\n";
  }

  void edge(const std::string& from, const std::string& to, const std::string& label,
            const std::string& attributes) {
    out_ += "  " + quoted(from) + " -> " + quoted(to) + " [label=" + quoted(label) +
            (attributes.empty() ? "" : ", " + attributes) + "];\n";
  }

  void networkNode(const Network& network) {
    const NetworkKey key = network.key();
    std::string role = key == d_.spoke ? "spoke" : "network";
    std::string fill = key == d_.spoke ? "lightblue" : "white";
    for (const NetworkKey& transit : d_.transits)
      if (key == transit) role = "transit", fill = "lightyellow";
    std::string label = role + "\n" + key.text();
    for (const Subnetwork& subnet : network.subnetworks) label += "\n" + subnet.ipCidrRange;
    node("network " + key.text(), label, "shape=box, style=filled, fillcolor=" + fill);
  }

  // One edge per pair of networks, whatever ends it has.
  void peerings() {
    struct Pair {
      std::vector<std::string> ends;
      bool removed = false, added = false;
    };
    std::map<std::pair<std::string, std::string>, Pair> pairs;
    auto pairOf = [&](const NetworkKey& a, const NetworkKey& b) -> Pair& {
      return pairs[std::minmax(a.text(), b.text())];
    };
    for (const Network& network : d_.estate.networks)
      for (const Peering& peering : network.peerings) {
        pairOf(network.key(), peering.network)
            .ends.push_back(peering.name + (peering.state.empty() ? "" : " " + peering.state));
        if (!d_.estate.network(peering.network))
          node("network " + peering.network.text(), peering.network.text() + "\n(outside)",
               "shape=box, style=dashed, color=gray40");
      }
    for (const EstateChanges::PeeringChange& change : d_.changes.peerings) {
      Pair& pair = pairOf(change.network, (change.before ? change.before : change.after)->network);
      pair.removed = pair.removed || change.before;
      pair.added = pair.added || change.after;
    }
    for (const auto& [networks, pair] : pairs) {
      if (pair.ends.empty()) continue;
      edge("network " + networks.first, "network " + networks.second,
           "peering\n" + joined(pair.ends, "\n"),
           std::string("dir=both, arrowhead=none, arrowtail=none") +
               (*mark(pair.removed, pair.added) ? ", " : "") + mark(pair.removed, pair.added));
    }
  }

  void routes() {
    for (const Route& route : d_.estate.routes) {
      if (route.derived() || route.nextHop.kind == NextHop::Kind::kNone) continue;
      bool removed = false, added = false;
      for (const EstateChanges::RouteChange& change : d_.changes.routes) {
        const std::optional<Route>& seen = d_.before ? change.before : change.after;
        if (!seen || seen->name != route.name || seen->network.project != route.network.project)
          continue;
        removed = change.before.has_value();
        added = change.after.has_value();
      }
      const auto [id, label] = hopNode(route);
      node(id, label, "shape=ellipse");
      edge("network " + route.network.text(), id, routeLabel(route), mark(removed, added));
    }
  }

  void instances() {
    for (const Instance& instance : d_.estate.instances) {
      std::string label = instance.key.name + "\n" + instance.key.zone + "\n" + instance.status +
                          (instance.canIpForward ? ", forwards" : ", does not forward");
      node(instanceId(instance.key), label, "shape=ellipse, style=filled, fillcolor=honeydew");
      for (const NetworkInterface& nic : instance.networkInterfaces)
        if (d_.estate.network(nic.network))
          edge(instanceId(instance.key), "network " + nic.network.text(), nic.networkIP,
               "dir=none, style=dotted, color=gray40");
    }
  }

  void routers() {
    for (const Router& router : d_.estate.routers) {
      if (!d_.estate.network(router.network)) continue;
      bool changed = false;
      for (const EstateChanges::RouterChange& change : d_.changes.routers)
        changed =
            changed || (change.before.project == router.project &&
                        change.before.region == router.region && change.before.name == router.name);
      std::string id = "router " + router.project + "/" + router.region + "/" + router.name;
      std::string marked = mark(changed, changed);
      node(id, "router " + router.name + "\n" + router.region + "\n" + advertisedText(router),
           "shape=component" + (marked.empty() ? "" : ", " + marked));
      edge(id, "network " + router.network.text(), "", "dir=none, style=dotted, color=gray40");
    }
  }

  const Drawing& d_;
  std::string out_;
  std::set<std::string> nodes_;
};

// The whole content of an open temporary file.
std::string contentOf(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[8192];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
  return text;
}

}  // namespace

std::string topologyDot(const Drawing& drawing) { return DotWriter(drawing).write(); }

std::string svgOfDot(const std::string& dot) {
  // The answer and the complaints go to files, so that dot never waits on a full pipe while the
  // graph is still being written to it.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> svg(std::tmpfile(), std::fclose);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> complaints(std::tmpfile(), std::fclose);
  int input[2];
  if (!svg || !complaints || socketpair(AF_UNIX, SOCK_STREAM, 0, input) != 0)
    throw Error(std::string("cannot run Graphviz's dot: ") + std::strerror(errno));
  pid_t pid = fork();
  if (pid == 0) {
    dup2(input[1], STDIN_FILENO);
    dup2(fileno(svg.get()), STDOUT_FILENO);
    dup2(fileno(complaints.get()), STDERR_FILENO);
    close(input[0]);
    close(input[1]);
    execlp("dot", "dot", "-Tsvg", static_cast<char*>(nullptr));
    constexpr char kMissing[] = "cannot start it (is Debian's graphviz installed?)";
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, kMissing, sizeof kMissing - 1);
    _exit(127);
  }
  close(input[1]);
  // A dot that stops reading ends the writing; it says why on its standard error.
  for (std::size_t sent = 0; pid > 0 && sent < dot.size();) {
    ssize_t n = send(input[0], dot.data() + sent, dot.size() - sent, MSG_NOSIGNAL);
    if (n <= 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  close(input[0]);
  int status = 0;
  if (pid < 0) throw Error(std::string("cannot run Graphviz's dot: ") + std::strerror(errno));
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::string said = contentOf(complaints.get());
  while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw Error("Graphviz's dot failed" +
                (WIFEXITED(status) ? " with status " + std::to_string(WEXITSTATUS(status))
                                   : std::string(" on a signal")) +
                (said.empty() ? std::string() : ": " + said));
  return contentOf(svg.get());
}

}  // namespace tolmi_gcp::cli
