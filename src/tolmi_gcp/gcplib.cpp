#include "tolmi_gcp/gcplib.hpp"

#include <chrono>
#include <thread>

#include <log4cplus/loglevel.h>

#include "tolmi_gcp/core/YamlContext.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/gcplib/frame.hpp"
#include "tolmi_gcp/res/Globals.hpp"

namespace tolmi_gcp {

namespace frame {

log4cplus::Logger& logger() {
  static log4cplus::Logger instance = log4cplus::Logger::getInstance("tolmi_gcp.gcplib");
  return instance;
}

namespace {

// Logged as it is: the macros would copy the line through a string stream and attach the source
// file and function, which no layout of ours shows and which cost two allocations a line.
void logLine(log4cplus::LogLevel level, const std::string& message) {
  logger().log(level, message, nullptr, -1, nullptr);
}

}  // namespace

void info(const std::string& message) { logLine(log4cplus::INFO_LOG_LEVEL, message); }
void warning(const std::string& message) { logLine(log4cplus::WARN_LOG_LEVEL, message); }
void error(const std::string& message) { logLine(log4cplus::ERROR_LOG_LEVEL, message); }

ResourceLink linkAt(const ResourceDocument& doc, std::string_view key, ResourceLink::Scope scope,
                    std::string_view collection, const std::string& owner) {
  stringAt(doc, key);
  return ResourceLink::of(at(doc, key), scope, collection,
                          "the " + std::string(key) + " of " + owner);
}

std::string lastSegment(std::string_view text) {
  std::size_t slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

void appendJustified(std::string& line, std::string_view text, std::size_t width) {
  line.append(text);
  if (text.size() < width) line.append(width - text.size(), ' ');
}

std::string ljust(std::string_view text, std::size_t width) {
  std::string out;
  appendJustified(out, text, width);
  return out;
}

const std::string& rule() {
  static const std::string kRule = "  " + std::string(63, '.');
  return kRule;
}

void writeTableHead(std::string_view first, std::string_view second, std::string_view third) {
  info(rule());
  info("  " + ljust(first, 25) + ljust(second, 30) + std::string(third));
  info(rule());
}

void inspectChange(const ResourceDocument& operation, std::string_view httpMarker) {
  const ResourceDocument& failure = memberOrNull(operation, "error");
  if (truthy(failure)) return error("  **Error** " + textOf(failure));
  const ResourceDocument& warnings = memberOrNull(operation, "warnings");
  if (truthy(warnings)) return warning("  **Error** " + textOf(warnings));
  const ResourceDocument& httpMessage = memberOrNull(operation, "httpErrorMessage");
  if (truthy(httpMessage)) error(std::string(httpMarker) + textOf(httpMessage));
}

ResourceDocument config(const std::string& key) { return YamlContext{}.getContext(key); }

std::string configText(const std::string& key) {
  ResourceDocument value = config(key);
  if (!value.is_string()) throw ArgumentTypeError(key, "a string", value);
  return value.get<std::string>();
}

ComputeService& globalService() {
  if (!Globals::service) throw Error("no ComputeService set in Globals::service");
  return *Globals::service;
}

ResourceDocument awaitOperation(const Request& wait, const Request& read) {
  const std::string& operation = read.path();
  const auto deadline = GcpLib::clock()() + Globals::operationTimeout;
  // A failed wait says nothing of the change: from then on the operation is read instead, and
  // its own status decides.
  const Request* asking = &wait;
  for (;;) {
    ResourceDocument document;
    try {
      document = asking->execute();
    } catch (const Error& failure) {  // HttpError or TransportError
      if (asking == &read) throw;
      warning("waiting for operation " + operation + " failed (" + failure.what() +
              "): reading the operation instead");
      asking = &read;
      continue;
    }
    const ResourceDocument& status = at(document, "status");
    if (!status.is_string())
      throw Error("malformed answer for operation " + operation + ": \"status\" is " +
                  textOf(status) + ", not a text");
    if (status.get_ref<const std::string&>() == "DONE") {
      if (document.contains("error")) throw OperationError(document["error"]);
      return document;
    }
    if (GcpLib::clock()() >= deadline)
      throw OperationTimeoutError("operation " + operation + " is still " + textOf(status) +
                                  " after " + std::to_string(Globals::operationTimeout.count()) +
                                  " s (--operation-timeout)");
    GcpLib::sleeper()();
  }
}

}  // namespace frame

std::function<void()>& GcpLib::sleeper() {
  static std::function<void()> sleep = [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
  return sleep;
}

std::function<std::chrono::steady_clock::time_point()>& GcpLib::clock() {
  static std::function<std::chrono::steady_clock::time_point()> now = [] {
    return std::chrono::steady_clock::now();
  };
  return now;
}

ResourceDocument GcpLib::wait_for_global_operation(ComputeService& service,
                                                   const ResourceDocument& project,
                                                   const ResourceDocument& operation) {
  if (!project.is_string()) throw ArgumentTypeError("project", "a string", project);
  if (!operation.is_string()) throw ArgumentTypeError("operation", "a string", operation);
  GlobalOperationsCollection operations = service.globalOperations();
  return frame::awaitOperation(
      operations.wait(project.get<std::string>(), operation.get<std::string>()),
      operations.get(project.get<std::string>(), operation.get<std::string>()));
}

}  // namespace tolmi_gcp
