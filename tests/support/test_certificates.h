#pragma once
// A throw-away certificate authority and server certificates, made with the openssl command
// line in a test's temporary folder (EC P-256, valid for two days).

#include <string>

#include "tests/support/child_process.h"

namespace cvl::test {

struct TestCertificates {
  std::string caCert;         // trust this (SSL_CERT_FILE) to accept the two below
  std::string serverCert;     // for localhost and 127.0.0.1
  std::string serverKey;
  std::string otherNameCert;  // same CA, only for elsewhere.example
  std::string otherNameKey;
};

// Reports an openssl failure with ADD_FAILURE.
TestCertificates makeTestCertificates(const TempDir& dir);

}  // namespace cvl::test
