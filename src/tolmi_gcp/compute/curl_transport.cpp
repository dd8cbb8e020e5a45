#include "tolmi_gcp/compute/curl_transport.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>

#include <curl/curl.h>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/json_text.hpp"

namespace tolmi_gcp {

namespace {

const char* kUserAgent = "tolmi-gcp/" TOLMI_GCP_VERSION " (libtolmi_gcp)";

// The answer's body as it arrives, up to a limit.
struct Body {
  CURL* curl;
  std::string* text;
  std::size_t limit;
  bool tooLarge = false;
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* target) {
  auto* body = static_cast<Body*>(target);
  if (body->text->size() + size * count > body->limit) {
    body->tooLarge = true;
    return 0;  // makes libcurl stop the transfer
  }
  // A large page arrives in many pieces: room for all of it at once, not grown piece by piece,
  // and for the padding that lets a JSON text be parsed where it lies.
  curl_off_t announced = -1;
  if (body->text->empty() &&
      curl_easy_getinfo(body->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced > 0 && static_cast<std::size_t>(announced) <= body->limit)
    body->text->reserve(static_cast<std::size_t>(announced) + kJsonTextPadding);
  body->text->append(data, size * count);
  return size * count;
}

std::size_t appendHeader(char* data, std::size_t size, std::size_t count, void* target) {
  std::string_view line(data, size * count);
  auto* headers = static_cast<HeaderList*>(target);
  // A new status line (after a redirect or 100-continue) starts a new header block.
  if (line.rfind("HTTP/", 0) == 0) headers->clear();
  std::size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
      value.remove_suffix(1);
    headers->emplace_back(std::move(name), std::string(value));
  }
  return size * count;
}

// Failures that happen before the request leaves: the endpoint was never reached.
bool isConnectFailure(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return true;
    default:
      return false;
  }
}

class CurlTransport : public HttpTransport {
 public:
  explicit CurlTransport(const CurlOptions& options) : options_(options) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }
  ~CurlTransport() override {
    if (handle_) curl_easy_cleanup(handle_);
  }

  HttpResponse send(const HttpRequest& request) override {
    CURL* curl = handle();
    std::string url = request.url();
    HttpResponse response;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method == "GET") {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);  // an earlier request's body is gone
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
    }
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers)
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    Body body{curl, &response.body, options_.maxAnswerBytes};
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);

    CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    if (code != CURLE_OK) {
      // A handle that saw a transport error is not reused.
      curl_easy_cleanup(handle_);
      handle_ = nullptr;
      if (body.tooLarge)
        throw MalformedAnswerError("the answer to " + request.method + " " + url +
                                   " is larger than " + std::to_string(options_.maxAnswerBytes) +
                                   " bytes; it was not read to the end");
      std::string message = request.method + " " + url + ": " + curl_easy_strerror(code);
      if (isConnectFailure(code)) throw ConnectError(message);
      throw TransportError(message);
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int>(status);
    return response;
  }

  std::shared_ptr<HttpTransport> twin() const override {
    return std::make_shared<CurlTransport>(options_);
  }

 private:
  // The handle, made with the options every request shares: it keeps them, and its connection,
  // from one request to the next, so a request sets only what is its own.
  CURL* handle() {
    if (handle_) return handle_;
    handle_ = curl_easy_init();
    if (!handle_) throw TransportError("cannot create a libcurl handle");
    CURL* curl = handle_;
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
    // A page of 500 routes in one read, not in 16 KB pieces each with its own poll and recv.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options_.totalTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendHeader);
    return curl;
  }

  CurlOptions options_;
  CURL* handle_ = nullptr;
};

}  // namespace

std::shared_ptr<HttpTransport> makeCurlTransport(const CurlOptions& options) {
  return std::make_shared<CurlTransport>(options);
}

}  // namespace tolmi_gcp
