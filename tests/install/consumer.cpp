// A library user's program, compiled against nothing but the installed headers.
#include <tolmi_gcp/compute/default_credentials.hpp>
#include <tolmi_gcp/core/YamlContext.hpp>
#include <tolmi_gcp/estate.hpp>
#include <tolmi_gcp/gcplib.hpp>
#include <tolmi_gcp/parts.hpp>
#include <tolmi_gcp/res/Globals.hpp>
#include <tolmi_gcp/res/RouteInfo.hpp>
#include <tolmi_gcp/route_name.hpp>

int main(int, char** argv) {
  using namespace tolmi_gcp;
  YamlContext::load(argv[1]);
  Globals::service = defaultComputeService(std::nullopt, CredentialsEnvironment::fromProcess(),
                                           {RetryPolicy::standard().scaled(0.5), CurlOptions{}})
                         .service;
  RouteInfo routes = GcpLib::listRouteTable(
      "p", *Globals::service, Globals::service->networks().get("p", "spoke").execute());
  // What the tool does for a part: check, run, read back.
  const Estate before = readEstate(*Globals::service, scopeOfRun(true));
  const std::vector<Part> parts = {{Part::kPeerings, ""}};
  if (!checkSwitch(statesOfRun(before, parts, true), parts).problems.empty()) return 2;
  const Estate meant = predicted(before, parts[0], true);
  runPart(parts[0], true);
  if (!readBack(before, meant, parts[0], true).differences.empty()) return 1;
  if (routes::createdRouteName("p", "spoke", {{"cidr", "10.0.0.0/8"}}).empty()) return 1;
  return static_cast<int>(routes.get_gke_export_routes().size());
}
