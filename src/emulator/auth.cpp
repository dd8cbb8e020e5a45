#include "emulator/auth.hpp"

#include <strings.h>

#include <set>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include "emulator/wire.hpp"
#include "tolmi_gcp/compute/token_credentials.hpp"
#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/internal/encoding.hpp"

namespace tolmi_gcp::emulator {

namespace {

using std::chrono::seconds;

constexpr std::string_view kMetadataPrefix = "/computeMetadata/v1/";
constexpr seconds kClockSkew{60};
constexpr seconds kLongestAssertion{3600};

using PublicKey = std::shared_ptr<EVP_PKEY>;

struct User {
  std::string clientId;
  std::string clientSecret;
  std::string refreshToken;
  std::string account;  // who the grants are counted for
};

HttpResponse json(int status, const ResourceDocument& body, HeaderList headers = {}) {
  headers.emplace_back("content-type", "application/json; charset=utf-8");
  return {status, std::move(headers), answerText(body)};
}

HttpResponse oauthError(int status, const std::string& error, const std::string& description) {
  return json(status, {{"error", error}, {"error_description", description}});
}

std::string formField(const QueryList& form, std::string_view name) {
  for (const auto& [key, value] : form)
    if (key == name) return value;
  return "";
}

void checkKeys(const ResourceDocument& element, const std::string& where,
               const std::set<std::string>& allowed) {
  if (!element.is_object()) throw ConfigError(where + ": expected a mapping");
  for (const auto& [key, value] : element.items())
    if (!allowed.count(key)) throw ConfigError(where + "." + key + ": unknown key");
}

std::string text(const ResourceDocument& element, const char* key, const std::string& where) {
  if (!has(element, key) || !element[key].is_string() ||
      element[key].get_ref<const std::string&>().empty())
    throw ConfigError(where + "." + key + ": expected a non-empty text");
  return element[key].get<std::string>();
}

PublicKey readPublicKey(const std::string& pem, const std::string& where) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  PublicKey key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr,
                EVP_PKEY_free);
  ERR_clear_error();
  if (!key || !EVP_PKEY_is_a(key.get(), "RSA"))
    throw ConfigError(where + ": expected an RSA public key in PEM form");
  return key;
}

bool verifies(EVP_PKEY* key, const std::string& data, const std::string& signature) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  bool good =
      context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  ERR_clear_error();
  return good;
}

ResourceDocument jsonPart(std::string_view part) {
  std::optional<std::string> decoded = base64UrlDecode(part);
  return decoded ? parseDocumentOrDiscarded(*decoded)
                 : ResourceDocument(ResourceDocument::value_t::discarded);
}

std::string randomToken() {
  unsigned char bytes[24];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Error("no random bytes for an access token");
  return "ya29.emulator-" +
         base64UrlEncode(std::string(reinterpret_cast<char*>(bytes), sizeof bytes));
}

}  // namespace

struct Auth::Config {
  std::map<std::string, PublicKey> serviceAccounts;  // client_email → public key
  std::vector<User> users;
  seconds tokenLifetime{3600};
  std::optional<std::string> metadataProject;  // the metadata server is there only when set
  std::string metadataAccount;

  // The assertion's service account when it is signed by its key and in date; otherwise "" with
  // `problem` set to what Google's endpoint would say.
  std::string verify(const std::string& assertion, std::chrono::system_clock::time_point now,
                     std::string& problem) const {
    std::size_t first = assertion.find('.');
    std::size_t last = assertion.rfind('.');
    ResourceDocument head = jsonPart(assertion.substr(0, first));
    ResourceDocument claims = jsonPart(assertion.substr(first + 1, last - first - 1));
    std::optional<std::string> signature = base64UrlDecode(assertion.substr(last + 1));
    if (first == last || !head.is_object() || !claims.is_object() || !signature) {
      problem = "Invalid JWT: the assertion is not a signed JWT.";
      return "";
    }
    if (valueOr(head, "alg", "") != "RS256") {
      problem = "Invalid JWT: the algorithm must be RS256.";
      return "";
    }
    std::string issuer = has(claims, "iss") ? textOf(claims["iss"]) : "";
    auto key = serviceAccounts.find(issuer);
    if (key == serviceAccounts.end()) {
      problem = "Invalid grant: account not found";
      return "";
    }
    if (!verifies(key->second.get(), assertion.substr(0, last), *signature)) {
      problem = "Invalid JWT Signature.";
      return "";
    }
    std::string audience = has(claims, "aud") ? textOf(claims["aud"]) : "";
    if (!audience.ends_with("/token") || !truthy(valueOr(claims, "scope", ""))) {
      problem = "Invalid JWT: the audience must be the token endpoint and a scope is required.";
      return "";
    }
    long long at = std::chrono::duration_cast<seconds>(now.time_since_epoch()).count();
    ResourceDocument issued = memberOrNull(claims, "iat");
    ResourceDocument expires = memberOrNull(claims, "exp");
    if (!issued.is_number_integer() || !expires.is_number_integer() ||
        issued.get<long long>() > at + kClockSkew.count() || expires.get<long long>() <= at ||
        issued.get<long long>() < expires.get<long long>() - kLongestAssertion.count()) {
      problem =
          "Invalid JWT: Token must be a short-lived token (60 minutes) and in a reasonable "
          "timeframe. Check your iat and exp values in the JWT claim.";
      return "";
    }
    return issuer;
  }
};

Auth::Auth(const ResourceDocument& section, Clock clock)
    : config_([&section] {
        auto config = std::make_unique<Config>();
        if (section.is_null()) return config;
        checkKeys(section, "auth",
                  {"token_lifetime_seconds", "service_accounts", "authorized_users", "metadata"});
        if (has(section, "token_lifetime_seconds")) {
          const ResourceDocument& lifetime = section["token_lifetime_seconds"];
          if (!lifetime.is_number_integer() || lifetime.get<long long>() < 1 ||
              lifetime.get<long long>() > 86400)
            throw ConfigError(
                "auth.token_lifetime_seconds: expected a whole number from 1 to 86400");
          config->tokenLifetime = seconds(lifetime.get<long long>());
        }
        const ResourceDocument& accounts = arrayOrEmpty(section, "service_accounts");
        for (std::size_t i = 0; i < accounts.size(); ++i) {
          std::string where = "auth.service_accounts[" + std::to_string(i) + "]";
          checkKeys(accounts[i], where, {"client_email", "public_key"});
          config->serviceAccounts[text(accounts[i], "client_email", where)] =
              readPublicKey(text(accounts[i], "public_key", where), where + ".public_key");
        }
        const ResourceDocument& users = arrayOrEmpty(section, "authorized_users");
        for (std::size_t i = 0; i < users.size(); ++i) {
          std::string where = "auth.authorized_users[" + std::to_string(i) + "]";
          checkKeys(users[i], where, {"client_id", "client_secret", "refresh_token", "account"});
          User user{text(users[i], "client_id", where), text(users[i], "client_secret", where),
                    text(users[i], "refresh_token", where), ""};
          user.account =
              has(users[i], "account") ? text(users[i], "account", where) : user.clientId;
          config->users.push_back(std::move(user));
        }
        if (has(section, "metadata")) {
          const ResourceDocument& metadata = section["metadata"];
          checkKeys(metadata, "auth.metadata", {"project_id", "service_account"});
          config->metadataProject = text(metadata, "project_id", "auth.metadata");
          config->metadataAccount = has(metadata, "service_account")
                                        ? text(metadata, "service_account", "auth.metadata")
                                        : "default";
        }
        return config;
      }()),
      clock_(std::move(clock)) {}

Auth::~Auth() = default;

std::optional<HttpResponse> Auth::serve(const std::string& method, const std::string& path,
                                        const QueryList& /*query*/, const HeaderList& headers,
                                        const std::string& body) {
  if (path == "/token") {
    if (method != "POST")
      return oauthError(405, "invalid_request", "The token endpoint takes POST.");
    return grant(body);
  }
  if (path.starts_with(kMetadataPrefix) && config_->metadataProject && method == "GET")
    return metadata(path.substr(kMetadataPrefix.size()), headers);
  return std::nullopt;
}

HttpResponse Auth::grant(const std::string& body) {
  QueryList form = parseQuery(body);
  std::string type = formField(form, "grant_type");
  if (type == "urn:ietf:params:oauth:grant-type:jwt-bearer") {
    std::string problem;
    std::string account = config_->verify(formField(form, "assertion"), clock_(), problem);
    return account.empty() ? oauthError(400, "invalid_grant", problem) : issue(account);
  }
  if (type == "refresh_token") {
    for (const User& user : config_->users) {
      if (user.clientId != formField(form, "client_id") ||
          user.refreshToken != formField(form, "refresh_token"))
        continue;
      if (user.clientSecret != formField(form, "client_secret"))
        return oauthError(401, "invalid_client", "Unauthorized");
      return issue(user.account);
    }
    return oauthError(400, "invalid_grant", "Bad Request");
  }
  return oauthError(400, "unsupported_grant_type", "Invalid grant_type: " + type);
}

HttpResponse Auth::metadata(const std::string& path, const HeaderList& headers) {
  HeaderList flavor = {{"metadata-flavor", "Google"}};
  if (requestHeader(headers, "Metadata-Flavor") != "Google")
    return {403, flavor, "Missing Metadata-Flavor:Google header.\n"};
  if (path == "project/project-id") {
    flavor.emplace_back("content-type", "application/text");
    return {200, flavor, *config_->metadataProject};
  }
  if (path == "instance/service-accounts/default/token") {
    HttpResponse answer = issue(config_->metadataAccount);
    answer.headers.insert(answer.headers.begin(), flavor.begin(), flavor.end());
    return answer;
  }
  return {404, flavor, "Not Found\n"};
}

HttpResponse Auth::issue(const std::string& account) {
  std::string token = randomToken();
  auto now = clock_();
  std::lock_guard lock(mutex_);
  // Expired tokens are forgotten here, so a long run does not grow the table without bound.
  std::erase_if(tokens_, [now](const auto& entry) { return entry.second <= now; });
  tokens_[token] = now + config_->tokenLifetime;
  ++grantCounts_[account];
  return json(200, {{"access_token", token},
                    {"expires_in", config_->tokenLifetime.count()},
                    {"token_type", "Bearer"}});
}

std::optional<HttpResponse> Auth::refuse(const HeaderList& headers) const {
  std::string authorization = requestHeader(headers, "Authorization");
  HeaderList challenge = {{"www-authenticate", "Bearer realm=\"https://accounts.google.com/\""}};
  auto unauthenticated = [&](const std::string& message, const std::string& reason) {
    ResourceDocument error = {{"code", 401}, {"message", message}};
    error["errors"] = {{{"message", message}, {"domain", "global"}, {"reason", reason}}};
    error["status"] = "UNAUTHENTICATED";
    return json(401, {{"error", std::move(error)}}, challenge);
  };
  if (authorization.empty())
    return unauthenticated(
        "Request is missing required authentication credential. Expected OAuth 2 access token.",
        "required");
  bool bearer = authorization.size() > 7 && strncasecmp(authorization.c_str(), "Bearer ", 7) == 0;
  std::lock_guard lock(mutex_);
  auto token = bearer ? tokens_.find(authorization.substr(7)) : tokens_.end();
  if (token == tokens_.end() || token->second <= clock_())
    return unauthenticated(
        "Request had invalid authentication credentials. Expected OAuth 2 access token.",
        "authError");
  return std::nullopt;
}

ResourceDocument Auth::grants() const {
  std::lock_guard lock(mutex_);
  ResourceDocument counts = ResourceDocument::object();
  for (const auto& [account, count] : grantCounts_) counts[account] = count;
  return {{"grants", std::move(counts)}};
}

void Auth::revokeTokens() {
  std::lock_guard lock(mutex_);
  tokens_.clear();
}

}  // namespace tolmi_gcp::emulator
