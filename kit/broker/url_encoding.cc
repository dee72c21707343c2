#include "kit/broker/url_encoding.h"

namespace cvl::url {

std::string percentEncode(std::string_view text, std::string_view allowed) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    bool keep = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                (b < 0x80 && allowed.find(c) != std::string_view::npos);
    if (keep) {
      out += c;
    } else {
      out += '%';
      out += HEX[b >> 4];
      out += HEX[b & 0x0F];
    }
  }
  return out;
}

std::string join(std::string_view base, std::string_view path) {
  if (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string out(base);
  out += path;
  return out;
}

}  // namespace cvl::url
