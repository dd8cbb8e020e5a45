#pragma once

#include <atomic>
#include <functional>

#include "tolmi_gcp/compute/api_method.hpp"
#include "tolmi_gcp/compute/http_transport.hpp"
#include "tolmi_gcp/compute/retry.hpp"
#include "tolmi_gcp/internal/tries_ahead.hpp"

namespace tolmi_gcp {

// Sends `wire` through `send` as `policy` says for a call of that kind; a change gets its
// requestId here. Returns the first answer below 300. Throws HttpError for an error answer that
// is final (answerLost() when an earlier try of a change may have been carried out), ConnectError
// at once when the endpoint has never answered (`answered` is set by any answer), TransportError
// when the tries run out without an answer. The tries of a read sent ahead report to `ahead`,
// which may end them early: the request then fails as its last try did.
HttpResponse sendWithRetries(HttpRequest wire, CallKind kind, const RetryPolicy& policy,
                             std::atomic<bool>& answered,
                             const std::function<HttpResponse(const HttpRequest&)>& send,
                             detail::TriesAhead* ahead = nullptr);

}  // namespace tolmi_gcp
