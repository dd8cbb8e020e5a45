#include "tolmi_gcp/compute/token_credentials.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/encoding.hpp"

namespace tolmi_gcp {

namespace {

using std::chrono::seconds;

constexpr seconds kAssertionLifetime{3600};
// Used when a token answer gives no "expires_in"; a refused token is refreshed anyway.
constexpr seconds kDefaultTokenLifetime{3600};
constexpr seconds kLongestTokenLifetime{24 * 3600};

// A required text field of a credentials file. The message names the field, never its value.
std::string requiredText(const ResourceDocument& file, const char* field,
                         const std::string& origin) {
  if (!has(file, field) || !file[field].is_string() ||
      file[field].get_ref<const std::string&>().empty())
    throw ConfigError(origin + " lacks \"" + std::string(field) + "\" (a non-empty text)");
  return file[field].get<std::string>();
}

// Token requests carry assertions, refresh tokens and client secrets: never in clear text over
// the network.
std::string checkedTokenUri(const ResourceDocument& file, const std::string& origin) {
  std::string uri =
      has(file, "token_uri") ? requiredText(file, "token_uri", origin) : kGoogleTokenUri;
  if (uri.rfind("https://", 0) != 0 && !isLoopbackUrl(uri))
    throw ConfigError(origin + " names the token_uri " + uri +
                      ", which is neither https nor a loopback address");
  return uri;
}

constexpr const char* kRedacted = "[redacted]";

// An endpoint may echo the request in its error text: every secret the request carried becomes
// "[redacted]", whole (as sent or percent-encoded) or in part (a word of eight characters or more
// found in one).
std::string redacted(std::string text, const std::vector<std::string>& secrets) {
  std::vector<std::string> forms;
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    forms.push_back(secret);
    forms.push_back(percentEncode(secret));
  }
  for (const std::string& form : forms)
    for (std::size_t at = text.find(form); at != std::string::npos;
         at = text.find(form, at + std::strlen(kRedacted)))
      text.replace(at, form.size(), kRedacted);
  auto inWord = [](char c) {
    return !std::isspace(static_cast<unsigned char>(c)) && !std::strchr("\"'&=,;()[]{}<>\\", c);
  };
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = at;
    while (end < text.size() && inWord(text[end])) ++end;
    if (end == at) {
      out += text[at++];
      continue;
    }
    std::string word = text.substr(at, end - at);
    bool secret = word.size() >= 8 && std::any_of(forms.begin(), forms.end(), [&](auto& form) {
                    return form.find(word) != std::string::npos;
                  });
    out += secret ? kRedacted : word;
    at = end;
  }
  return out;
}

// An error code as OAuth and the API write them ("invalid_grant"); anything else is not one.
bool isErrorCode(const std::string& text) {
  return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-';
  });
}

// An OAuth error answer {"error": "...", "error_description": "..."} (or Google's API error
// object) as its code and message, secrets redacted. Other bodies are not quoted.
std::string oauthError(const std::string& body, const std::vector<std::string>& secrets,
                       std::string& reason) {
  ResourceDocument answer = parseDocumentOrDiscarded(body);
  if (answer.is_discarded() || !answer.is_object() || !has(answer, "error")) return "";
  const ResourceDocument& error = answer["error"];
  if (error.is_object())
    return has(error, "message") ? redacted(textOf(error["message"]), secrets) : "";
  std::string code = redacted(textOf(error), secrets);
  if (isErrorCode(code)) reason = code;
  if (has(answer, "error_description"))
    return redacted(textOf(answer["error_description"]), secrets);
  return code;
}

// `secrets`: what the request carries that no message may show.
AccessToken exchange(const HttpRequest& request, const std::vector<std::string>& secrets,
                     const std::string& origin, HttpTransport& transport, const WallClock& clock) {
  HttpResponse response;
  try {
    response = transport.send(request);
  } catch (const TransportError& failure) {
    throw TransportError("cannot obtain an access token for " + origin + ": " + failure.what());
  }
  if (response.status >= 300) {
    std::string reason;
    std::string explanation = oauthError(response.body, secrets, reason);
    throw HttpError(response.status, reason, request.method, request.url(),
                    "the token request for " + origin + " was refused" +
                        (explanation.empty() ? "" : ": " + explanation));
  }
  ResourceDocument answer = parseDocumentOrDiscarded(response.body);
  if (answer.is_discarded() || !has(answer, "access_token") ||
      !answer["access_token"].is_string() ||
      answer["access_token"].get_ref<const std::string&>().empty())
    throw TransportError("the token answer from " + request.url() + " for " + origin +
                         " holds no access_token");
  seconds lifetime = kDefaultTokenLifetime;
  // Bounded, so that no answer can overflow the clock arithmetic.
  if (has(answer, "expires_in") && answer["expires_in"].is_number_integer())
    lifetime = seconds(std::clamp<long long>(answer["expires_in"].get<long long>(), 0,
                                             kLongestTokenLifetime.count()));
  return {answer["access_token"].get<std::string>(), clock() + lifetime};
}

HttpRequest formPost(const std::string& uri, std::string body) {
  HttpRequest request;
  request.method = "POST";
  request.baseUrl = uri;
  request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  request.body = std::move(body);
  return request;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PrivateKey = std::unique_ptr<EVP_PKEY, PkeyFree>;

PrivateKey readRsaKey(const std::string& pem, const std::string& origin) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  // No passphrase: an encrypted key must fail here rather than prompt on the terminal.
  auto noPassphrase = [](char*, int, int, void*) { return 0; };
  PrivateKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr)
                     : nullptr);
  ERR_clear_error();
  if (!key || !EVP_PKEY_is_a(key.get(), "RSA"))
    throw ConfigError("the \"private_key\" of " + origin +
                      " is not an RSA private key in PEM form");
  return key;
}

class ServiceAccountSource : public TokenSource {
 public:
  ServiceAccountSource(const ResourceDocument& key, const std::string& origin,
                       std::shared_ptr<HttpTransport> transport, WallClock clock)
      : email_(requiredText(key, "client_email", origin)),
        keyId_(has(key, "private_key_id") ? textOf(key["private_key_id"]) : ""),
        tokenUri_(checkedTokenUri(key, origin)),
        origin_("service account " + email_ + " (" + origin + ")"),
        key_(readRsaKey(requiredText(key, "private_key", origin), origin)),
        transport_(std::move(transport)),
        clock_(std::move(clock)) {}

  AccessToken fetch() override {
    long long issued = std::chrono::duration_cast<seconds>(clock_().time_since_epoch()).count();
    ResourceDocument header = {{"alg", "RS256"}, {"typ", "JWT"}};
    if (!keyId_.empty()) header["kid"] = keyId_;
    ResourceDocument claims = {{"iss", email_},
                               {"scope", kCloudPlatformScope},
                               {"aud", tokenUri_},
                               {"iat", issued},
                               {"exp", issued + kAssertionLifetime.count()}};
    std::string signingInput =
        base64UrlEncode(header.dump()) + "." + base64UrlEncode(claims.dump());
    std::string assertion = signingInput + "." + base64UrlEncode(sign(signingInput));
    return exchange(
        formPost(tokenUri_,
                 "grant_type=" + percentEncode("urn:ietf:params:oauth:grant-type:jwt-bearer") +
                     "&assertion=" + assertion),
        {assertion}, origin_, *transport_, clock_);
  }

 private:
  std::string sign(const std::string& input) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    const auto* data = reinterpret_cast<const unsigned char*>(input.data());
    std::size_t length = 0;
    std::string signature;
    bool signed_ =
        context &&
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
        EVP_DigestSign(context.get(), nullptr, &length, data, input.size()) == 1;
    if (signed_) {
      signature.resize(length);
      signed_ = EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()),
                               &length, data, input.size()) == 1;
      signature.resize(length);
    }
    ERR_clear_error();
    if (!signed_) throw Error("cannot sign the token request for " + origin_);
    return signature;
  }

  std::string email_;
  std::string keyId_;
  std::string tokenUri_;
  std::string origin_;
  PrivateKey key_;
  std::shared_ptr<HttpTransport> transport_;
  WallClock clock_;
};

constexpr const char* kRefreshFields[] = {"client_id", "client_secret", "refresh_token"};

// The refresh-token grant's form, fields checked in the order they go out.
std::string refreshGrant(const ResourceDocument& file, const std::string& origin) {
  std::string form = "grant_type=refresh_token";
  for (const char* field : kRefreshFields)
    form += std::string("&") + field + "=" + percentEncode(requiredText(file, field, origin));
  return form;
}

class AuthorizedUserSource : public TokenSource {
 public:
  AuthorizedUserSource(const ResourceDocument& file, const std::string& origin,
                       std::shared_ptr<HttpTransport> transport, WallClock clock)
      : tokenUri_(checkedTokenUri(file, origin)),
        origin_("user credentials (" + origin + ")"),
        form_(refreshGrant(file, origin)),
        transport_(std::move(transport)),
        clock_(std::move(clock)) {
    for (const char* field : kRefreshFields) secrets_.push_back(file[field].get<std::string>());
  }

  AccessToken fetch() override {
    return exchange(formPost(tokenUri_, form_), secrets_, origin_, *transport_, clock_);
  }

 private:
  std::string tokenUri_;
  std::string origin_;
  std::string form_;
  std::vector<std::string> secrets_;
  std::shared_ptr<HttpTransport> transport_;
  WallClock clock_;
};

class MetadataSource : public TokenSource {
 public:
  MetadataSource(std::string root, std::shared_ptr<HttpTransport> transport, WallClock clock)
      : root_(std::move(root)), transport_(std::move(transport)), clock_(std::move(clock)) {}

  AccessToken fetch() override {
    HttpRequest request;
    request.method = "GET";
    request.baseUrl = root_;
    request.path = "instance/service-accounts/default/token";
    request.query = {{"scopes", kCloudPlatformScope}};
    request.headers = {{"Metadata-Flavor", "Google"}};
    return exchange(request, {}, "the metadata server at " + root_, *transport_, clock_);
  }

 private:
  std::string root_;
  std::shared_ptr<HttpTransport> transport_;
  WallClock clock_;
};

}  // namespace

TokenCredentials::TokenCredentials(std::unique_ptr<TokenSource> source, WallClock clock)
    : source_(std::move(source)), clock_(std::move(clock)) {}

std::optional<std::string> TokenCredentials::authorizationHeader() {
  std::lock_guard lock(mutex_);
  if (!token_ || clock_() + kRefreshSlack >= token_->expiry) token_ = source_->fetch();
  return "Bearer " + token_->value;
}

void TokenCredentials::invalidate() {
  std::lock_guard lock(mutex_);
  token_.reset();
}

std::unique_ptr<TokenSource> serviceAccountSource(const ResourceDocument& key,
                                                  const std::string& origin,
                                                  std::shared_ptr<HttpTransport> transport,
                                                  WallClock clock) {
  return std::make_unique<ServiceAccountSource>(key, origin, std::move(transport),
                                                std::move(clock));
}

std::unique_ptr<TokenSource> authorizedUserSource(const ResourceDocument& file,
                                                  const std::string& origin,
                                                  std::shared_ptr<HttpTransport> transport,
                                                  WallClock clock) {
  return std::make_unique<AuthorizedUserSource>(file, origin, std::move(transport),
                                                std::move(clock));
}

std::unique_ptr<TokenSource> metadataSource(std::string root,
                                            std::shared_ptr<HttpTransport> transport,
                                            WallClock clock) {
  return std::make_unique<MetadataSource>(std::move(root), std::move(transport), std::move(clock));
}

bool isLoopbackUrl(std::string_view url) {
  std::string lower(url);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  std::string_view rest(lower);
  if (rest.starts_with("http://"))
    rest.remove_prefix(7);
  else if (rest.starts_with("https://"))
    rest.remove_prefix(8);
  else
    return false;
  rest = rest.substr(0, rest.find_first_of("/?#"));
  // A user-info part ("127.0.0.1@host") makes the host ambiguous to a reader: not loopback.
  if (rest.find('@') != std::string_view::npos) return false;
  if (rest.starts_with("[")) return rest == "[::1]" || rest.starts_with("[::1]:");
  std::string host(rest.substr(0, rest.find(':')));
  if (host == "localhost") return true;
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string base64UrlEncode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  while (!out.empty() && out.back() == '=') out.pop_back();
  std::replace(out.begin(), out.end(), '+', '-');
  std::replace(out.begin(), out.end(), '/', '_');
  return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-')
      c = '+';
    else if (c == '_')
      c = '/';
    else if (!std::isalnum(static_cast<unsigned char>(c)))
      return std::nullopt;
  }
  std::size_t padding = (4 - standard.size() % 4) % 4;
  standard.append(padding, '=');
  std::string out(standard.size() / 4 * 3, '\0');
  int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(standard.data()),
                               static_cast<int>(standard.size()));
  if (length < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(length) - padding);
  return out;
}

}  // namespace tolmi_gcp
