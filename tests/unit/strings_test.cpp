// The string-package blob decoded back, the date checks, and the
// firmware-information texts read from an area in the simulated flash.
#include "support/strings/strings.h"

#include <cstring>
#include <map>
#include <string>

#include "sim/flash_devices.h"
#include "sim/pcd_db.h"
#include "tests/le_bytes.h"
#include "tests/unit/driver_fixture.h"

namespace {

// ---------------------------------------------------------------- the blob

struct DecodedPackage {
  uint32_t length = 0;
  uint8_t type = 0;
  uint32_t hdrSize = 0, stringInfoOffset = 0;
  bool windowZero = true;
  uint16_t languageName = 0;
  std::string tag;
  std::map<int, std::u16string> strings;
  std::vector<std::pair<int, int>> skips;  // (first id, count)
  bool ended = false;
};

// Decodes one string package with the UEFI block rules, independently of the
// driver's builder: 0x14 takes the next id, 0x21 skips a u16 count, 0x00 ends.
DecodedPackage Decode(const uint8_t* p, size_t available) {
  DecodedPackage d;
  const uint32_t header = U32(p);
  d.length = header & 0xFFFFFF;
  d.type = static_cast<uint8_t>(header >> 24);
  EXPECT_LE(d.length, available);
  d.hdrSize = U32(p + 4);
  d.stringInfoOffset = U32(p + 8);
  for (int i = 0; i < 32; ++i) d.windowZero = d.windowZero && p[12 + i] == 0;
  d.languageName = U16(p + 44);
  d.tag = reinterpret_cast<const char*>(p + 46);
  size_t at = d.stringInfoOffset;
  int id = 1;
  while (at < d.length) {
    const uint8_t block = p[at++];
    if (block == 0x00) {
      d.ended = true;
      break;
    }
    if (block == 0x21) {
      const int count = U16(p + at);
      d.skips.push_back({id, count});
      id += count;
      at += 2;
    } else if (block == 0x14) {
      std::u16string text;
      for (uint16_t c; (c = U16(p + at)) != 0; at += 2) text.push_back(static_cast<char16_t>(c));
      at += 2;
      d.strings[id++] = text;
    } else {
      ADD_FAILURE() << "unexpected block type " << int(block);
      break;
    }
  }
  EXPECT_EQ(at, d.length) << "the end block is the package's last byte";
  return d;
}

const std::map<int, std::u16string> kEnglishTexts = {
    {1, u"English"},
    {2, u"EFI Floppy"},
    {3, u"EFI DVD/CDROM"},
    {4, u"EFI Hard Drive"},
    {5, u"EFI USB Device"},
    {6, u"EFI SCSI Device"},
    {7, u"EFI ISCSI Device"},
    {8, u"EFI SD/MMC Card"},
    {9, u"EFI Embedded MMC Device"},
    {10, u"EFI Misc Device"},
    {11, u"EFI Network"},
    {12, u"Missing String"},
    {13, u"VXPLN2A0D0101"},
    {14, u"QV2207"},
    {15, u"05.41.47"},
    {16, u"BIOS Version"},
    {17, u"BIOS Build Date"},
    {18, u"Processor Type"},
    {19, u"System Memory Speed"},
    {20, u"Do you want to recovery ROM part? (Caution: Not every OS is bootable in Recovery Mode.)"},
    {21, u"Flash Status"},
    {22, u"YES,this choice will flash Rom part."},
    {23, u"NO, abort Recovery mode and restart system."},
    {24, u"Rebooting !"},
    {25, u"% of the system memory tested OK"},
    {26, u"Boot Succeeded - "},
    {27, u" has been blocked by the current security policy."},
    {28, u"Execution of the selected file has been blocked by the current security policy."},
    {29, u" boot failed."},
    {30, u"Execution of the selected file boot failed."},
    {31, u"Press Esc for boot options"},
    {32, u"Esc is pressed. Go to boot options."},
};

// U+FFF1 opens wide glyphs, U+FFF0 goes back to narrow ones.
const std::map<int, std::u16string> kChineseTexts = {
    {1, u"\uFFF1中文\uFFF0"},
    {16, u"\uFFF1韌體\uFFF0 EFI \uFFF1版本\uFFF0"},
    {17, u"BIOS\uFFF1建立日期\uFFF0"},
    {18, u"\uFFF1處理器\uFFF0 \uFFF1型式\uFFF0"},
    {19, u"\uFFF1系統記憶體速度\uFFF0"},
    {20, u"\uFFF1是否回復快閃記憶體內容\uFFF0? \uFFF1(警告: 並非所有的作業系統皆可在回復模式下開機)\uFFF0"},
    {21, u"\uFFF1快閃記憶體狀態\uFFF0"},
    {22, u"\uFFF1是，此選項將更新快閃記憶體內容\uFFF0"},
    {23, u"\uFFF1否，取消回復模式並重新啟動系統\uFFF0"},
    {24, u"\uFFF1重新開機\uFFF0!"},
    {25, u"%\uFFF1之系統記憶體已測試無誤\uFFF0"},
    {26, u"\uFFF1開機成功\uFFF0"},
    {27, u" has been blocked by the current security policy."},
    {28, u"Execution of the selected file has been blocked by the current security policy."},
    {29, u" boot failed."},
    {30, u"Execution of the selected file boot failed."},
};

TEST(StringBlob, DecodesToBothPackagesWithEveryText) {
  const uint8_t* blob = BootStringBlob;
  EXPECT_EQ(U32(blob), 2418u);
  const DecodedPackage en = Decode(blob + 4, 2418 - 4);
  const DecodedPackage zh = Decode(blob + 4 + en.length, 2418 - 4 - en.length);
  EXPECT_EQ(en.length, 1623u);
  EXPECT_EQ(zh.length, 791u);
  EXPECT_EQ(4 + en.length + zh.length, 2418u);

  struct Row {
    const DecodedPackage& package;
    const char* tag;
    const std::map<int, std::u16string>& texts;
    std::vector<std::pair<int, int>> skips;
  };
  const Row rows[] = {
      {en, "en-US", kEnglishTexts, {}},
      {zh, "zh-TW", kChineseTexts, {{2, 14}, {31, 2}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tag);
    EXPECT_EQ(row.package.type, 0x04);
    EXPECT_EQ(row.package.hdrSize, 52u);
    EXPECT_EQ(row.package.stringInfoOffset, 52u);
    EXPECT_TRUE(row.package.windowZero);
    EXPECT_EQ(row.package.languageName, 1);
    EXPECT_EQ(row.package.tag, row.tag);
    EXPECT_TRUE(row.package.ended);
    EXPECT_EQ(row.package.skips, row.skips);
    EXPECT_EQ(row.package.strings, row.texts);
  }
}

// ---------------------------------------------------------------- dates

EFI_TIME Time(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  EFI_TIME t{};
  t.Year = static_cast<UINT16>(year);
  t.Month = static_cast<UINT8>(month);
  t.Day = static_cast<UINT8>(day);
  t.Hour = static_cast<UINT8>(hour);
  t.Minute = static_cast<UINT8>(minute);
  t.Second = static_cast<UINT8>(second);
  return t;
}

TEST(Dates, DayAndDateTimeValidation) {
  struct Row {
    EFI_TIME time;
    bool day, dateTime;
  };
  const Row rows[] = {
      {Time(2000, 2, 29), true, true},    // divisible by 400
      {Time(1900, 2, 29), false, false},  // divisible by 100 only
      {Time(2024, 2, 29), true, true},
      {Time(2021, 2, 29), false, false},
      {Time(2021, 2, 28), true, true},
      {Time(2023, 4, 31), false, false},
      {Time(2023, 12, 31, 23, 59, 59), true, true},
      {Time(1899, 12, 31), true, false},
      {Time(1900, 1, 1), true, true},
      {Time(9999, 1, 1), true, true},
      {Time(10000, 1, 1), true, false},
      {Time(2023, 13, 1), false, false},
      {Time(2023, 0, 1), false, false},
      {Time(2023, 1, 0), false, false},
      {Time(2023, 1, 1, 24), true, false},
      {Time(2023, 1, 1, 0, 60), true, false},
      {Time(2023, 1, 1, 0, 0, 60), true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.time.Year << "-" << int(row.time.Month) << "-" << int(row.time.Day)
                                    << " " << int(row.time.Hour) << ":" << int(row.time.Minute) << ":"
                                    << int(row.time.Second));
    EXPECT_EQ(IsValidDay(&row.time) != 0, row.day);
    EXPECT_EQ(IsValidDateTime(&row.time) != 0, row.dateTime);
  }
}

TEST(Dates, BcdConversionWithoutDigitChecks) {
  struct Row {
    uint8_t bcd[3];
    int year, month, day;
  };
  const Row rows[] = {
      {{0x24, 0x02, 0x29}, 2024, 2, 29},
      {{0x00, 0x01, 0x01}, 2000, 1, 1},
      {{0x99, 0x12, 0x31}, 2099, 12, 31},
      {{0x1A, 0x0F, 0xFF}, 2020, 15, 165},  // nibbles above 9 convert as they are
  };
  for (const Row& row : rows) {
    EFI_TIME t = Time(1, 1, 1, 7, 8, 9);
    ASSERT_EQ(BcdToDate(row.bcd, &t), EFI_SUCCESS);
    EXPECT_EQ(t.Year, row.year);
    EXPECT_EQ(t.Month, row.month);
    EXPECT_EQ(t.Day, row.day);
    EXPECT_EQ(t.Hour, 7) << "only the date changes";
  }
  EFI_TIME t{};
  const uint8_t bcd[3] = {0x24, 0x01, 0x01};
  EXPECT_EQ(BcdToDate(nullptr, &t), EFI_INVALID_PARAMETER);
  EXPECT_EQ(BcdToDate(bcd, nullptr), EFI_INVALID_PARAMETER);
}

// ---------------------------------------------------------------- the area

constexpr EFI_GUID kInfoType = {0x32415DFC, 0xD106, 0x48C7, {0x9E, 0xB5, 0x80, 0x6C, 0x11, 0x4D, 0xD1, 0x07}};
constexpr uint64_t kFlashBase = 0xFF000000;
constexpr uint64_t kAreaOffset = 0x200000;

// A firmware-information area in memory-mapped flash, listed in the flash
// device map.
class FirmwareInfoTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  sim::FlashPlatform flash{platform, notebook};
  sim::MappedFlashPart* part = nullptr;

  void SetUp() override {
    Area(0x1000);
    DriverTest::SetUp();
  }
  // A blank area of `size` bytes (erased flash reads 0xFF); `listed` false
  // leaves it out of the map.
  void Area(uint64_t size, bool listed = true) {
    std::vector<sim::FdmEntrySpec> entries;
    if (listed) entries.push_back({kInfoType, {}, kAreaOffset, size, 0});
    flash.PublishDeviceMap(pcd, sim::BuildFlashDeviceMap(kFlashBase, entries));
    if (part == nullptr) {
      part = &flash.AddMappedPart(sim::MappedFlashPart::Method::SingleCommand, kFlashBase + kAreaOffset,
                                  0x1000, 0, 0, 0, 0);
    }
    std::fill(part->array.begin(), part->array.end(), 0xFF);
  }
  void Bytes(uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), part->array.begin() + static_cast<long>(offset));
  }
  void Text(uint64_t offset, const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    Bytes(offset, bytes);
  }
  struct Result {
    EFI_STATUS status;
    UINTN size;
    std::u16string text;
  };
  Result Get(INTN kind, UINTN capacity = 32) {
    std::vector<CHAR16> buffer(capacity + 1, u'#');
    UINTN size = capacity;
    const EFI_STATUS status = GetFirmwareInfoText(kind, &size, buffer.data());
    Result r{status, size, {}};
    if (status == EFI_SUCCESS) r.text.assign(buffer.data());
    return r;
  }
};

TEST_F(FirmwareInfoTest, KindsOfAFullArea) {
  Bytes(0x06, {0x24, 0x02, 0x29});
  Bytes(0x0A, {0x23, 0x59, 0x59});
  Text(0x0E, "VXPLN2A0D0105");
  Text(0x27, "QV2207");
  Text(0x41, "05.41.52");
  Text(0x15B, "$VEREXV1.05");
  Text(0x15B + 12, "$PRODEXZK-NB");
  Text(0x15B + 12 + 13, "$CCBVEXCCB7");
  Bytes(0x300, {'$', 'R', 'D', 'A', 'T', 'E', 0x23, 0x12, 0x31});
  struct Row {
    INTN kind;
    std::u16string text;
  };
  const Row rows[] = {
      {0, u"02/29/2024"}, {1, u"23:59:59"}, {2, u"VXPLN2A0D0105"}, {3, u"QV2207"},     {4, u"05.41.52"},
      {5, u"V1.05"},      {6, u"ZK-NB"},    {7, u"CCB7"},          {8, u"12/31/2023"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind);
    const Result r = Get(row.kind);
    EXPECT_EQ(r.status, EFI_SUCCESS);
    EXPECT_EQ(r.text, row.text);
    EXPECT_EQ(r.size, row.text.size() + 1) << "size in characters with the NUL";
  }
}

TEST_F(FirmwareInfoTest, DatesThatAreNoDates) {
  struct Row {
    const char* what;
    std::vector<uint8_t> date, time;
    EFI_STATUS kind0, kind1;
  };
  const Row rows[] = {
      {"2021 is not a leap year", {0x21, 0x02, 0x29}, {0x23, 0x59, 0x59}, EFI_NOT_FOUND, EFI_NOT_FOUND},
      {"hour 24", {0x24, 0x01, 0x01}, {0x24, 0x00, 0x00}, EFI_NOT_FOUND, EFI_NOT_FOUND},
      {"erased flash", {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, EFI_NOT_FOUND, EFI_NOT_FOUND},
      {"midnight", {0x24, 0x01, 0x01}, {0x00, 0x00, 0x00}, EFI_SUCCESS, EFI_SUCCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes(0x06, row.date);
    Bytes(0x0A, row.time);
    EXPECT_EQ(Get(0).status, row.kind0);
    EXPECT_EQ(Get(1).status, row.kind1);
  }
  EXPECT_EQ(Get(0).text, u"01/01/2024");
  EXPECT_EQ(Get(1).text, u"00:00:00");
}

TEST_F(FirmwareInfoTest, TextSizesAgainstTheBuffer) {
  const std::string text31(31, 'A');
  Text(0x0E, text31);
  Result r = Get(2);
  EXPECT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.size, 32u);
  EXPECT_EQ(r.text, std::u16string(31, u'A'));

  Text(0x0E, std::string(32, 'B'));
  r = Get(2);
  EXPECT_EQ(r.status, EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.size, 33u);

  // Bytes above 0x7F widen as signed characters.
  Bytes(0x27, {'Q', 0xE9, 0});
  r = Get(3);
  EXPECT_EQ(r.text, (std::u16string{u'Q', char16_t(0xFFE9)}));
}

TEST_F(FirmwareInfoTest, RecordsAndMarkers) {
  struct Row {
    const char* what;
    std::vector<std::string> records;  // from 0x15B on, each with its NUL
    INTN kind;
    EFI_STATUS status;
    std::u16string text;
  };
  const Row rows[] = {
      {"product record first", {"$PRODEXNB15"}, 6, EFI_SUCCESS, u"NB15"},
      {"version record missing", {"$PRODEXNB15"}, 5, EFI_NOT_FOUND, u""},
      {"board record after the version", {"$VEREX1", "$CCBVEXC2"}, 7, EFI_SUCCESS, u"C2"},
      {"board record alone", {"$CCBVEXC3"}, 7, EFI_SUCCESS, u"C3"},
      {"product marker needs all 7 characters", {"$PRODE"}, 6, EFI_NOT_FOUND, u""},
      {"empty text after the marker", {"$VEREX"}, 5, EFI_SUCCESS, u""},
      {"records in another order", {"$PRODEXP", "$VEREXV"}, 5, EFI_NOT_FOUND, u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Area(0x1000);
    uint64_t at = 0x15B;
    for (const std::string& record : row.records) {
      Text(at, record);
      at += record.size() + 1;
    }
    const Result r = Get(row.kind);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.text, row.text);
  }
}

TEST_F(FirmwareInfoTest, ReleaseDateSearchStaysInsideTheArea) {
  struct Row {
    const char* what;
    uint64_t areaSize, markerAt;
    EFI_STATUS status;
  };
  const Row rows[] = {
      {"no marker", 0x1000, 0, EFI_NOT_FOUND},
      {"marker and date are the area's last bytes", 0x400, 0x400 - 9, EFI_SUCCESS},
      {"date would run past the area", 0x400, 0x400 - 8, EFI_NOT_FOUND},
      {"marker at the first searched offset", 0x1000, 0x15B, EFI_SUCCESS},
      {"marker before the records is not searched", 0x1000, 0x100, EFI_NOT_FOUND},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Area(row.areaSize);
    if (row.markerAt != 0) Bytes(row.markerAt, {'$', 'R', 'D', 'A', 'T', 'E', 0x24, 0x03, 0x15});
    const Result r = Get(8);
    EXPECT_EQ(r.status, row.status);
    if (row.status == EFI_SUCCESS) {
      EXPECT_EQ(r.text, u"03/15/2024");
    }
  }
}

TEST_F(FirmwareInfoTest, UnterminatedTextsAndMissingArea) {
  // A text that runs to the area's end without its NUL is no text.
  Area(0x40);
  Bytes(0x27, std::vector<uint8_t>(0x40 - 0x27, 'M'));
  EXPECT_EQ(Get(3).status, EFI_NOT_FOUND);
  EXPECT_EQ(Get(4).status, EFI_NOT_FOUND) << "its offset is past the area";
  Text(0x0E, "SHORT");
  EXPECT_EQ(Get(2).text, u"SHORT");
  EXPECT_EQ(Get(0).status, EFI_NOT_FOUND) << "erased date";
  EXPECT_EQ(Get(5).status, EFI_NOT_FOUND) << "the records lie past the area";

  // Not listed in the map: no read at address 0 plus an offset.
  Area(0x1000, false);
  const uint64_t readsBefore = platform.counters.mmioReads;
  for (INTN kind = 0; kind <= 8; ++kind) EXPECT_EQ(Get(kind).status, EFI_NOT_FOUND) << kind;
  EXPECT_EQ(platform.counters.mmioReads, readsBefore);
}

TEST_F(FirmwareInfoTest, Arguments) {
  CHAR16 buffer[32];
  UINTN size = 32;
  EXPECT_EQ(GetFirmwareInfoText(2, nullptr, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetFirmwareInfoText(2, &size, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetFirmwareInfoText(9, &size, buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetFirmwareInfoText(-1, &size, buffer), EFI_INVALID_PARAMETER);
}

}  // namespace
