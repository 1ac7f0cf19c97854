// GUID, string and status helpers.
#include <gtest/gtest.h>

#include "sim/platform.h"

namespace {

using sim::operator==;

TEST(GuidText, ParsesRegistryFormsOnly) {
  const std::pair<const char*, bool> cases[] = {
      {"8BE4DF61-93CA-11D2-AA0D-00E098032B8C", true},  {"{8be4df61-93ca-11d2-aa0d-00e098032b8c}", true},
      {"8BE4DF61-93CA-11D2-AA0D-00E098032B8", false},  {"8BE4DF61+93CA-11D2-AA0D-00E098032B8C", false},
      {"8BE4DF61-93CA-11D2-AA0D-00E098032B8G", false}, {"{8BE4DF61-93CA-11D2-AA0D-00E098032B8C", false},
  };
  for (const auto& c : cases) {
    EFI_GUID g{};
    ASSERT_EQ(sim::ParseGuid(c.first, &g), c.second) << c.first;
    if (c.second) {
      EXPECT_TRUE(g == sim::kGlobalVariableGuid) << c.first;
    }
  }
  EXPECT_EQ(sim::GuidToString(sim::kHobListGuid), "7739F24C-93D7-11D4-9A3A-0090273FC14D");
  EXPECT_EQ(sim::GuidToString(EFI_GUID{0x0000000A, 0x00B0, 0x0C00, {0, 1, 2, 3, 4, 5, 6, 0xFF}}),
            "0000000A-00B0-0C00-0001-0203040506FF");
}

TEST(StatusName, NamesKnownCodesAndFallsBackToHex) {
  const std::pair<EFI_STATUS, const char*> cases[] = {
      {EFI_SUCCESS, "EFI_SUCCESS"},
      {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
      {EFI_COMPROMISED_DATA, "EFI_COMPROMISED_DATA"},
      {EFI_WARN_STALE_DATA, "EFI_WARN_STALE_DATA"},
      {EfiError(29), "0x800000000000001D"},
  };
  for (const auto& c : cases) EXPECT_EQ(sim::StatusName(c.first), c.second);
}

TEST(Text, Utf16AndUtf8ConvertBothWaysAndBytesPrintAsHex) {
  const std::pair<std::string, std::u16string> cases[] = {{"Boot0001", u"Boot0001"},
                                                          {"\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
                                                          {"\xF0\x9F\x98\x80", u"\U0001F600"}};
  for (const auto& c : cases) {
    EXPECT_EQ(sim::Utf8ToUtf16(c.first), c.second);
    EXPECT_EQ(sim::Utf16ToUtf8(c.second), c.first);
  }
  EXPECT_EQ(sim::Utf8ToUtf16("a\xFF\xC3"), u"a\uFFFD\uFFFD");  // invalid and truncated bytes
  EXPECT_EQ(sim::HexBytes({0x01, 0x81}), "01 81");
  EXPECT_EQ(sim::HexBytes({}), "");
  EXPECT_EQ(sim::HexBytes({0x0A, 0xFF, 0x00, 0x5C}), "0A FF 00 5C");
}

// CalculateCrc32 is the CRC-32 of IEEE 802.3 / zlib: the check value of
// "123456789" and a few known digests.
TEST(Crc32, MatchesTheStandardCheckValues) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"123456789", 0xCBF43926u},
      {"a", 0xE8B7BE43u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {std::string(32, '\0'), 0x190A55ADu},
  };
  sim::Platform p;
  p.BeginBoot();
  for (const auto& c : cases) {
    UINT32 crc = 0;
    std::string data = c.first;
    ASSERT_EQ(p.BootServices()->CalculateCrc32(data.data(), data.size(), &crc), EFI_SUCCESS);
    EXPECT_EQ(crc, c.second) << c.first;
  }
}

}  // namespace
