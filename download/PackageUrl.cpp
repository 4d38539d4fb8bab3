#include "download/PackageUrl.h"

#include <algorithm>
#include <cctype>

#include "log/Log.h"

namespace brisk::download {

namespace {

// Letters, digits, '.', '-' and '_': anything else could make the client read the address
// differently from the host we log (a user name, a second port, a query).
bool IsPlainHost(const std::string& host) {
  if (host.empty()) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
}

// The text-to-integer rule (blanks, sign, digits); -1 when the value is no TCP port, rather
// than cutting it to 16 bits and connecting somewhere else.
long ParsePort(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 65535) return -1;
  }
  if (negative || value == 0) return -1;
  return value;
}

}  // namespace

std::string PackageUrl::ClientUrl() const {
  return std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) +
         objectPath;
}

bool ParsePackageUrl(const std::string& url, PackageUrl& out) {
  size_t hostStart;
  if (url.rfind("http://", 0) == 0) {
    out.secure = false;
    hostStart = 7;
  } else if (url.rfind("https://", 0) == 0) {
    out.secure = true;
    hostStart = 8;
  } else {
    return false;
  }
  const size_t slash = url.find('/', hostStart);
  if (slash == std::string::npos) {
    WriteLog("no object path in %s", url.c_str());
    return false;
  }
  const std::string hostPart = url.substr(hostStart, slash - hostStart);
  out.objectPath = url.substr(slash);
  out.host = hostPart;
  out.port = out.secure ? 443 : 80;
  const size_t colon = hostPart.find(':');
  if (colon != std::string::npos) {
    out.host = hostPart.substr(0, colon);
    out.port = ParsePort(hostPart.substr(colon + 1));
  }
  WriteLog(out.secure ? "https host: %s : %d" : "http host: %s : %d", out.host.c_str(),
           static_cast<int>(out.port));
  if (out.port < 0 || !IsPlainHost(out.host)) {
    WriteLog("bad host or port in %s", url.c_str());
    return false;
  }
  return true;
}

}  // namespace brisk::download
