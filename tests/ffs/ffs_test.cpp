// The firmware file ffspack writes, read back field by field against the PI
// file, section and dependency-expression layouts.
#include "tools/ffs/ffs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le24(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16; }

// The header sums to zero with the data checksum and the state counted as 0.
uint8_t HeaderSum(const Bytes& f) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 24; i++) {
    if (i != 17 && i != 23) sum = static_cast<uint8_t>(sum + f[i]);
  }
  return sum;
}

Bytes Bytes_(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }

// The GUIDs in their stored byte order, written out by hand.
const Bytes kFileGuid =
    Bytes_({0x59, 0x56, 0x03, 0xF8, 0x8C, 0x17, 0xFF, 0x41, 0x8E, 0x0D, 0xEA, 0x92, 0x8C, 0x53, 0xDB, 0x3A});
const Bytes kVariableArch =
    Bytes_({0xE2, 0x68, 0x56, 0x1E, 0x81, 0x84, 0xD4, 0x11, 0xBC, 0xF1, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81});
const Bytes kVariableWriteArch =
    Bytes_({0x18, 0xF8, 0x41, 0x64, 0x62, 0x63, 0x44, 0x4E, 0xB5, 0x70, 0x7D, 0xBA, 0x31, 0xDD, 0x24, 0x53});
const Bytes kResetArch =
    Bytes_({0x88, 0xAC, 0xCF, 0x27, 0xCC, 0x46, 0xD4, 0x11, 0x9A, 0x38, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D});
const Bytes kPcd =
    Bytes_({0xF6, 0xF0, 0xA3, 0x13, 0x4A, 0x26, 0xF0, 0x3E, 0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34});
const Bytes kCpuArch =
    Bytes_({0xB1, 0xCC, 0xBA, 0x26, 0x42, 0x6F, 0xD4, 0x11, 0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81});
const Bytes kHiiDatabase =
    Bytes_({0x72, 0xC1, 0x9F, 0xEF, 0xB2, 0xA1, 0x93, 0x46, 0xB3, 0x27, 0x6D, 0x32, 0xFC, 0x41, 0x60, 0x42});
const Bytes kHiiString =
    Bytes_({0x74, 0x69, 0xD9, 0x0F, 0xAA, 0x23, 0xDC, 0x4C, 0xB9, 0xCB, 0x98, 0xD1, 0x77, 0x50, 0x32, 0x2A});

Bytes Image(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; i++) image[i] = static_cast<uint8_t>(i * 7 + 3);
  image[0] = 'M';
  image[1] = 'Z';
  return image;
}

fwfile::DriverFile BootCtl(const Bytes& image) {
  fwfile::DriverFile file;
  file.name = *fwfile::ParseGuid(fwfile::kBootCtlFileGuid);
  std::vector<fwfile::Guid> protocols;
  for (const auto& item : fwfile::BootCtlDepex()) protocols.push_back(*fwfile::ParseGuid(item.guid));
  file.depex = fwfile::AllOfDepex(protocols);
  file.image = image;
  file.uiName = fwfile::kBootCtlUiName;
  return file;
}

Bytes Slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); }

void ExpectDriverFileAround(const Bytes& f, const Bytes& image) {
  // Layout for a 1,001-byte image: depex section at 24 (130 bytes), 2 pad
  // bytes, PE32 at 156 (1,005 bytes), 3 pad bytes, UI at 1,164 (26 bytes).
  ASSERT_EQ(f.size(), 1190u);
  EXPECT_EQ(Slice(f, 0, 16), kFileGuid);
  EXPECT_EQ(f[18], 0x07) << "EFI_FV_FILETYPE_DRIVER";
  EXPECT_EQ(f[19], 0x00) << "no data checksum, no alignment, not a large file";
  EXPECT_EQ(Le24(f, 20), 1190u);
  EXPECT_EQ(f[23], 0xF8) << "header construction, header valid, data valid; erased bits 1";
  EXPECT_EQ(f[17], 0xAA) << "fixed data checksum without FFS_ATTRIB_CHECKSUM";
  EXPECT_EQ(HeaderSum(f), 0);

  struct Expected {
    size_t at;
    uint32_t size;
    uint8_t type;
  };
  const Expected sections[] = {{24, 130, 0x13}, {156, 1005, 0x10}, {1164, 26, 0x15}};
  size_t walk = 24;
  for (const auto& s : sections) {
    walk = (walk + 3) & ~size_t{3};
    EXPECT_EQ(walk, s.at);
    EXPECT_EQ(Le24(f, walk), s.size) << "section at " << walk;
    EXPECT_EQ(f[walk + 3], s.type) << "section at " << walk;
    walk += Le24(f, walk);
  }
  EXPECT_EQ(walk, f.size()) << "the last section ends the file";
  EXPECT_EQ(Slice(f, 154, 2), Bytes_({0, 0}));
  EXPECT_EQ(Slice(f, 1161, 3), Bytes_({0, 0, 0}));

  Bytes depex;
  for (const Bytes* g :
       {&kVariableArch, &kVariableWriteArch, &kResetArch, &kPcd, &kCpuArch, &kHiiDatabase, &kHiiString}) {
    depex.push_back(0x02);
    depex.insert(depex.end(), g->begin(), g->end());
    if (g != &kVariableArch) depex.push_back(0x03);
  }
  depex.push_back(0x08);
  EXPECT_EQ(Slice(f, 28, 126), depex) << "PUSH each protocol, AND after the second and each later one, END";

  EXPECT_EQ(Slice(f, 160, 1001), image);
  EXPECT_EQ(Slice(f, 1168, 22),
            Bytes_({'B', 0, 'o', 0, 'o', 0, 't', 0, 'C', 0, 't', 0, 'l', 0, 'D', 0, 'x', 0, 'e', 0, 0, 0}));
}

TEST(Ffs, BootCtlFileFieldByField) {
  const Bytes image = Image(1001);
  std::string error;
  auto f = fwfile::BuildDriverFile(BootCtl(image), &error);
  ASSERT_TRUE(f) << error;
  ExpectDriverFileAround(*f, image);
}

TEST(Ffs, HeaderChecksumFollowsTheName) {
  // The same file under another name: only the name and the header checksum
  // change.
  const Bytes image = Image(1001);
  fwfile::DriverFile file = BootCtl(image);
  std::string error;
  auto a = fwfile::BuildDriverFile(file, &error);
  file.name = *fwfile::ParseGuid("00000000-0000-0000-0000-000000000001");
  auto b = fwfile::BuildDriverFile(file, &error);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(HeaderSum(*b), 0);
  EXPECT_EQ((*b)[15], 0x01);
  EXPECT_NE((*a)[16], (*b)[16]);
  EXPECT_EQ(Slice(*a, 17, a->size() - 17), Slice(*b, 17, b->size() - 17));
}

TEST(Ffs, SizeLimitOfTheTwentyFourBitField) {
  // 16,777,028 image bytes make a 16,777,214-byte file (0xFFFFFE, the
  // largest even size); 4 more do not fit.
  std::string error;
  auto fits = fwfile::BuildDriverFile(BootCtl(Image(16777028)), &error);
  ASSERT_TRUE(fits) << error;
  EXPECT_EQ(fits->size(), 16777214u);
  EXPECT_EQ(Slice(*fits, 20, 3), Bytes_({0xFE, 0xFF, 0xFF}));
  EXPECT_EQ(HeaderSum(*fits), 0);
  EXPECT_FALSE(fwfile::BuildDriverFile(BootCtl(Image(16777032)), &error));
  EXPECT_FALSE(error.empty());
}

TEST(Ffs, DependencyExpressions) {
  const fwfile::Guid g = *fwfile::ParseGuid("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  const Bytes stored = Bytes_(
      {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
  Bytes one{0x02};
  one.insert(one.end(), stored.begin(), stored.end());
  one.push_back(0x08);
  Bytes before{0x00};
  before.insert(before.end(), stored.begin(), stored.end());
  before.push_back(0x08);
  struct Case {
    const char* what;
    Bytes actual;
    Bytes expected;
  } cases[] = {
      {"nothing to wait for", fwfile::AllOfDepex({}), Bytes_({0x06, 0x08})},
      {"one protocol", fwfile::AllOfDepex({g}), one},
      {"before a file", fwfile::OrderDepex(fwfile::kDepexBefore, g), before},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(Ffs, BootCtlDependencyList) {
  // The list by its GUIDs' text: the three architectural protocols of
  // variables and reset, PCD, CPU, the HII database and string protocols,
  // each named.
  const char* expected[] = {"1E5668E2-8481-11D4-BCF1-0080C73C8881", "6441F818-6362-4E44-B570-7DBA31DD2453",
                            "27CFAC88-46CC-11D4-9A38-0090273FC14D", "13A3F0F6-264A-3EF0-F2E0-DEC512342F34",
                            "26BACCB1-6F42-11D4-BCE7-0080C73C8881", "EF9FC172-A1B2-4693-B327-6D32FC416042",
                            "0FD96974-23AA-4CDC-B9CB-98D17750322A"};
  const auto& list = fwfile::BootCtlDepex();
  ASSERT_EQ(list.size(), 7u);
  for (size_t i = 0; i < list.size(); i++) {
    EXPECT_STREQ(list[i].guid, expected[i]);
    EXPECT_NE(std::string(list[i].name).find("PROTOCOL"), std::string::npos);
    auto round = fwfile::ParseGuid(list[i].guid);
    ASSERT_TRUE(round);
    EXPECT_EQ(fwfile::FormatGuid(*round), expected[i]);
  }
}

TEST(Ffs, GuidText) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"F8035659-178C-41FF-8E0D-EA928C53DB3A", true},   {"{F8035659-178C-41FF-8E0D-EA928C53DB3A}", true},
      {"f8035659-178c-41ff-8e0d-ea928c53db3a", true},   {"F8035659-178C-41FF-8E0D-EA928C53DB3", false},
      {"F8035659-178C-41FF-8E0D-EA928C53DB3AA", false}, {"F8035659+178C-41FF-8E0D-EA928C53DB3A", false},
      {"G8035659-178C-41FF-8E0D-EA928C53DB3A", false},  {"{F8035659-178C-41FF-8E0D-EA928C53DB3A", false},
  };
  for (const auto& c : cases) EXPECT_EQ(fwfile::ParseGuid(c.text).has_value(), c.ok) << c.text;
}

#ifdef BOOTCTL_FFS_PATH
Bytes ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Ffs, BuiltFileCarriesTheBuiltImage) {
  const Bytes image = ReadFile(BOOTCTL_EFI_PATH);
  const Bytes f = ReadFile(BOOTCTL_FFS_PATH);
  ASSERT_GT(image.size(), 1024u);
  ASSERT_GT(f.size(), 24u);
  EXPECT_EQ(Slice(f, 0, 16), kFileGuid);
  EXPECT_EQ(f[18], 0x07);
  EXPECT_EQ(f[23], 0xF8);
  EXPECT_EQ(f[17], 0xAA);
  EXPECT_EQ(HeaderSum(f), 0);
  EXPECT_EQ(Le24(f, 20), f.size());
  // The PE32 section follows the 130-byte depex section at offset 156.
  EXPECT_EQ(f[159], 0x10);
  EXPECT_EQ(Le24(f, 156), image.size() + 4);
  EXPECT_EQ(Slice(f, 160, image.size()), image);
  const size_t ui = (160 + image.size() + 3) & ~size_t{3};
  EXPECT_EQ(f[ui + 3], 0x15);
  EXPECT_EQ(f.size(), ui + 26);
}
#endif

}  // namespace
