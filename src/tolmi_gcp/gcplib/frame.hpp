#pragma once

// What every GcpLib operation shares: the logger, log-table layout, links, change
// inspection and the configuration accessors. Internal to the library.

#include <string>
#include <string_view>

#include <log4cplus/logger.h>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::frame {

// The library logger "tolmi_gcp.gcplib".
log4cplus::Logger& logger();

void info(const std::string& message);
void warning(const std::string& message);
void error(const std::string& message);

// The link at member `key` of `doc`, which must name a resource of `collection` held in `scope`:
// stringAt's failures, or Error "not a resource link" naming it as the `key` of `owner`.
ResourceLink linkAt(const ResourceDocument& doc, std::string_view key, ResourceLink::Scope scope,
                    std::string_view collection, const std::string& owner);

// The last "/"-segment (the whole text when it holds no "/").
std::string lastSegment(std::string_view text);

// Left-justifies to `width` with blanks; never shortens.
std::string ljust(std::string_view text, std::size_t width);
// ljust, appended to `line`: a table row is built without a string per column.
void appendJustified(std::string& line, std::string_view text, std::size_t width);

// The table rule: two blanks and 63 dots.
const std::string& rule();

// Rule, column header (first title in 25, second in 30, third unpadded), rule.
void writeTableHead(std::string_view first, std::string_view second, std::string_view third = "");

// Looks up "error", "warnings" and "httpErrorMessage" in a change's first response and logs the
// first that holds a value; `httpMarker` prefixes the httpErrorMessage line.
void inspectChange(const ResourceDocument& operation, std::string_view httpMarker);

// YamlContext{}.getContext(key), read afresh.
ResourceDocument config(const std::string& key);

// The string value of a configuration key; throws ArgumentTypeError when it is not text.
std::string configText(const std::string& key);

// The process-wide handle Globals::service; throws Error when the tool has set none.
ComputeService& globalService();

// Repeats `wait` (a global or region operations.wait) until the operation is DONE and returns its
// last document; throws OperationError when the finished operation carries "error". When the
// wait itself fails (HttpError, TransportError), it goes on with `read` (the operation's get),
// whose failure is thrown.
ResourceDocument awaitOperation(const Request& wait, const Request& read);

}  // namespace tolmi_gcp::frame
