// The library's own cost of credentials: handing out a cached token on every API request, and
// building and signing a service-account assertion when a token is fetched (once an hour), with a
// token endpoint that answers at once from memory.

#include <memory>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "tolmi_gcp/compute/token_credentials.hpp"

namespace tolmi_gcp {
namespace {

class TokenEndpoint : public HttpTransport {
 public:
  HttpResponse send(const HttpRequest&) override {
    return {
        200, {}, R"({"access_token":"ya29.bench-token","expires_in":3599,"token_type":"Bearer"})"};
  }
};

std::string freshRsaKeyPem() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::unique_ptr<TokenSource> benchSource() {
  ResourceDocument key = {{"type", "service_account"},
                          {"private_key", freshRsaKeyPem()},
                          {"client_email", "bench@p.iam.example"},
                          {"token_uri", "https://oauth2.example.test/token"}};
  return serviceAccountSource(key, "bench key", std::make_shared<TokenEndpoint>());
}

void BM_CachedAuthorizationHeader(benchmark::State& state) {
  TokenCredentials credentials(benchSource());
  for (auto _ : state) benchmark::DoNotOptimize(credentials.authorizationHeader());
}
BENCHMARK(BM_CachedAuthorizationHeader);

void BM_ServiceAccountTokenFetch(benchmark::State& state) {
  std::unique_ptr<TokenSource> source = benchSource();
  for (auto _ : state) benchmark::DoNotOptimize(source->fetch());
}
BENCHMARK(BM_ServiceAccountTokenFetch)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tolmi_gcp
