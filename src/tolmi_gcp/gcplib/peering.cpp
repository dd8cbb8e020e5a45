// VPC peering migration: listing a network's peerings, finding the far end of a peering, removing
// a spoke's transit peerings on both ends with a record of each pair, and re-creating them.

#include <algorithm>
#include <string>
#include <vector>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/gcplib/peering.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/res/revert_record.hpp"

namespace tolmi_gcp {

using peering::createdPeering;

namespace {

using frame::info;

// The members a re-created peering carries, in the order they are sent, each with the value the
// API gives it when a peering is created without it (the API may leave such a member out of the
// peerings it reports); name and network have none.
const std::vector<std::pair<const char*, ResourceDocument>>& createdMembers() {
  static const std::vector<std::pair<const char*, ResourceDocument>> kMembers = {
      {"name", nullptr},
      {"network", nullptr},
      {"exportCustomRoutes", false},
      {"importCustomRoutes", false},
      {"exchangeSubnetRoutes", true},
      {"exportSubnetRoutesWithPublicIp", true},
      {"importSubnetRoutesWithPublicIp", false},
      {"stackType", "IPV4_ONLY"}};
  return kMembers;
}

// The network a peering entry points at.
NetworkKey peerOf(const ResourceDocument& entry) {
  ResourceLink link = frame::linkAt(entry, "network", ResourceLink::Scope::kGlobal, "networks",
                                    "the peering " + textOf(memberOrNull(entry, "name")));
  return {link.project(), link.name()};
}

std::vector<std::string> transitNetworkKeys() {
  ResourceDocument transit = frame::config("transit_vpcs");
  if (!transit.is_array()) throw ArgumentTypeError("transit_vpcs", "an array", transit);
  std::vector<std::string> keys;
  for (const ResourceDocument& entry : transit) keys.push_back(stringAt(entry, "vpc_name"));
  return keys;
}

// The pair in `pairs` between the spoke and the transit network `transitKey` whose end on the
// `side` ("localPeeringProperties": the spoke's, "remotePeeringProperties": the transit's) is
// named `name`; null when there is none.
ResourceDocument pairWithEnd(const ResourceDocument& pairs, const std::string& transitKey,
                             const char* side, const std::string& name) {
  for (const ResourceDocument& pair : pairs) {
    const ResourceDocument& local = memberOrNull(pair, "localPeeringProperties");
    const ResourceDocument& network = memberOrNull(local, "network");
    if (network.is_string() && peerOf(local).text() == transitKey &&
        memberOrNull(memberOrNull(pair, side), "name") == name)
      return pair;
  }
  return nullptr;
}

// Says which members a recorded peering lacks, that it is re-created with the API's defaults for.
void noteDefaultsFilledIn(const ResourceDocument& entry) {
  std::string filled;
  for (const auto& [member, byDefault] : createdMembers())
    if (!byDefault.is_null() && !has(entry, member))
      filled += (filled.empty() ? "" : ", ") + std::string(member) + " " + textOf(byDefault);
  if (!filled.empty())
    info("  peering " + textOf(at(entry, "name")) +
         " gets the API's defaults for what its record lacks: " + filled);
}

ResourceDocument creationBody(const ResourceDocument& entry) {
  return {{"networkPeering", createdPeering(entry)}};
}

// True when the network holds a peering that `peering` would re-create as it is.
bool inPlaceAsRecorded(ComputeService& service, const std::string& project,
                       const std::string& network, const ResourceDocument& peering) {
  ResourceDocument current = service.networks().get(project, network).execute();
  const ResourceDocument& peerings = arrayOrEmpty(current, "peerings");
  return std::any_of(peerings.begin(), peerings.end(), [&](const ResourceDocument& existing) {
    return has(existing, "name") && existing["name"] == peering["name"] &&
           createdPeering(existing) == peering;
  });
}

// Creates one end of a pair and waits for it. A failed creation whose end is nevertheless in place
// exactly as recorded (left by an interrupted restore) counts as done, so a restore can be re-run.
void addPeeringEnd(ComputeService& service, const std::string& project, const std::string& network,
                   const ResourceDocument& body) {
  ResourceDocument operation;
  try {
    operation = service.networks().addPeering(project, network, body).execute();
    GcpLib::wait_for_global_operation(service, project, at(operation, "name"));
  } catch (const OperationTimeoutError&) {
    throw;
  } catch (const Error&) {
    const ResourceDocument& peering = at(body, "networkPeering");
    if (!inPlaceAsRecorded(service, project, network, peering)) throw;
    info("  peering " + textOf(peering["name"]) + " already in place as recorded");
    return;
  }
  frame::inspectChange(operation, "  **Error** ");
}

}  // namespace

ResourceDocument peering::createdPeering(const ResourceDocument& entry) {
  ResourceDocument peering = ResourceDocument::object();
  for (const auto& [member, byDefault] : createdMembers())
    peering[member] = byDefault.is_null() ? ResourceDocument(stringAt(entry, member))
                                          : valueOr(entry, member, byDefault);
  return peering;
}

void GcpLib::listPeering(const ResourceDocument& network) {
  info("- Discover peering(s)");
  const ResourceDocument& peerings = arrayOrEmpty(network, "peerings");
  if (peerings.empty()) info("  no peering found");
  info(frame::rule());
  info("  " + frame::ljust("Peering name", 51) + frame::ljust("Project::VPC", 30));
  info(frame::rule());
  for (const ResourceDocument& entry : peerings) {
    std::string peer = peerOf(entry).text();
    info("  " + frame::ljust(stringAt(entry, "name"), 50) + " " + peer);
  }
}

ResourceDocument GcpLib::lookupRemotePeering(ComputeService& service,
                                             const std::string& localProject,
                                             const std::string& localVpcName,
                                             const std::string& remoteProject,
                                             const std::string& remoteVpcName) {
  ResourceDocument remote = service.networks().get(remoteProject, remoteVpcName).execute();
  const std::string local = NetworkKey{localProject, localVpcName}.text();
  for (const ResourceDocument& entry : arrayOrEmpty(remote, "peerings"))
    if (peerOf(entry).text() == local) return entry;
  return nullptr;
}

void GcpLib::deletePeering(ComputeService& service, const std::string& project,
                           const std::string& vpc, const std::string& peering) {
  info("  delete peering " + peering + " in " + NetworkKey{project, vpc}.text());
  if (Globals::getDryRun()) return;
  ResourceDocument body = {{"name", peering}};
  ResourceDocument operation;
  try {
    operation = service.networks().removePeering(project, vpc, body).execute();
    wait_for_global_operation(service, project, at(operation, "name"));
  } catch (const OperationTimeoutError&) {
    throw;
  } catch (const std::exception& failure) {
    frame::error(std::string("  **Error** ") + failure.what());
    return;
  }
  frame::inspectChange(operation, "  **Check Error** ");
}

void GcpLib::deletePeerings(ComputeService& service, const std::string& project,
                            const ResourceDocument& vpc) {
  const std::string& vpcName = stringAt(vpc, "vpc_name");
  const std::string key = NetworkKey{project, vpcName}.text();
  ResourceDocument pairs = ResourceDocument::array();
  info("- Delete transit peerings in " + key);
  std::vector<std::string> transit = transitNetworkKeys();
  // What an earlier run left half-way recorded: an end it removed is not removed again.
  RevertRecord record;
  ResourceDocument earlier = record.peeringPairs(key);
  if (!earlier.is_array()) earlier = ResourceDocument::array();
  ResourceDocument spoke = service.networks().get(project, vpcName).execute();
  for (const ResourceDocument& local : arrayOrEmpty(spoke, "peerings")) {
    const std::string& localName = stringAt(local, "name");
    auto [remoteProject, remoteNetwork] = peerOf(local);
    std::string remoteKey = NetworkKey{remoteProject, remoteNetwork}.text();
    if (std::find(transit.begin(), transit.end(), remoteKey) == transit.end()) continue;
    ResourceDocument remote =
        lookupRemotePeering(service, project, vpcName, remoteProject, remoteNetwork);
    if (remote.is_null()) {
      ResourceDocument pair = pairWithEnd(earlier, remoteKey, "localPeeringProperties", localName);
      // Without the far end, or its record, there is nothing that could be re-created: touch
      // neither end.
      if (pair.is_null()) {
        frame::error("  **Error** no peering on " + remoteKey + " points back at " + key +
                     ": spoke peering " + localName + " left in place and not recorded");
        continue;
      }
      info("  peering " +
           textOf(memberOrNull(memberOrNull(pair, "remotePeeringProperties"), "name")) + " in " +
           remoteKey + " is removed already, as recorded");
      record.recordPeeringPair(key, pair);
      pairs.push_back(std::move(pair));
      deletePeering(service, project, vpcName, localName);
      continue;
    }
    // A pair that the record could not re-create is not removed.
    try {
      creationBody(local);
      creationBody(remote);
    } catch (const Error& failure) {
      frame::error("  **Error** peering " + localName + " to " + remoteKey +
                   " could not be re-created from the record (" + failure.what() +
                   "): left in place and not recorded");
      continue;
    }
    ResourceDocument pair = {{"localPeeringProperties", local},
                             {"remotePeeringProperties", remote}};
    // Saved before either end is removed, so an interruption loses no way back.
    record.recordPeeringPair(key, pair);
    pairs.push_back(std::move(pair));
    deletePeering(service, remoteProject, remoteNetwork, stringAt(remote, "name"));
    deletePeering(service, project, vpcName, localName);
  }
  // A recorded pair whose spoke end an earlier run removed may have left its transit end (its
  // removal failed): that end is removed now. A pair gone on both ends has nothing left to do.
  const ResourceDocument& present = arrayOrEmpty(spoke, "peerings");
  for (const ResourceDocument& pair : earlier) {
    const ResourceDocument& local = memberOrNull(pair, "localPeeringProperties");
    const ResourceDocument& name =
        memberOrNull(memberOrNull(pair, "remotePeeringProperties"), "name");
    bool spokeEndPresent =
        std::any_of(present.begin(), present.end(), [&](const ResourceDocument& peering) {
          return memberOrNull(peering, "name") == memberOrNull(local, "name");
        });
    if (spokeEndPresent || !name.is_string() || !memberOrNull(local, "network").is_string())
      continue;
    const NetworkKey transitNet = peerOf(local);
    std::string transitKey = transitNet.text();
    if (std::find(transit.begin(), transit.end(), transitKey) == transit.end() ||
        !pairWithEnd(pairs, transitKey, "remotePeeringProperties", name.get<std::string>())
             .is_null())
      continue;
    const std::string& transitProject = transitNet.project;
    const std::string& transitNetwork = transitNet.network;
    if (memberOrNull(lookupRemotePeering(service, project, vpcName, transitProject, transitNetwork),
                     "name") != name)
      continue;
    info("  peering " + textOf(memberOrNull(local, "name")) + " in " + key +
         " is removed already, as recorded");
    pairs.push_back(pair);
    deletePeering(service, transitProject, transitNetwork, name.get<std::string>());
  }
  if (pairs.empty()) info("  no transit peering found!");
  // The completed run's entry holds exactly this run's pairs.
  record.setPeeringPairs(key, std::move(pairs));
}

void GcpLib::addPeerings(ComputeService& service, const ResourceDocument& peeringPairList) {
  info("- Restore peerings");
  if (!peeringPairList.is_array())
    throw ArgumentTypeError("peeringPairList", "an array of peering pairs", peeringPairList);
  if (peeringPairList.empty()) return info("  no peering found");
  for (const ResourceDocument& pair : peeringPairList) {
    const ResourceDocument& local = at(pair, "localPeeringProperties");
    const ResourceDocument& remote = at(pair, "remotePeeringProperties");
    auto [localPeerProject, localPeerNetwork] = peerOf(remote);
    auto [remotePeerProject, remotePeerNetwork] = peerOf(local);
    const std::string localKey = NetworkKey{localPeerProject, localPeerNetwork}.text();
    info("- Add local peering in " + localKey);
    ResourceDocument lpeer_body = creationBody(local);
    ResourceDocument rpeer_body = creationBody(remote);
    info("  add peering " + textOf(at(local, "name")) + " in " + localKey);
    noteDefaultsFilledIn(local);
    if (!Globals::getDryRun())
      addPeeringEnd(service, localPeerProject, localPeerNetwork, lpeer_body);
    info("  add peering " + textOf(at(remote, "name")) + " in " +
         NetworkKey{remotePeerProject, remotePeerNetwork}.text());
    noteDefaultsFilledIn(remote);
    if (!Globals::getDryRun())
      addPeeringEnd(service, remotePeerProject, remotePeerNetwork, rpeer_body);
  }
}

void GcpLib::managePeerings(bool switch_traffic) {
  ComputeService& service = frame::globalService();
  const std::string project = Globals::project;
  const ResourceDocument vpc = Globals::vpc;
  if (switch_traffic) return deletePeerings(service, project, vpc);
  const std::string key = NetworkKey{project, stringAt(vpc, "vpc_name")}.text();
  if (!RevertRecord{}.hasPeeringPairs(key)) return;
  addPeerings(service, RevertRecord{}.peeringPairs(key));
}

}  // namespace tolmi_gcp
