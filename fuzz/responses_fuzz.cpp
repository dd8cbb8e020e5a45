// The library's operations and the tool's snapshot against an API whose every answer is made by the
// fuzzer: only tolmi_gcp::Error may come out, never a crash, a hang or another exception. Links
// read back from their own text must name the same resource.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/compute/default_credentials.hpp"
#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/estate.hpp"
#include "tolmi_gcp/gcplib.hpp"
#include "tolmi_gcp/res/Globals.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace {

using namespace tolmi_gcp;

// Answers each request with a status and a body taken from the fuzzer's input; when the input is
// used up, the connection fails, which ends every loop that keeps asking.
class FuzzedTransport : public HttpTransport {
 public:
  explicit FuzzedTransport(FuzzedDataProvider& input) : input_(input) {}

  HttpResponse send(const HttpRequest&) override {
    if (input_.remaining_bytes() == 0) throw TransportError("fuzz input used up");
    HttpResponse response;
    response.status = input_.PickValueInArray({200, 200, 200, 200, 400, 403, 404, 409, 500, 503});
    response.headers = {{"content-type", "application/json"}};
    response.body = input_.ConsumeRandomLengthString(8000);
    return response;
  }

 private:
  FuzzedDataProvider& input_;
};

const ResourceDocument& migration() {
  static const ResourceDocument kMigration = parseYamlFile(TOLMI_EXAMPLES_DIR "/migration.yaml");
  return kMigration;
}

void readLinkBack(const std::string& text) {
  std::optional<ResourceLink> link = ResourceLink::parse(text);
  if (!link) return;
  std::optional<ResourceLink> again = ResourceLink::parse(link->text());
  if (!again || again->text() != link->text() || again->scope() != link->scope() ||
      again->location() != link->location() || again->name() != link->name())
    __builtin_trap();
}

void setUpOnce() {
  static const bool done = [] {
    // The library's lines are not what is under test; dropping them keeps the fuzzer fast.
    log4cplus::Logger::getRoot().addAppender(
        log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
    YamlContext::load(TOLMI_EXAMPLES_DIR "/migration.yaml");
    GcpLib::sleeper() = [] {};
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  setUpOnce();
  FuzzedDataProvider input(data, size);
  Globals::reset();
  auto service = std::make_shared<ComputeService>(std::make_shared<FuzzedTransport>(input),
                                                  ComputeService::kDefaultEndpoint, nullptr);
  Globals::service = service;
  Globals::project = "app-spoke-prod";
  Globals::vpc = {{"vpc_name", "spoke-1"}};
  Globals::networkLink =
      "https://www.googleapis.com/compute/v1/projects/app-spoke-prod/global/networks/spoke-1";
  defaultServiceFactory() = [service] { return DefaultService{service, "app-spoke-prod", ""}; };
  auto document = [&input] {
    ResourceDocument parsed = parseDocumentOrDiscarded(input.ConsumeRandomLengthString(4000));
    return parsed.is_discarded() ? ResourceDocument() : parsed;
  };
  // A switch and a restore in one input: the restore works from the record the switch left.
  for (int step = 0; step < 3 && input.remaining_bytes() > 0; ++step) {
    try {
      switch (input.ConsumeIntegralInRange(0, 10)) {
        case 0:
          GcpLib::listAllNetwork("app-spoke-prod");
          break;
        case 1:
          GcpLib::listPeering(document());
          break;
        case 2:
          GcpLib::managePeerings(input.ConsumeBool());
          break;
        case 3:
          GcpLib::manageSwitchRoute(input.ConsumeBool(),
                                    input.ConsumeBool() ? "stage-1" : "stage-2");
          break;
        case 4:
          GcpLib::manageCloudRouterAdvertisedRoute(input.ConsumeBool());
          break;
        case 5:
          GcpLib::listRouterByRegion(*service, "net-transit-prod", "transit-a", "us-east1");
          break;
        case 6:
          GcpLib::listRouteTable("app-spoke-prod", *service, document());
          break;
        case 7:
          GcpLib::composeVpcCidrs(*service, document(), document());
          break;
        case 8: {
          EstateScope scope = EstateScope::of(migration());
          topologyOf(readEstate(*service, scope), scope);
          break;
        }
        case 9:
          readLinkBack(input.ConsumeRandomLengthString(200));
          break;
        default:
          GcpLib::wait_for_global_operation(*service, "app-spoke-prod", "operation-1");
          break;
      }
    } catch (const Error&) {
    }
  }
  Globals::reset();
  defaultServiceFactory() = [] { return defaultComputeService(); };
  return 0;
}
