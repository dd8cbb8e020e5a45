#include "tolmi_gcp/errors.hpp"

#include <typeinfo>

#include <cxxabi.h>

#include "tolmi_gcp/printable_text.hpp"

namespace tolmi_gcp {

namespace {

std::string typeName(const std::exception& failure) {
  const char* mangled = typeid(failure).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  return name;
}

void describeInto(const std::exception& failure, std::string& out, int depth) {
  out += depth == 0 ? "Traceback (failure):\n" : "Caused by:\n";
  out += "  " + typeName(failure) + ": " + printableText(failure.what()) + "\n";
  try {
    std::rethrow_if_nested(failure);
  } catch (const std::exception& cause) {
    describeInto(cause, out, depth + 1);
  } catch (...) {
    out += "Caused by:\n  unknown failure\n";
  }
}

}  // namespace

HttpError::HttpError(int status, std::string reason, std::string method, std::string url,
                     std::string apiMessage, bool answerLost)
    : Error("HTTP " + std::to_string(status) + (reason.empty() ? "" : " " + reason) + ": " +
            apiMessage + " [" + method + " " + url + "]" +
            (answerLost ? " (an earlier try got no answer: the change may have been made)" : "")),
      status_(status),
      reason_(std::move(reason)),
      url_(std::move(url)),
      apiMessage_(std::move(apiMessage)),
      answerLost_(answerLost) {}

MissingKeyError::MissingKeyError(const std::string& key)
    : Error("missing key '" + key + "'"), key_(key) {}

ArgumentTypeError::ArgumentTypeError(const std::string& argument, const std::string& expected,
                                     const ResourceDocument& got)
    : Error("argument '" + argument + "' must be " + expected + ", got " +
            std::string(got.type_name()) + " " + jsonText(got)),
      argument_(argument) {}

OperationError::OperationError(ResourceDocument error)
    : Error(textOf(error)), error_(std::move(error)) {}

std::string describeFailure(const std::exception& failure) {
  std::string out;
  describeInto(failure, out, 0);
  return out;
}

}  // namespace tolmi_gcp
