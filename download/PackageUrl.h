#pragma once
// A package address split for the HTTP client: scheme, plain host, port and object path.
#include <string>

namespace brisk::download {

struct PackageUrl {
  bool secure = false;
  std::string host;
  long port = 0;
  std::string objectPath;  // from the first '/' after the host, as given

  // The address the client fetches, with the port always written out.
  std::string ClientUrl() const;
};

// "http://host[:port]/path" or "https://..." (lower-case scheme) -> out; false for anything
// else, with the reason logged. The host and port are logged before they are checked.
bool ParsePackageUrl(const std::string& url, PackageUrl& out);

}  // namespace brisk::download
