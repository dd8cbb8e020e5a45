// Any bytes as a migration file: the loader and the validator must answer with a ConfigError or a
// list of problems, never crash, hang or let another exception out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/validation.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"
#include "tolmi_gcp/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    tolmi_gcp::cli::validateMigration(tolmi_gcp::parseYamlText(text, "fuzz.yaml"));
  } catch (const tolmi_gcp::ConfigError&) {
  }
  return 0;
}
