#include <gtest/gtest.h>

#include <string>

#include "download/PackageUrl.h"

namespace brisk::download {
namespace {

TEST(PackageUrl, SchemesDefaultPortsAndTheObjectPathAsGiven) {
  PackageUrl u;
  ASSERT_TRUE(ParsePackageUrl("http://h.example/a", u));
  EXPECT_EQ(u.ClientUrl(), "http://h.example:80/a");
  ASSERT_TRUE(ParsePackageUrl("https://h-1_b.example/a/../b?c=1#d", u));
  EXPECT_TRUE(u.secure);
  EXPECT_EQ(u.port, 443);
  EXPECT_EQ(u.objectPath, "/a/../b?c=1#d");
  EXPECT_EQ(u.ClientUrl(), "https://h-1_b.example:443/a/../b?c=1#d");
}

TEST(PackageUrl, PortsReadAsIntegersAndRefusedOutsideTheTcpRange) {
  for (const auto& [text, port] : {std::pair<std::string, long>{"+8080", 8080},
                                   {" 81", 81},
                                   {"82abc", 82},
                                   {"65535", 65535}}) {
    PackageUrl u;
    ASSERT_TRUE(ParsePackageUrl("http://h:" + text + "/x", u)) << text;
    EXPECT_EQ(u.port, port) << text;
  }
  for (const char* text : {"", "0", "-1", "65536", "99999999999999999999", "abc"}) {
    PackageUrl u;
    EXPECT_FALSE(ParsePackageUrl(std::string("http://h:") + text + "/x", u)) << text;
  }
}

TEST(PackageUrl, OtherSchemesHostsAndPathlessAddressesAreRefused) {
  for (const char* url : {"HTTP://h/x", "ftp://h/x", "http:/h/x", "http://h", "https://h:443",
                          "http:///x", "http://user@h/x", "http://h?q/x", "http://[::1]/x"}) {
    PackageUrl u;
    EXPECT_FALSE(ParsePackageUrl(url, u)) << url;
  }
}

}  // namespace
}  // namespace brisk::download
