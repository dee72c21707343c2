#include <boost/url/encode.hpp>
#include <boost/url/grammar/alnum_chars.hpp>

#include "kit/base/url_encoding.h"

namespace cvl::url {

namespace {

// Letters and digits plus the caller's own characters: a character set for Boost.URL.
struct KeptCharacters {
  std::string_view allowed;

  bool operator()(char c) const noexcept {
    return boost::urls::grammar::alnum_chars(c) ||
           (c != '%' && static_cast<unsigned char>(c) < 0x80 &&
            allowed.find(c) != std::string_view::npos);
  }
};

}  // namespace

std::string percentEncode(std::string_view text, std::string_view allowed) {
  // Upper-case hex digits, and a space is "%20" like any other byte.
  return boost::urls::encode(text, KeptCharacters{allowed}, boost::urls::encoding_opts{});
}

std::string join(std::string_view base, std::string_view path) {
  if (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string out(base);
  out += path;
  return out;
}

}  // namespace cvl::url
