// The peerings part: the spoke's peerings to its transit networks, removed by a switch and
// re-created by a revert.

#include <algorithm>
#include <map>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/part_type.hpp"
#include "tolmi_gcp/gcplib/peering.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp::parts {

namespace {

// Whether the record holds the pair to `transitKey` that has an end named `name`.
bool recordedPairWith(const Spoke& spoke, const std::string& transitKey, const std::string& name) {
  // What an earlier run of the part, left half-way, did already.
  const ResourceDocument& pairs = RevertRecord{}.peeringPairs(spoke.key);
  return std::any_of(pairs.begin(), pairs.end(), [&](const ResourceDocument& pair) {
    const ResourceDocument& local = memberOrNull(pair, "localPeeringProperties");
    return networkKeyOf(memberOrNull(local, "network")) == transitKey &&
           (memberOrNull(local, "name") == name ||
            memberOrNull(memberOrNull(pair, "remotePeeringProperties"), "name") == name);
  });
}

// The document of the peering `name` of `network`, null when there is none.
const ResourceDocument& peeringNamed(const Network& network, const std::string& name) {
  for (const ResourceDocument& peering : arrayOrEmpty(network.document, "peerings"))
    if (memberOrNull(peering, "name") == name) return peering;
  static const ResourceDocument kNone;
  return kNone;
}

// Whether the peering leads between the spoke and another network: the only peerings the part
// changes, so the only ones it reads back on a transit network that other spokes peer with.
bool ofSpoke(const Network& holder, const Peering& peering, const NetworkKey& spoke) {
  return holder.key() == spoke || peering.network == spoke;
}

// How the peerings of the spoke on `now` differ from `meant`.
void comparePeerings(const Network& meant, const Network& now, const NetworkKey& spoke,
                     const char* meantAs, std::vector<std::string>& found) {
  const std::string key = meant.key().text();
  for (const Peering& peering : now.peerings)
    if (ofSpoke(now, peering, spoke) && peeringNamed(meant, peering.name).is_null())
      found.push_back("the peering " + peering.name + " of " + key + " to " +
                      peering.network.text() + " is still there");
  for (const Peering& peering : meant.peerings) {
    if (!ofSpoke(meant, peering, spoke)) continue;
    const ResourceDocument& end = peeringNamed(now, peering.name);
    if (end.is_null()) {
      found.push_back("the peering " + peering.name + " of " + key + " is missing");
      continue;
    }
    ResourceDocument wanted = peering::createdPeering(peeringNamed(meant, peering.name)),
                     there = peering::createdPeering(end);
    for (const auto& member : wanted.items())
      if (there[member.key()] != member.value())
        found.push_back("the peering " + peering.name + " of " + key + " has " + member.key() +
                        " " + jsonText(there[member.key()]) + " (" + meantAs + " " +
                        jsonText(member.value()) + ")");
  }
}

// The subnetworks of `network` alone, with their ranges parsed.
std::vector<std::pair<SubnetRange, Ipv4Network>> ownSubnets(const Estate& estate,
                                                            const NetworkKey& network) {
  std::vector<std::pair<SubnetRange, Ipv4Network>> own;
  for (const SubnetRange& subnet : subnetRangesOf(estate, network))
    if (Ipv4Network::Parsed range = Ipv4Network::parse(subnet.range);
        subnet.peering.empty() && range.ok())
      own.emplace_back(subnet, range.network);
  return own;
}

// Why the API would refuse a peering between `a` and `b` as `estate` has them, "" when it would
// not: a subnet range of one overlaps one of the other, or a static route of one equals or fits in
// a subnet range of the other.
std::string clashBetween(const Estate& estate, const NetworkKey& a, const NetworkKey& b) {
  for (const auto& [one, other] : {std::pair{a, b}, std::pair{b, a}}) {
    const auto theirs = ownSubnets(estate, other);
    for (const auto& [subnet, range] : ownSubnets(estate, one))
      for (const auto& [peer, peerRange] : theirs)
        if (range.overlaps(peerRange)) return subnet.described() + " overlaps " + peer.described();
    for (const Route& route : estate.routes) {
      Ipv4Network::Parsed destination = Ipv4Network::parse(route.destRange);
      if (route.network != one || route.derived() || !destination.ok()) continue;
      for (const auto& [peer, peerRange] : theirs)
        if (peerRange.contains(destination.network))
          return "the route " + route.name + " (" + route.destRange + ") of " + one.text() +
                 " equals or fits in " + peer.described();
    }
  }
  return "";
}

// Gives `network` the peerings `peerings`, typed as the read types them.
void setPeerings(Network& network, ResourceDocument peerings) {
  ResourceDocument document = network.document;
  // The API leaves an empty list out.
  if (peerings.empty())
    document.erase("peerings");
  else
    document["peerings"] = std::move(peerings);
  Network changed = Network::of(network.project, std::move(document));
  network.peerings = std::move(changed.peerings);
  network.document = std::move(changed.document);
}

void predictRemoval(Estate& estate, const NetworkKey& holder, const NetworkKey& peer) {
  Network* held = estate.network(holder);
  if (!held) return;
  ResourceDocument kept = ResourceDocument::array();
  for (const ResourceDocument& peering : arrayOrEmpty(held->document, "peerings"))
    if (networkKeyOf(memberOrNull(peering, "network")) != peer.text()) kept.push_back(peering);
  setPeerings(*held, std::move(kept));
}

// The recorded end of `holder` that leads to `peer`, re-created in place of one of its name.
void predictCreation(Estate& estate, const NetworkKey& holder, const ResourceDocument& recorded,
                     const NetworkKey& peer) {
  Network* held = estate.network(holder);
  if (!held) return;
  ResourceDocument end = peering::createdPeering(recorded);
  const Network* other = estate.network(peer);
  end["state"] = other ? "ACTIVE" : "INACTIVE";
  if (other && has(other->document, "mtu")) end["peerMtu"] = other->document["mtu"];
  ResourceDocument peerings = arrayOrEmpty(held->document, "peerings");
  auto same = std::find_if(peerings.begin(), peerings.end(), [&](const ResourceDocument& peering) {
    return memberOrNull(peering, "name") == end["name"];
  });
  if (same == peerings.end())
    peerings.push_back(std::move(end));
  else
    *same = std::move(end);
  setPeerings(*held, std::move(peerings));
}

class PeeringsPart : public PartType {
 public:
  // A peering the switch would remove needs both ends; one end alone cannot be recorded, unless
  // the record holds the pair (a run left half-way removed the other end).
  bool checksTransits() const override { return true; }

  void checkSwitchOn(const Transit& transit, const Spoke& spoke, Findings& found) const override {
    const std::string transitKey = transit.key.text();
    const Network* spokeNetwork = spoke.estate.network(*NetworkKey::parse(spoke.key));
    std::string there = peeringTo(transit.network, spoke.key),
                back = spokeNetwork ? peeringTo(*spokeNetwork, transitKey) : "";
    const std::string& left = there.empty() ? back : there;  // the end left, when one is gone
    if (there.empty() != back.empty() && recordedPairWith(spoke, transitKey, left))
      found.plan.peeringEnds.push_back(left);
    else if (there.empty() != back.empty())
      found.problems.push_back(transit.where + ".vpc_name: the peering between " + spoke.key +
                               " and " + transitKey + " is missing on " +
                               (there.empty() ? transitKey : spoke.key));
    else if (!there.empty())
      found.plan.peeringEnds.insert(found.plan.peeringEnds.end(), {back, there});
  }

  void checkRevert(const Spoke& spoke, Findings& found) const override {
    static const ResourceDocument::json_pointer kLocal("/localPeeringProperties/network"),
        kRemote("/remotePeeringProperties/network");
    const std::vector<std::string> transits = transitKeys();
    const ResourceDocument& pairs = RevertRecord{}.peeringPairs(spoke.key);
    if (!pairs.is_array()) return;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const ResourceDocument& pair = pairs[i];
      std::string local = networkKeyOf(pair.contains(kLocal) ? pair[kLocal] : ResourceDocument()),
                  remote =
                      networkKeyOf(pair.contains(kRemote) ? pair[kRemote] : ResourceDocument());
      const std::string where = RevertStore::placeOfPeeringPair(spoke.key, i);
      if (!contains(transits, local) || remote != spoke.key)
        found.problems.push_back(where + ": the pair between " + (remote.empty() ? "?" : remote) +
                                 " and " + (local.empty() ? "?" : local) + " is not one between " +
                                 spoke.key + " and a transit network of the migration file");
      else if (!spoke.estate.network(*NetworkKey::parse(local)))
        found.problems.push_back(where + ": the network " + local + " does not exist");
      else if (std::string clash = clashBetween(spoke.before, *NetworkKey::parse(spoke.key),
                                                *NetworkKey::parse(local));
               !clash.empty())
        found.problems.push_back(where + ": the API would refuse to peer " + spoke.key + " with " +
                                 local + " again: " + clash);
      else
        found.plan.peeringEnds.insert(found.plan.peeringEnds.end(),
                                      {textOf(pair["localPeeringProperties"]["name"]),
                                       textOf(pair["remotePeeringProperties"]["name"])});
    }
  }

  void run(bool switching) const override { GcpLib::managePeerings(switching); }

  void predict(Estate& estate, const NetworkKey& spoke, bool switching) const override {
    if (switching) {
      for (const std::string& transit : transitKeys()) {
        const NetworkKey key = *NetworkKey::parse(transit);
        predictRemoval(estate, spoke, key);
        predictRemoval(estate, key, spoke);
      }
      return;
    }
    const ResourceDocument& pairs = RevertRecord{}.peeringPairs(spoke.text());
    if (!pairs.is_array()) return;
    for (const ResourceDocument& pair : pairs) {
      const ResourceDocument& local = at(pair, "localPeeringProperties");
      const NetworkKey transit = networkOf(at(local, "network"), "a recorded peering's network");
      predictCreation(estate, spoke, local, transit);
      predictCreation(estate, transit, at(pair, "remotePeeringProperties"), spoke);
    }
  }

  void compare(const Estate& before, const Estate& meant, const Estate& now,
               const NetworkKey& spoke, bool switching,
               std::vector<std::string>& found) const override {
    for (const Network& network : meant.networks) {
      const Network* was = before.network(network.key());
      if (was && was->peerings == network.peerings) continue;  // not changed by the part
      if (const Network* read = now.network(network.key()))
        comparePeerings(network, *read, spoke, switching ? "meant" : "recorded", found);
      else
        found.push_back("the network " + network.key().text() + " cannot be found");
    }
  }
};

}  // namespace

std::unique_ptr<PartType> peeringsPart() { return std::make_unique<PeeringsPart>(); }

}  // namespace tolmi_gcp::parts
