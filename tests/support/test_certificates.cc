#include "tests/support/test_certificates.h"

#include <gtest/gtest.h>

namespace cvl::test {

namespace {

void openssl(const std::vector<std::string>& args) {
  ChildResult result = runChild("/usr/bin/openssl", ChildOptions{args});
  if (result.status != 0) ADD_FAILURE() << "openssl failed: " << result.err;
}

void issue(const TempDir& dir, const std::string& name, const std::string& altNames) {
  dir.write(name + ".ext", "subjectAltName=" + altNames + "\n" +
                               "basicConstraints=CA:FALSE\n"
                               "extendedKeyUsage=serverAuth\n");
  openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", dir.file(name + ".key"), "-out", dir.file(name + ".csr"), "-subj",
           "/CN=" + name});
  openssl({"x509", "-req", "-in", dir.file(name + ".csr"), "-CA", dir.file("ca.crt"), "-CAkey",
           dir.file("ca.key"), "-set_serial", std::to_string(name.size() * 7919), "-days", "2",
           "-extfile", dir.file(name + ".ext"), "-out", dir.file(name + ".crt")});
}

}  // namespace

TestCertificates makeTestCertificates(const TempDir& dir) {
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", dir.file("ca.key"), "-out", dir.file("ca.crt"), "-days", "2", "-subj",
           "/CN=Corvello test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
           "keyUsage=critical,keyCertSign,cRLSign"});
  issue(dir, "server", "DNS:localhost,IP:127.0.0.1");
  issue(dir, "othername", "DNS:elsewhere.example");
  return TestCertificates{dir.file("ca.crt"), dir.file("server.crt"), dir.file("server.key"),
                          dir.file("othername.crt"), dir.file("othername.key")};
}

}  // namespace cvl::test
