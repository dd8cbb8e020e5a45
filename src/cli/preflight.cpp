#include "cli/preflight.hpp"

#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp::cli {

namespace {

bool exists(const Request& request) {
  try {
    request.execute();
    return true;
  } catch (const HttpError& failure) {
    if (failure.status() != 404) throw;
    return false;
  }
}

bool runs(const std::vector<Part>& parts, Part::Kind kind) {
  for (const Part& part : parts)
    if (part.kind == kind) return true;
  return false;
}

void checkTransit(const std::vector<Part>& parts, std::vector<std::string>& problems) {
  const ComputeService& api = *Globals::service;
  std::size_t i = 0;
  for (const ResourceDocument& transit : YamlContext{}.getContext("transit_vpcs")) {
    std::string where = "transit_vpcs[" + std::to_string(i++) + "]";
    const std::string& name = transit["vpc_name"].get_ref<const std::string&>();
    std::string project = name.substr(0, name.find("::")),
                network = name.substr(name.find("::") + 2);
    if (!exists(api.networks().get(project, network))) {
      problems.push_back(where + ".vpc_name: the network " + name + " does not exist");
      continue;
    }
    if (!runs(parts, Part::kRouters)) continue;
    std::size_t j = 0;
    for (const ResourceDocument& router : arrayOrEmpty(transit, "cloud_routers")) {
      const std::string& region = router["region"].get_ref<const std::string&>();
      const std::string& routerName = router["router_name"].get_ref<const std::string&>();
      if (!exists(api.routers().get(project, region, routerName)))
        problems.push_back(where + ".cloud_routers[" + std::to_string(j) + "]: the router " +
                           routerName + " does not exist in " + project + " " + region);
      ++j;
    }
  }
}

void checkStage(const Setup& setup, const std::string& stage, std::vector<std::string>& problems) {
  const ComputeService& api = *Globals::service;
  const ResourceDocument entries = YamlContext{}.getContext("manage_routes")[stage];
  std::string where = "manage_routes." + stage;
  for (const ResourceDocument& name : arrayOrEmpty(entries, "delete"))
    if (!exists(api.routes().get(setup.project, textOf(name))))
      problems.push_back(where + ".delete: the route " + textOf(name) + " does not exist in " +
                         setup.project);
  std::size_t k = 0;
  for (const ResourceDocument& add : arrayOrEmpty(entries, "add")) {
    std::string zone = textOf(add["zone"]), instance = textOf(add["dest_instance"]);
    if (!exists(api.instances().get(setup.project, zone, instance)))
      problems.push_back(where + ".add[" + std::to_string(k) + "]: the instance " + instance +
                         " does not exist in " + setup.project + " " + zone);
    ++k;
  }
}

}  // namespace

std::vector<std::string> switchProblems(const Setup& setup, const std::vector<Part>& parts) {
  std::vector<std::string> problems;
  if (runs(parts, Part::kPeerings) || runs(parts, Part::kRouters)) checkTransit(parts, problems);
  for (const Part& part : parts)
    if (part.kind == Part::kRoutes) checkStage(setup, part.stage, problems);
  return problems;
}

}  // namespace tolmi_gcp::cli
