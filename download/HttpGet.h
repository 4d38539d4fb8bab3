#pragma once
// One HTTP(S) GET, in a module of its own (brisk-http.so) that the downloader loads on its first
// download: the HTTP client and its TLS libraries cost megabytes of memory at start, and most
// runs never download. The downloader and the module are built together, so C++ types may cross.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brisk::download {

struct HttpGetRequest {
  std::string url;          // as the client takes it
  bool secure = false;      // https
  bool verify = false;      // check the certificate and host name (https only)
  int64_t maxBytes = 0;     // a larger Content-Length is refused before the body
  long deadlineMs = 0;      // for the whole transfer
  long connectSeconds = 0;  // for the connection
  long stallSeconds = 0;    // a server that sends nothing this long is given up
  const char* userAgent = "";
  std::vector<std::string> headers;
  // Called once with the response's status and Content-Length (-1: none), before the body.
  std::function<void(long status, int64_t length)> onResponse;
  // Takes a block of the body; false ends the transfer.
  std::function<bool(const char* data, size_t size)> onBody;
  // Asked now and then; false ends the transfer.
  std::function<bool()> keepGoing;
};

struct HttpGetResult {
  enum class Outcome { Ok, HttpError, TooLarge, Failed } outcome = Outcome::Failed;
  long status = 0;
  std::string error;  // the client's reason, for Failed
};

// The module's one entry point.
using HttpGetFunction = void (*)(const HttpGetRequest& request, HttpGetResult& result);
inline constexpr const char* kHttpGetSymbol = "BriskHttpGet";

// The module's entry point, loading it on the first call; nullptr (logged with the reason) when
// the module cannot be loaded. BRISK_HTTP_MODULE names another file to load (for tests).
HttpGetFunction LoadHttpGet();

}  // namespace brisk::download
