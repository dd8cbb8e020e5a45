#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tolmi_gcp/compute/compute_service.hpp"

namespace tolmi_gcp {

struct DefaultService {
  std::shared_ptr<ComputeService> service;
  std::string project;  // the default project the credentials name
};

// The handle the way clients find the API: an explicit `endpoint` wins; otherwise
// COMPUTE_EMULATOR_HOST=host:port selects plain HTTP to http://host:port/compute/v1/ with no
// credentials and the project from GOOGLE_CLOUD_PROJECT; otherwise the default endpoint with the
// application-default credentials. Throws ConfigError naming what is missing.
DefaultService defaultComputeService(const std::optional<std::string>& endpoint = std::nullopt);

// What GcpLib::listAllNetwork builds its own handle with: defaultComputeService() unless replaced,
// as tests do to hand it a scripted transport.
std::function<DefaultService()>& defaultServiceFactory();

}  // namespace tolmi_gcp
