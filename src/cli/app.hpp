#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tolmi_gcp::cli {

// The whole tool: parses `args` (the program name first), runs the command and returns the exit
// status. The library's lines and the report go to `out`, the tool's messages to `err`; progress
// lines are drawn on `err` only when `errIsTerminal`; then, unless --yes, switch and revert ask
// "proceed? [y/N]" before the first change and read the answer from `answers` when given.
int runTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool errIsTerminal, std::istream* answers = nullptr);

}  // namespace tolmi_gcp::cli
