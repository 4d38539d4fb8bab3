// The download module: the only code that calls the HTTP client.
#include <curl/curl.h>

#include <mutex>

#include "download/HttpGet.h"

namespace brisk::download {

namespace {

struct Transfer {
  const HttpGetRequest* request = nullptr;
  CURL* curl = nullptr;
  bool responded = false;

  void Respond() {
    if (responded) return;
    responded = true;
    long code = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (request->onResponse) request->onResponse(code, static_cast<int64_t>(length));
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (!t->request->keepGoing()) return 0;
    t->Respond();
    const size_t total = size * count;
    return t->request->onBody(data, total) ? total : 0;
  }

  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->request->keepGoing() ? 0 : 1;
  }
};

}  // namespace

}  // namespace brisk::download

extern "C" __attribute__((visibility("default"))) void BriskHttpGet(
    const brisk::download::HttpGetRequest& request, brisk::download::HttpGetResult& result) {
  using brisk::download::HttpGetResult;
  using brisk::download::Transfer;
  // The client's global set-up is not safe to run on two threads at once.
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  result = HttpGetResult{};
  CURL* curl = curl_easy_init();
  if (!curl) {
    result.error = "no HTTP session";
    return;
  }
  curl_slist* headers = nullptr;
  for (const std::string& h : request.headers) headers = curl_slist_append(headers, h.c_str());
  char error[CURL_ERROR_SIZE] = {};
  Transfer transfer;
  transfer.request = &request;
  transfer.curl = curl;

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);  // the object path goes out as given
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, request.userAgent);
  // Redirects are followed, as the system's HTTP layer does by default.
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  // An error page (status 400 or more) is not the package: its body is never stored.
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  const bool verify = request.secure && request.verify;
  // A verified HTTPS address may not be sent on to plain HTTP, which would skip the check.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, verify ? "https" : "http,https");
  if (request.secure) {
    // Verified: the system's store, its issuer chain and the host name, as a browser checks
    // them. Otherwise any server certificate is accepted, whatever its issuer, name or dates.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  }
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, request.connectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, request.stallSeconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBytes));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.deadlineMs);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  const CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  if (code == CURLE_OK || code == CURLE_HTTP_RETURNED_ERROR) transfer.Respond();
  switch (code) {
    case CURLE_OK:
      result.outcome = HttpGetResult::Outcome::Ok;
      break;
    case CURLE_HTTP_RETURNED_ERROR:
      result.outcome = HttpGetResult::Outcome::HttpError;
      break;
    case CURLE_FILESIZE_EXCEEDED:
      result.outcome = HttpGetResult::Outcome::TooLarge;
      break;
    default:
      result.error = error[0] ? error : curl_easy_strerror(code);
      break;
  }
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
}
