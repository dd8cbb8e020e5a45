#include "test_keys.hpp"

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace tolmi_gcp::testing {

namespace {

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string privatePemOf(const Key& key, const EVP_CIPHER* cipher = nullptr,
                         const std::string& passphrase = "") {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!key || !bio ||
      PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), cipher, passphrase.data(),
                                    static_cast<int>(passphrase.size()), nullptr, nullptr) != 1)
    throw std::runtime_error("cannot write a test key");
  return bioText(bio.get());
}

Key readPrivateKey(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
}

}  // namespace

TestKeyPair generateRsaKeyPair(int bits) {
  Key key(EVP_RSA_gen(static_cast<unsigned int>(bits)), EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> publicBio(BIO_new(BIO_s_mem()), BIO_free);
  if (!key || !publicBio || PEM_write_bio_PUBKEY(publicBio.get(), key.get()) != 1)
    throw std::runtime_error("cannot generate an RSA test key");
  return {privatePemOf(key), bioText(publicBio.get())};
}

const TestKeyPair& sharedRsaKeyPair() {
  static const TestKeyPair pair = generateRsaKeyPair();
  return pair;
}

std::string encryptedPem(const std::string& privatePem, const std::string& passphrase) {
  Key key = readPrivateKey(privatePem);
  return privatePemOf(key, EVP_aes_128_cbc(), passphrase);
}

std::string ecPrivatePem() { return privatePemOf(Key(EVP_EC_gen("P-256"), EVP_PKEY_free)); }

ResourceDocument serviceAccountKeyFile(const std::string& email, const std::string& tokenUri,
                                       const std::string& privatePem,
                                       const std::string& projectId) {
  ResourceDocument file = {{"type", "service_account"}, {"private_key_id", "0123456789abcdef"},
                           {"private_key", privatePem}, {"client_email", email},
                           {"client_id", "1234567890"}, {"token_uri", tokenUri}};
  if (!projectId.empty()) file["project_id"] = projectId;
  return file;
}

std::string signRs256(const std::string& privatePem, const std::string& data) {
  Key key = readPrivateKey(privatePem);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t length = 0;
  if (!key || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, bytes, data.size()) != 1)
    throw std::runtime_error("cannot sign with the test key");
  std::string signature(length, '\0');
  EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes,
                 data.size());
  signature.resize(length);
  return signature;
}

bool verifyRs256(const std::string& publicPem, const std::string& data,
                 const std::string& signature) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(publicPem.data(), static_cast<int>(publicPem.size())), BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  return key && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) == 1;
}

}  // namespace tolmi_gcp::testing
