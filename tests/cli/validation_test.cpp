#include "cli/validation.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

ResourceDocument yaml(const std::string& text) { return parseYamlText(text, "test"); }

const char* kSound = R"(
project_id: proj-spoke
vpc_name: spoke-1
transit_vpcs:
  - vpc_name: proj-hub::hub-a
    cloud_routers:
      - region: us-central1
        router_name: cr-a
        remove_advertised_routes: [10.0.0.0/8]
        add_advertised_routes: [192.168.0.0/16]
        remove_advertised_groups: [ALL_SUBNETS]
  - vpc_name: example.com:proj-hub::hub-b
manage_routes:
  stage-1:
    delete: [old-route]
    add:
      - {cidr: 10.1.0.0/16, zone: us-central1-a, dest_instance: gw-1, priority: 200, name: null}
      - {cidr: 0.0.0.0/0, zone: europe-west10-b, dest_instance: gw-2, priority: null, name: r-2}
  stage-2:
spoke_advertisement: [10.8.0.0/14]
advertise_gke: true
)";

TEST(Validation, SoundFileHasNoProblem) { EXPECT_THAT(validateMigration(yaml(kSound)), IsEmpty()); }

TEST(Validation, MissingAndMistypedKeysAreNamedByPath) {
  ResourceDocument doc = yaml(kSound);
  doc.erase("project_id");
  doc["vpc_name"] = 7;
  doc["transit_vpcs"][1]["cloud_routers"] = {{{"router_name", "cr-b"}}};
  doc["manage_routes"]["stage-1"]["add"][0].erase("priority");
  doc["manage_routes"]["stage-1"]["delete"] = nullptr;
  doc["advertise_gke"] = "yes";
  EXPECT_THAT(validateMigration(doc),
              ElementsAre("project_id: missing", "vpc_name: must be text, got 7",
                          "transit_vpcs[1].cloud_routers[0].region: missing",
                          "transit_vpcs[1].cloud_routers[0].add_advertised_routes: missing",
                          "manage_routes.stage-1.delete: must be a list, got nothing",
                          "manage_routes.stage-1.add[0].priority: missing",
                          "advertise_gke: must be true or false, got \"yes\""));
}

TEST(Validation, ValuesAreCheckedByTheApiRules) {
  ResourceDocument doc = yaml(kSound);
  doc["project_id"] = "Proj";
  doc["transit_vpcs"][0]["vpc_name"] = "hub-a";
  doc["transit_vpcs"][1]["vpc_name"] = "proj-hub::hub::x";
  auto& router = doc["transit_vpcs"][0]["cloud_routers"][0];
  router["region"] = "us-central1-a";
  router["router_name"] = "cr-";
  router["remove_advertised_routes"] = {"10.1.1.1", "10.0.0.1/24", "10.0.0.0/33", "010.0.0.0/8"};
  router["remove_advertised_groups"] = {"all_subnets"};
  auto& entry = doc["manage_routes"]["stage-1"]["add"][1];
  entry["zone"] = "us-central1";
  entry["priority"] = 65536;
  entry["dest_instance"] = "Gw";
  entry["tags"] = {"partner-y", "Settlement"};
  doc["manage_routes"]["stage-1"]["add"][0]["priority"] = -1;
  doc["manage_routes"]["stage-1"]["add"][0]["name"] = std::string(64, 'a');
  EXPECT_THAT(
      validateMigration(doc),
      ElementsAre(
          "project_id: \"Proj\" is not a valid project id (6-30 of a-z, 0-9 and '-', starting "
          "with a letter)",
          "transit_vpcs[0].vpc_name: \"hub-a\" must be 'project::network'",
          "transit_vpcs[0].cloud_routers[0].region: \"us-central1-a\" is not a region name like "
          "us-central1",
          "transit_vpcs[0].cloud_routers[0].router_name: \"cr-\" is not a valid name (1-63 of "
          "a-z, 0-9 and '-', starting with a letter, not ending in '-')",
          "transit_vpcs[0].cloud_routers[0].remove_advertised_routes[0]: \"10.1.1.1\" must be an "
          "IPv4 range like 10.0.0.0/16 (the /length is missing)",
          "transit_vpcs[0].cloud_routers[0].remove_advertised_routes[1]: \"10.0.0.1/24\" has host "
          "bits set; the network is 10.0.0.0/24",
          "transit_vpcs[0].cloud_routers[0].remove_advertised_routes[2]: \"10.0.0.0/33\" must be "
          "an IPv4 range like 10.0.0.0/16 (bad prefix length)",
          "transit_vpcs[0].cloud_routers[0].remove_advertised_routes[3]: \"010.0.0.0/8\" must be "
          "an IPv4 range like 10.0.0.0/16",
          "transit_vpcs[0].cloud_routers[0].remove_advertised_groups[0]: \"all_subnets\" is not an "
          "advertised group like ALL_SUBNETS",
          "transit_vpcs[1].vpc_name: \"proj-hub::hub::x\" must be 'project::network'",
          "manage_routes.stage-1.add[0].priority: must be a whole number from 0 to 65535 or null, "
          "got -1",
          "manage_routes.stage-1.add[0].name: \"" + std::string(64, 'a') +
              "\" is not a valid name (1-63 of a-z, 0-9 and '-', starting with a letter, not "
              "ending in '-')",
          "manage_routes.stage-1.add[1].zone: \"us-central1\" is not a zone name like "
          "us-central1-a",
          "manage_routes.stage-1.add[1].dest_instance: \"Gw\" is not a valid name (1-63 of a-z, "
          "0-9 and '-', starting with a letter, not ending in '-')",
          "manage_routes.stage-1.add[1].priority: must be a whole number from 0 to 65535 or "
          "null, got 65536",
          "manage_routes.stage-1.add[1].tags[1]: \"Settlement\" is not a valid network tag (1-63 "
          "of a-z, 0-9 and '-', starting with a letter, not ending in '-')"));
}

TEST(Validation, UnknownKeysAndStrangeNamesAreReportedSafely) {
  ResourceDocument doc = yaml(kSound);
  doc["transit_vpc"] = ResourceDocument::array();
  doc["manage_routes"]["stage-1"]["delet"] = {"x"};
  doc["manage_routes"]["bad\nstage"] = nullptr;
  EXPECT_THAT(validateMigration(doc),
              ElementsAre("manage_routes.stage-1.delet: unknown key (expected delete, add)",
                          "manage_routes[\"bad\\nstage\"]: a stage name is 1-63 of letters, "
                          "digits, '.', '_' and '-'",
                          "transit_vpc: unknown key (expected project_id, vpc_name, transit_vpcs, "
                          "manage_routes, spoke_advertisement, advertise_gke)"));
}

TEST(Validation, RouterListedTwiceWouldOverwriteItsOwnRecord) {
  ResourceDocument doc = yaml(kSound);
  doc["transit_vpcs"][1]["vpc_name"] = "proj-hub::hub-a";
  doc["transit_vpcs"][1]["cloud_routers"] = {
      {{"region", "us-central1"},
       {"router_name", "cr-a"},
       {"add_advertised_routes", ResourceDocument::array()}}};
  EXPECT_THAT(validateMigration(doc),
              ElementsAre("transit_vpcs[1].cloud_routers[0]: router "
                          "\"proj-hub::hub-a::us-central1::cr-a\" is already listed at "
                          "transit_vpcs[0].cloud_routers[0]"));
}

TEST(Validation, ARouteNameBelongsToOneStage) {
  ResourceDocument doc = yaml(kSound);
  ResourceDocument replaced = doc["manage_routes"]["stage-1"]["add"][1];
  replaced["name"] = "r-9";  // deleted and created by one stage: replaced in place
  doc["manage_routes"]["stage-2"] = {
      {"delete", {"r-2", "r-9"}}, {"add", {doc["manage_routes"]["stage-1"]["add"][0], replaced}}};
  EXPECT_THAT(validateMigration(doc),
              ElementsAre("manage_routes.stage-1.add[1]: the route r-2 is deleted at "
                          "manage_routes.stage-2.delete[0]",
                          "manage_routes.stage-2.add[0]: the route "
                          "tvn-f7f3945a4866f269716b4176b7dddac9 is also created at "
                          "manage_routes.stage-1.add[0]"));
}

TEST(Validation, AnyDocumentShapeIsReportedNotCrashedOn) {
  EXPECT_THAT(validateMigration(ResourceDocument()),
              ElementsAre("the file: must be a mapping, got nothing"));
  EXPECT_THAT(validateMigration(yaml("- a\n- b\n")),
              ElementsAre("the file: must be a mapping, got a list"));
  ResourceDocument doc = yaml(kSound);
  doc["transit_vpcs"] = {1, "x", nullptr, {{"cloud_routers", "r"}}};
  doc["manage_routes"] = {{"s", {{"add", {{1, 2}}}}}};
  doc["project_id"] = std::string("\xff\xfe", 2);
  EXPECT_THAT(
      validateMigration(doc),
      ElementsAre("project_id: \"\xEF\xBF\xBD\xEF\xBF\xBD\" is not a valid project id (6-30 "
                  "of a-z, 0-9 and '-', starting with a letter)",
                  "transit_vpcs[0]: must be a mapping, got 1",
                  "transit_vpcs[1]: must be a mapping, got \"x\"",
                  "transit_vpcs[2]: must be a mapping, got nothing",
                  "transit_vpcs[3].vpc_name: missing",
                  "transit_vpcs[3].cloud_routers: must be a list, got \"r\"",
                  "manage_routes.s.add[0]: must be a mapping, got a list"));
}

}  // namespace
}  // namespace tolmi_gcp::cli
