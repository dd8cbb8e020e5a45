#pragma once

#include <memory>
#include <string_view>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::emulator {

// The `filter` of list methods, in either form the API accepts (not mixed in one filter):
//   - `FIELD eq REGEX` / `FIELD ne REGEX`, several terms in parentheses ANDed: the pattern must
//     match the whole field value (what gcloud sends);
//   - `FIELD OP VALUE` with OP one of = != < > <= >= :, terms ANDed (explicitly or by being
//     side by side), OR, NOT and parentheses. `FIELD:*` tests presence; `FIELD: VALUE` on a link
//     matches the same resource named in any form.
// Fields are API field names, dotted for nested ones; a term on a list field matches nothing.
class Filter {
 public:
  // An empty text matches everything. Throws ApiError 400 naming what is wrong.
  explicit Filter(std::string_view text);
  bool matches(const ResourceDocument& resource) const;

  struct Node;

 private:
  std::shared_ptr<const Node> root_;
};

}  // namespace tolmi_gcp::emulator
