#include "tolmi_gcp/compute/retry.hpp"

#include <algorithm>
#include <optional>
#include <thread>

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <openssl/rand.h>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/retrying_send.hpp"
#include "tolmi_gcp/printable_text.hpp"

namespace tolmi_gcp {

namespace {

using Clock = std::chrono::steady_clock;

// The API's error body {"error": {"code", "message", "errors": [{"reason"}]}} becomes an HttpError
// carrying the API's own message; a body of another shape is quoted as it came.
HttpError httpErrorOf(const HttpRequest& wire, const HttpResponse& response, bool answerLost) {
  std::string message;
  std::string reason;
  ResourceDocument body = parseDocumentOrDiscarded(response.body);
  if (!body.is_discarded() && body.is_object() && body.contains("error") &&
      body["error"].is_object()) {
    const ResourceDocument& error = body["error"];
    if (error.contains("message") && error["message"].is_string())
      message = error["message"].get<std::string>();
    if (error.contains("errors") && error["errors"].is_array() && !error["errors"].empty() &&
        error["errors"][0].is_object() && error["errors"][0].contains("reason") &&
        error["errors"][0]["reason"].is_string())
      reason = error["errors"][0]["reason"].get<std::string>();
  }
  if (message.empty()) {
    message = utf8Prefix(response.body, 500);
    if (message.empty()) message = "(empty response body)";
  }
  return HttpError(response.status, reason, wire.method, wire.url(), message, answerLost);
}

// Answers after which the request may succeed if sent again; for a change, also answers after
// which it may have been carried out.
bool isTransient(int status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

// The API refuses a change while the resource (reason resourceNotReady) or, for routes and
// peerings, its network or a peer network is busy with another operation. The latter come with
// the generic reason badRequest, so only their message tells them apart.
bool isBusy(const HttpError& error) {
  if (error.status() != 400) return false;
  if (error.reason() == "resourceNotReady") return true;
  return (error.reason().empty() || error.reason() == "badRequest") &&
         error.apiMessage().find("operation in progress") != std::string::npos;
}

// A spent rate quota: the API answers 403 rateLimitExceeded (not 429) when the project's
// per-minute quota of a group of methods is used up, and refills it at the next minute. A change
// refused so was not carried out.
bool isRateLimited(const HttpError& error) {
  if (error.status() != 403) return false;
  if (error.reason() == "rateLimitExceeded" || error.reason() == "userRateLimitExceeded")
    return true;
  const std::string& message = error.apiMessage();
  return message.find("Quota exceeded") != std::string::npos &&
         message.find("per minute") != std::string::npos;
}

// The quota a rate-limit message names ("Quota exceeded for quota metric 'Read requests' and
// limit 'Read requests per minute' of ..." names 'Read requests per minute'), "" when none.
std::string quotaOf(const std::string& message) {
  const std::string kLimit = "limit '";
  std::size_t start = message.find(kLimit);
  if (start == std::string::npos) return "";
  start += kLimit.size();
  std::size_t end = message.find('\'', start);
  return end == std::string::npos ? "" : message.substr(start, end - start);
}

// A random (version 4) UUID, as the API wants for requestId.
std::string newRequestId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Error("cannot draw random bytes for a requestId");
  bytes[6] = (bytes[6] & 0x0f) | 0x40;
  bytes[8] = (bytes[8] & 0x3f) | 0x80;
  static const char* kHex = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[bytes[i] >> 4];
    id += kHex[bytes[i] & 15];
  }
  return id;
}

std::chrono::milliseconds retryAfter(const HttpResponse& response) {
  std::string value = response.header("retry-after");
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
    return std::chrono::milliseconds(0);
  return std::chrono::seconds(std::stoll(value.substr(0, 9)));
}

// Why the API refused, for a retry line: its reason and the start of its message, on one line;
// for a spent rate quota, the quota.
std::string whyRefused(const HttpError& refusal) {
  if (isRateLimited(refusal)) {
    std::string quota = quotaOf(refusal.apiMessage());
    if (!quota.empty())
      return printableText(
          (refusal.reason().empty() ? std::string("rate quota") : refusal.reason()) + ": quota '" +
          quota + "' is spent until the next minute");
  }
  constexpr std::size_t kShown = 80;
  std::string message = printableText(refusal.apiMessage());
  if (message.size() > kShown) message = std::string(utf8Prefix(message, kShown)) + " ...";
  if (refusal.reason().empty()) return message;
  return printableText(refusal.reason()) + ": " + message;
}

log4cplus::Logger& retryLogger() {
  static log4cplus::Logger logger = log4cplus::Logger::getInstance("tolmi_gcp.compute");
  return logger;
}

// Waits out a backoff; false when the read sent ahead was abandoned meanwhile. The policy's own
// sleep (a test's clock) is used as it is, abandonment seen after it.
bool waitOut(const RetryPolicy& policy, detail::TriesAhead* ahead,
             std::chrono::milliseconds delay) {
  if (policy.sleep) {
    policy.sleep(delay);
    delay = std::chrono::milliseconds(0);
  }
  if (ahead) return ahead->waitOut(delay);
  std::this_thread::sleep_for(delay);
  return true;
}

}  // namespace

namespace detail {

void writeRetryWarning(const std::string& warning) { LOG4CPLUS_WARN(retryLogger(), warning); }

}  // namespace detail

RetryPolicy RetryPolicy::standard() {
  RetryPolicy policy;
  policy.enabled = true;
  return policy;
}

RetryPolicy RetryPolicy::none() { return RetryPolicy(); }

RetryPolicy RetryPolicy::scaled(double fraction) const {
  RetryPolicy policy = *this;
  for (std::chrono::milliseconds* time :
       {&policy.initialBackoff, &policy.maxBackoff, &policy.totalLimit})
    *time = std::max(std::chrono::milliseconds(1),
                     std::chrono::milliseconds(static_cast<long long>(time->count() * fraction)));
  return policy;
}

HttpResponse sendWithRetries(HttpRequest wire, CallKind kind, const RetryPolicy& policy,
                             std::atomic<bool>& answered,
                             const std::function<HttpResponse(const HttpRequest&)>& send,
                             detail::TriesAhead* ahead) {
  const bool change = kind == CallKind::kChange;
  // Every try of a change carries the same id, so the API does the work once.
  if (policy.enabled && change) wire.query.emplace_back("requestId", newRequestId());

  const Clock::time_point deadline = Clock::now() + policy.totalLimit;
  std::chrono::milliseconds backoff = policy.initialBackoff;
  bool lost = false;  // an earlier try of this change may have been carried out unheard
  for (int attempt = 1;; ++attempt) {
    std::optional<HttpError> refusal;  // the answer that becomes the failure if tries run out
    std::string problem;
    std::chrono::milliseconds minimum(0);
    bool mayHaveActed = change;
    try {
      HttpResponse response = send(wire);
      answered = true;
      if (response.status < 300) return response;
      refusal = httpErrorOf(wire, response, lost);
      if (!policy.enabled || !(isTransient(response.status) || isRateLimited(*refusal) ||
                               (change && isBusy(*refusal))))
        throw *refusal;
      mayHaveActed = change && isTransient(response.status);
      problem = "HTTP " + std::to_string(response.status) + " " + whyRefused(*refusal);
      minimum = retryAfter(response);
    } catch (const MalformedAnswerError&) {
      throw;
    } catch (const ConnectError& failure) {
      if (!answered)
        throw ConnectError("the API endpoint " + wire.baseUrl + " cannot be reached (" +
                           failure.what() + "); check the endpoint and the network");
      if (!policy.enabled || Clock::now() >= deadline) throw;
      problem = failure.what();
      mayHaveActed = false;  // nothing was sent
    } catch (const TransportError& failure) {
      if (!policy.enabled || Clock::now() >= deadline) throw;
      problem = failure.what();
    }
    lost = lost || mayHaveActed;
    // Between half and all of the current backoff, never less than the server asks for.
    auto delay = std::chrono::milliseconds(
        static_cast<long long>(backoff.count() * (0.5 + 0.5 * policy.random())));
    delay = std::max(delay, minimum);
    if (Clock::now() + delay < deadline) {
      std::string warning = "retrying " + wire.method + " " + wire.baseUrl + wire.path + " after " +
                            problem + " (try " + std::to_string(attempt + 1) + " in " +
                            std::to_string(delay.count()) + " ms)";
      if (ahead)
        ahead->hold(std::move(warning));
      else
        detail::writeRetryWarning(warning);
      if (waitOut(policy, ahead, delay)) {
        backoff = std::min(backoff * 2, policy.maxBackoff);
        continue;
      }
    }
    if (refusal) throw *refusal;
    throw TransportError(problem);
  }
}

}  // namespace tolmi_gcp
