#include <gtest/gtest.h>

#include "channel/base64.h"
#include "channel/uuid.h"

namespace morvik::channel {
namespace {

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Base64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encodeBase64(bytesOf(plain)), encoded);
    EXPECT_EQ(decodeBase64(encoded), bytesOf(plain)) << encoded;
  }
  EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(Base64, RejectsAnythingNotStrict) {
  for (const char* bad :
       {"Zg", "Zg=", "Zm9", "Zg==Zg==", "Zm 9v", " Zm9v", "Zm9v\n", "Zm9v=", "Z===", "====", "-_-_", "Zm=v", "Zg=A"})
    EXPECT_EQ(decodeBase64(bad), std::nullopt) << bad;
  EXPECT_EQ(decodeBase64(std::string_view("Zm9v\0\0\0\0", 8)), std::nullopt);
}

TEST(UuidText, RejectsMalformedText) {
  for (const char* bad : {"", "7a8e1001", "7a8e10017d3b4c6a96a83d79199c7e21", "{7a8e1001-7d3b-4c6a-96a8-3d79199c7e21}",
                          "7a8e1001-7d3b-4c6a-96a8-3d79199c7e2g", "7a8e1001-7d3b-4c6a-96a8-3d79199c7e2",
                          "7a8e1001-7d3b-4c6a-96a8-3d79199c7e211", "7a8e1001x7d3b-4c6a-96a8-3d79199c7e21",
                          // Accepted by an sscanf-based parser: a sign or a space inside a group.
                          "+a8e1001-7d3b-4c6a-96a8-3d79199c7e21", "7a8e1001-7d3b-4c6a-96a8- d79199c7e21",
                          "7a8e1001-+d3b-4c6a-96a8-3d79199c7e21"})
    EXPECT_EQ(parseUuid(bad), std::nullopt) << bad;
  EXPECT_EQ(parseUuid(std::string_view("7a8e1001-7d3b-4c6a-96a8-3d79199c7e2\0", 36)), std::nullopt);
}

}  // namespace
}  // namespace morvik::channel
