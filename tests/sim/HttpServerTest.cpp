#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "sim/http/HttpServer.h"

namespace brisk::sim {

namespace {

struct Fetched {
  CURLcode result = CURLE_OK;
  long code = 0;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

Fetched Get(const std::string& url) {
  Fetched out;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
  out.result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.code);
  curl_easy_cleanup(curl);
  return out;
}

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return s;
}

}  // namespace

class TestServers : public ::testing::TestWithParam<bool> {};

TEST_P(TestServers, ServeWholeBodiesCountRequestsAndAnswer404ForUnknownPaths) {
  auto server = sim::HttpServer::Start(GetParam());
  ASSERT_TRUE(server);
  const std::string body = Bytes(300000);
  server->Serve("/fw/pkg.bin", body);

  const Fetched ok = Get(server->BaseUrl() + "/fw/pkg.bin");
  EXPECT_EQ(ok.result, CURLE_OK);
  EXPECT_EQ(ok.code, 200);
  EXPECT_TRUE(ok.body == body);

  const Fetched missing = Get(server->BaseUrl() + "/nothing");
  EXPECT_EQ(missing.result, CURLE_OK);
  EXPECT_EQ(missing.code, 404);

  EXPECT_EQ(server->RequestCount(), 2u);
  EXPECT_EQ(server->RequestCount("/fw/pkg.bin"), 1u);
  EXPECT_EQ(server->RequestCount("/nothing"), 1u);
  ASSERT_EQ(server->RequestHeads().size(), 2u);
  EXPECT_EQ(server->RequestHeads()[0].rfind("GET /fw/pkg.bin HTTP/1.1\r\n", 0), 0u);
}

TEST_P(TestServers, CutABodyShortAndServeSlowBodiesWhole) {
  auto server = sim::HttpServer::Start(GetParam());
  ASSERT_TRUE(server);
  const std::string body = Bytes(20000);
  server->ServeCut("/cut", body, 7000);
  server->ServeSlowly("/slow", body, 4000, 20);

  const Fetched cut = Get(server->BaseUrl() + "/cut");
  EXPECT_NE(cut.result, CURLE_OK);
  EXPECT_EQ(cut.body, body.substr(0, 7000));

  const Fetched slow = Get(server->BaseUrl() + "/slow");
  EXPECT_EQ(slow.result, CURLE_OK);
  EXPECT_TRUE(slow.body == body);
}

TEST_P(TestServers, HoldABodyUntilReleased) {
  auto server = sim::HttpServer::Start(GetParam());
  ASSERT_TRUE(server);
  const std::string body = Bytes(50000);
  server->ServeHeld("/held", body, 10000);
  Fetched held;
  std::thread client([&] { held = Get(server->BaseUrl() + "/held"); });
  while (server->RequestCount("/held") == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server->Release();
  client.join();
  EXPECT_EQ(held.result, CURLE_OK);
  EXPECT_TRUE(held.body == body);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, TestServers, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

TEST(TestServerLifetime, StoppingEndsAHeldConnectionAndTheServerStopsByItself) {
  auto server = sim::HttpServer::Start(false, 60000);
  ASSERT_TRUE(server);
  server->ServeHeld("/held", Bytes(5000), 100);
  Fetched held;
  std::thread client([&] { held = Get(server->BaseUrl() + "/held"); });
  while (server->RequestCount("/held") == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server->Stop();
  client.join();
  EXPECT_NE(held.result, CURLE_OK);

  auto shortLived = sim::HttpServer::Start(false, 200);
  ASSERT_TRUE(shortLived);
  shortLived->Serve("/x", "x");
  // Within a generous bound it refuses connections, though nobody stopped it.
  bool refused = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!refused && std::chrono::steady_clock::now() < deadline) {
    const Fetched late = Get(shortLived->BaseUrl() + "/x");
    refused = late.result == CURLE_COULDNT_CONNECT;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(refused);
}

}  // namespace brisk::sim
