#pragma once
// Shared pieces of the downloader and transfer tests.
#include <cctype>
#include <cstdlib>
#include <string>

#include "download/Md5.h"

namespace download_test {

inline std::string Md5Text(const std::string& data, bool upper = true) {
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, data.data(), static_cast<uint32_t>(data.size()));
  Md5Final(&context);
  char text[33];
  HexEncode(text, context.digest, 16);
  std::string out(text, 32);
  if (upper)
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The tests talk to 127.0.0.1 only; a proxy from the environment must not get in between.
inline void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
                           "all_proxy", "no_proxy", "NO_PROXY"})
    unsetenv(name);
}

}  // namespace download_test
