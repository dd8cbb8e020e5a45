#pragma once

#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::testing {

// A fresh RSA key pair, made at test time so that no key is ever committed.
struct TestKeyPair {
  std::string privatePem;  // PKCS#8, as service account key files hold it
  std::string publicPem;   // SubjectPublicKeyInfo
};
TestKeyPair generateRsaKeyPair(int bits = 2048);
// One 2048-bit pair for the whole test run: generating RSA keys is slow.
const TestKeyPair& sharedRsaKeyPair();

// The same private key encrypted with a passphrase (PKCS#8, AES-128-CBC).
std::string encryptedPem(const std::string& privatePem, const std::string& passphrase);

// A fresh EC (P-256) private key in PEM form: a key that cannot sign RS256.
std::string ecPrivatePem();

// A service account key file as the cloud console hands it out.
ResourceDocument serviceAccountKeyFile(const std::string& email, const std::string& tokenUri,
                                       const std::string& privatePem,
                                       const std::string& projectId = "");

// The RS256 signature of `data` with the private key, for hand-made JWTs.
std::string signRs256(const std::string& privatePem, const std::string& data);

// True when `signature` is a valid RS256 signature of `data` under the public key.
bool verifyRs256(const std::string& publicPem, const std::string& data,
                 const std::string& signature);

}  // namespace tolmi_gcp::testing
