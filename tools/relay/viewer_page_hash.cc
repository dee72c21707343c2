#include <openssl/evp.h>

#include <cstdio>

#include "tools/relay/viewer_page.h"

namespace cvl::relay {

std::string viewerPageSha256() {
  std::string_view page = viewerPage();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(page.data(), page.size(), digest, &size, EVP_sha256(), nullptr);
  std::string hex;
  char byte[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", digest[i]);
    hex += byte;
  }
  return hex;
}

}  // namespace cvl::relay
