// The string-package blob decoded back, the date checks, and the
// firmware-information texts read from an area in the simulated flash.
#include "support/strings/strings.h"

#include <cstring>
#include <map>
#include <string>

#include "sim/devices/firmware_info.h"
#include "sim/devices/flash_devices.h"
#include "sim/hii/hii.h"
#include "sim/pcd/pcd_db.h"
#include "tests/hii_bytes.h"
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

// A call that fails leaves the caller's buffer as it was: no characters of a
// text that does not fit, none of a text without its NUL.
TEST_F(FirmwareInfoTest, AFailingCallLeavesTheBufferAlone) {
  Area(0x60);
  Text(0x0E, std::string(40, 'B'));
  Bytes(0x06, {0x24, 0x02, 0x29});
  Bytes(0x0A, {0x23, 0x59, 0x59});
  Bytes(0x41, std::vector<uint8_t>(0x60 - 0x41, 'T'));  // runs to the area's end
  struct Row {
    const char* what;
    INTN kind;
    UINTN capacity;
    EFI_STATUS status;
    UINTN size;
  };
  const Row rows[] = {
      {"41 characters into 32", 2, 32, EFI_BUFFER_TOO_SMALL, 41},
      {"a date of 11 characters into 10", 0, 10, EFI_BUFFER_TOO_SMALL, 11},
      {"a time of 9 characters into 1", 1, 1, EFI_BUFFER_TOO_SMALL, 9},
      {"a text without its NUL", 4, 64, EFI_NOT_FOUND, 64},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<CHAR16> buffer(64, u'#');
    UINTN size = row.capacity;
    EXPECT_EQ(GetFirmwareInfoText(row.kind, &size, buffer.data()), row.status);
    EXPECT_EQ(size, row.size);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), u'#'), 64);
  }
}

// The kept flash area is the first of its type in the map.
TEST_F(FirmwareInfoTest, TheKeptAreaIsTheFirstInstanceOfItsType) {
  const EFI_GUID kept = {0xB78E15D3, 0xF0A5, 0x4248, {0x8E, 0x2F, 0xD3, 0x15, 0x7A, 0xEF, 0x88, 0x36}};
  flash.PublishDeviceMap(pcd, sim::BuildFlashDeviceMap(kFlashBase, {{kInfoType, {}, kAreaOffset, 0x1000, 0},
                                                                    {kept, {}, 0x30000, 0x1000, 0},
                                                                    {kept, {}, 0x40000, 0x1000, 0}}));
  Boot();
  EXPECT_EQ(BootStrings.KeptFlashArea, 0xFF030000u);
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

// ---------------------------------------------------------------- with the HII database

// A notebook with the platform's HII and a firmware-information area at
// 0xFFD00000 in a flash map of FlashBase 0xFFC00000.
class BootStringsTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  sim::FlashPlatform flash{platform, notebook};
  std::unique_ptr<sim::FlashArea> area;

  void SetUp() override {
    platform.hii.SetAllPresent(true);
    sim::FirmwareInfoSpec spec;
    spec.version = "VXPLN2A0D0105";
    spec.model = "QV2207-X";
    spec.third = "05.41.52";
    Area(sim::BuildFirmwareInfoArea(spec));
    DriverTest::SetUp();
  }
  void TearDown() override {
    if (area) area->Unmap(platform);
  }
  void Area(std::vector<uint8_t> bytes, bool listed = true) {
    if (area) area->Unmap(platform);
    area = std::make_unique<sim::FlashArea>(sim::kFirmwareInfoAreaType, std::move(bytes), 0xFFD00000);
    area->Map(platform);
    std::vector<sim::FdmEntrySpec> entries;
    if (listed) entries.push_back(area->Entry(0xFFC00000));
    flash.PublishDeviceMap(pcd, sim::BuildFlashDeviceMap(0xFFC00000, entries));
  }
  // A boot with only the frame's tables stored and the HII protocols
  // located, so that BootStringsInit can be called on its own.
  void FrameOnly() {
    platform.BeginBoot();
    ResetDriverState();
    ImageHandle = platform.ImageHandle();
    SystemTable = platform.SystemTable();
    BootServices = SystemTable->BootServices;
    RuntimeServices = SystemTable->RuntimeServices;
    LocateHiiProtocols(ImageHandle, SystemTable);
  }
  EFI_HII_HANDLE Registered() const { return platform.hii.HandleOf(hiitest::kListGuid); }
  std::optional<std::u16string> String(const char* language, EFI_STRING_ID id) const {
    return platform.hii.String(hiitest::kListGuid, language, id);
  }
  // The driver's NewString and SetString calls as "<kind> <language> <id>".
  std::vector<std::string> StringCalls() const {
    std::vector<std::string> calls;
    for (const sim::TraceEvent& e : platform.trace) {
      if (e.kind != "HiiString" || e.boot != platform.BootNumber()) continue;
      std::string call, language, id;
      for (const auto& [key, value] : e.fields) {
        if (key == "member") call = value;
        if (key == "language") language = value;
        if (key == "id") id = value;
      }
      calls.push_back(call + " " + language + " " + id);
    }
    return calls;
  }
  // Registers a list of the given language packages, each with ids 1 and 2,
  // through the driver's own helper.
  EFI_HII_HANDLE ListOf(const std::vector<std::string>& languages, const EFI_GUID& guid) {
    std::vector<hiitest::Bytes> packages;
    for (const std::string& tag : languages) {
      packages.push_back(hiitest::StringPackage(
          tag, hiitest::Cat({hiitest::Str(u"one"), hiitest::Str(u"two"), hiitest::kEnd})));
    }
    const hiitest::Bytes list = hiitest::List(packages, false, guid);
    hiitest::Bytes blob;
    hiitest::Put32(blob, static_cast<uint32_t>(list.size() - 20 + 4));
    blob.insert(blob.end(), list.begin() + 20, list.end());
    return NewPackageListFromBlobs(&guid, ImageHandle, blob.data(), nullptr);
  }
};

TEST_F(BootStringsTest, LoadRegistersThePackageAndReplacesTheIdentificationTexts) {
  const EFI_HII_HANDLE handle = Registered();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(BootStrings.PackageList, handle);
  const sim::HiiPackageList* list = platform.hii.Find(handle);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->stringPackages.size(), 2u);
  EXPECT_EQ(list->stringPackages[0].language, "en-US");
  EXPECT_EQ(list->stringPackages[1].language, "zh-TW");
  EXPECT_EQ(list->bytes.size(), 2418u - 4 + 24) << "the packages, the list header and the end marker";
  EXPECT_EQ(U32(list->bytes.data() + 16), 2438u);
  EXPECT_EQ(U32(list->bytes.data() + list->bytes.size() - 4), 0xDF000004u);

  // Ids 13 to 15 in every language, in id order; zh-TW gains them.
  EXPECT_EQ(StringCalls(),
            (std::vector<std::string>{"SetString en-US 13", "SetString zh-TW 13", "SetString en-US 14",
                                      "SetString zh-TW 14", "SetString en-US 15", "SetString zh-TW 15"}));
  for (const char* language : {"en-US", "zh-TW"}) {
    SCOPED_TRACE(language);
    EXPECT_EQ(String(language, 13), u"VXPLN2A0D0105");
    EXPECT_EQ(String(language, 14), u"QV2207-X");
    EXPECT_EQ(String(language, 15), u"05.41.52");
  }
  EXPECT_EQ(String("en-US", 5), u"EFI USB Device");
  EXPECT_EQ(String("zh-TW", 1), u"\uFFF1中文\uFFF0");
  EXPECT_EQ(String("zh-TW", 5), std::nullopt);

  // The shared record, published with its initial fields and an empty list.
  const auto* record = static_cast<const uint8_t*>(platform.LocateProtocolInterface(
      {0xDA8A55E4, 0x4940, 0x4AF9, {0x9F, 0x36, 0x2D, 0xB4, 0x3E, 0xC2, 0x82, 0x59}}));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ((std::vector<uint8_t>(record, record + 5)), (std::vector<uint8_t>{0, 0, 1, 1, 0}));
  EXPECT_EQ(U64(record + 8), 0u);
  EXPECT_EQ(U64(record + 16), 0u);
  EXPECT_EQ(U64(record + 24), reinterpret_cast<uintptr_t>(record + 24));
  EXPECT_EQ(U64(record + 32), reinterpret_cast<uintptr_t>(record + 24));
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
  EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
}

TEST_F(BootStringsTest, TextsTheAreaCannotGiveKeepTheirDefaults) {
  // A version of 40 characters (too long for the 32-character buffer) runs
  // through the model field, whose text is then its last 15 characters; the
  // third text has no NUL before the end of the area.
  std::vector<uint8_t> bytes = sim::BuildFirmwareInfoArea({});
  std::fill(bytes.begin() + 0x0E, bytes.begin() + 0x0E + 40, 'V');
  bytes[0x0E + 40] = 0;
  std::fill(bytes.begin() + 0x41, bytes.end(), 'T');
  Area(bytes);
  Boot();
  EXPECT_EQ(String("en-US", 13), u"VXPLN2A0D0101");
  EXPECT_EQ(String("en-US", 14), std::u16string(15, u'V'));
  EXPECT_EQ(String("en-US", 15), u"05.41.47");
  EXPECT_EQ(StringCalls(), (std::vector<std::string>{"SetString en-US 14", "SetString zh-TW 14"}));

  // No area in the map: every default stays, nothing is set.
  Area(bytes, false);
  Boot();
  EXPECT_EQ(String("en-US", 13), u"VXPLN2A0D0101");
  EXPECT_EQ(String("en-US", 14), u"QV2207");
  EXPECT_EQ(String("zh-TW", 14), std::nullopt);
  EXPECT_TRUE(StringCalls().empty());
}

TEST_F(BootStringsTest, SetStringAllLanguagesWalksTheTags) {
  // A new string: created in the first language, then set in the others.
  const EFI_HII_HANDLE handle = Registered();
  platform.trace.clear();
  const EFI_STRING_ID id =
      SetStringAllLanguages(handle, 0, reinterpret_cast<const CHAR16*>(u"Hello"), "en-US;zh-TW");
  EXPECT_EQ(id, 33);
  EXPECT_EQ(StringCalls(), (std::vector<std::string>{"NewString en-US 33", "SetString zh-TW 33"}));
  EXPECT_EQ(String("zh-TW", 33), u"Hello");

  // With the list's own languages, "x-UEFI" tags are passed over.
  const EFI_GUID mixed = {0x5A5A5A5A, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const EFI_HII_HANDLE withPlatformTags = ListOf({"en-US", "x-UEFI-ns", "fr-FR"}, mixed);
  ASSERT_NE(withPlatformTags, nullptr);
  platform.trace.clear();
  EXPECT_EQ(SetStringAllLanguages(withPlatformTags, 2, reinterpret_cast<const CHAR16*>(u"deux"), nullptr), 2);
  EXPECT_EQ(StringCalls(), (std::vector<std::string>{"SetString en-US 2", "SetString fr-FR 2"}));
  EXPECT_EQ(platform.hii.String(withPlatformTags, "x-UEFI-ns", 2), u"two");
  // Only tags that begin with all of "x-UEFI" are passed over.
  const EFI_GUID near = {0x5A5A5A5B, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const EFI_HII_HANDLE withNearTag = ListOf({"en-US", "x-UEFx"}, near);
  ASSERT_NE(withNearTag, nullptr);
  platform.trace.clear();
  EXPECT_EQ(SetStringAllLanguages(withNearTag, 2, reinterpret_cast<const CHAR16*>(u"deux"), nullptr), 2);
  EXPECT_EQ(StringCalls(), (std::vector<std::string>{"SetString en-US 2", "SetString x-UEFx 2"}));
  // Named explicitly, such a tag is set like any other.
  EXPECT_EQ(SetStringAllLanguages(withPlatformTags, 2, reinterpret_cast<const CHAR16*>(u"2"), "x-UEFI-ns"),
            2);
  EXPECT_EQ(platform.hii.String(withPlatformTags, "x-UEFI-ns", 2), u"2");

  struct Row {
    const char* what;
    std::vector<std::string> languages;
    const char* given;
    EFI_STRING_ID id, expected;
  };
  const Row rows[] = {
      {"only platform tags", {"x-UEFI-a", "x-UEFI-b"}, nullptr, 1, 0},
      {"an empty list given", {"en-US"}, "", 1, 0},
      {"a language the list lacks", {"en-US"}, "de-DE", 1, 0},
      {"the walk ends at the first error", {"en-US"}, "de-DE;en-US", 1, 0},
      {"every tag set", {"en-US", "fr-FR"}, "fr-FR;en-US", 2, 2},
  };
  EFI_GUID guid = {0x77770000, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ++guid.Data1;
    const EFI_HII_HANDLE h = ListOf(row.languages, guid);
    ASSERT_NE(h, nullptr);
    platform.trace.clear();
    EXPECT_EQ(SetStringAllLanguages(h, row.id, reinterpret_cast<const CHAR16*>(u"x"), row.given),
              row.expected);
    if (std::string(row.what) == "the walk ends at the first error") {
      EXPECT_EQ(StringCalls(), (std::vector<std::string>{"SetString de-DE 1"}));
    }
  }
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(BootStringsTest, FailuresOfTheHiiServices) {
  const EFI_HII_HANDLE handle = Registered();
  struct Row {
    const char* what;
    sim::Service service;
    uint64_t nth;
    EFI_STRING_ID expected;
  };
  const Row rows[] = {
      {"GetLanguages sizing", sim::Service::GetLanguages, 1, 0},
      {"GetLanguages reading", sim::Service::GetLanguages, 2, 0},
      {"the second language", sim::Service::SetString, 2, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    platform.FailService(row.service, row.nth, EFI_DEVICE_ERROR);
    EXPECT_EQ(SetStringAllLanguages(handle, 14, reinterpret_cast<const CHAR16*>(u"M"), nullptr),
              row.expected);
    platform.ClearServiceFailures();
  }
  platform.FailNthAllocation(1);
  EXPECT_EQ(GetPackageLanguages(handle), nullptr);
  CHAR8* languages = GetPackageLanguages(handle);
  ASSERT_NE(languages, nullptr);
  EXPECT_STREQ(languages, "en-US;zh-TW");
  FreePool(languages);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(BootStringsTest, NewPackageListFromBlobs) {
  hiitest::Bytes a, b, empty;
  const hiitest::Bytes pa =
      hiitest::StringPackage("en-US", hiitest::Cat({hiitest::Str(u"A"), hiitest::kEnd}));
  const hiitest::Bytes pb =
      hiitest::StringPackage("fr-FR", hiitest::Cat({hiitest::Str(u"B"), hiitest::kEnd}));
  hiitest::Put32(a, static_cast<uint32_t>(pa.size() + 4));
  a.insert(a.end(), pa.begin(), pa.end());
  hiitest::Put32(b, static_cast<uint32_t>(pb.size() + 4));
  b.insert(b.end(), pb.begin(), pb.end());
  hiitest::Put32(empty, 4);
  const EFI_GUID guid = {0x12121212, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

  EXPECT_EQ(NewPackageListFromBlobs(nullptr, ImageHandle, a.data(), nullptr), nullptr);
  EXPECT_EQ(NewPackageListFromBlobs(&guid, ImageHandle, nullptr), nullptr);
  EXPECT_EQ(NewPackageListFromBlobs(&guid, ImageHandle, empty.data(), nullptr), nullptr)
      << "nothing to register";
  platform.FailNthAllocation(1);
  EXPECT_EQ(NewPackageListFromBlobs(&guid, ImageHandle, a.data(), nullptr), nullptr);
  platform.FailService(sim::Service::NewPackageList, 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(NewPackageListFromBlobs(&guid, ImageHandle, a.data(), nullptr), nullptr);

  // Two blobs, in argument order, after one that adds nothing.
  const EFI_HII_HANDLE h =
      NewPackageListFromBlobs(&guid, ImageHandle, empty.data(), a.data(), b.data(), nullptr);
  ASSERT_NE(h, nullptr);
  const sim::HiiPackageList* list = platform.hii.Find(h);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->bytes.size(), pa.size() + pb.size() + 24);
  ASSERT_EQ(list->stringPackages.size(), 2u);
  EXPECT_EQ(list->stringPackages[0].language, "en-US");
  EXPECT_EQ(list->stringPackages[1].language, "fr-FR");
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty()) << "the list goes back to the pool once registered";
}

TEST_F(BootStringsTest, BootStringsInitFailures) {
  struct Row {
    const char* what;
    std::function<void()> arrange;
    EFI_STATUS status;
    bool record, registered;
  };
  const Row rows[] = {
      {"record allocation", [&] { platform.FailNthAllocation(1); }, EFI_OUT_OF_RESOURCES, false, false},
      {"record installation",
       [&] { platform.FailService(sim::Service::InstallProtocolInterface, 1, EFI_OUT_OF_RESOURCES); },
       EFI_OUT_OF_RESOURCES, false, false},
      {"package list refused",
       [&] { platform.FailService(sim::Service::NewPackageList, 1, EFI_OUT_OF_RESOURCES); }, EFI_ABORTED,
       true, false},
      {"no database", [&] { BootStrings.Hii[1] = nullptr; }, EFI_ABORTED, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FrameOnly();
    row.arrange();
    platform.trace.clear();
    EXPECT_EQ(BootStringsInit(ImageHandle, SystemTable), row.status);
    EXPECT_EQ(BootStrings.Record != nullptr, row.record);
    EXPECT_EQ(Registered() != nullptr, row.registered);
    EXPECT_TRUE(StringCalls().empty()) << "no identification text without the package";
    EXPECT_EQ(BootStrings.WatchEvent, nullptr) << "no notification";
    size_t records = 0;
    for (const sim::Allocation& a : platform.OutstandingAllocations()) {
      if (a.boot == platform.BootNumber()) records += a.size == 40;
    }
    EXPECT_EQ(records, row.record ? 1u : 0u) << "a record that could not be published goes back";
    EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
    platform.ClearServiceFailures();
  }
}

TEST_F(BootStringsTest, TheWatchedProtocolAndTheDestructor) {
  struct Row {
    sim::LateInstall watched;
    bool closedAtLoad, closedAfterEndOfDxe;
  };
  const Row rows[] = {
      {sim::LateInstall::Absent, false, false},
      {sim::LateInstall::BootStart, true, true},
      {sim::LateInstall::AfterEndOfDxe, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.watched));
    platform.hii.watched = row.watched;
    Boot();
    ASSERT_NE(BootStrings.WatchEvent, nullptr);
    EXPECT_EQ(BootStrings.WatchClosed != 0, row.closedAtLoad);
    EXPECT_EQ(BootStrings.Watched != nullptr, row.closedAtLoad);
    if (row.watched == sim::LateInstall::AfterEndOfDxe) {
      const size_t open = platform.OpenEventCount();
      platform.hii.OnAfterEndOfDxe(platform);
      EXPECT_NE(BootStrings.Watched, nullptr);
      EXPECT_EQ(platform.OpenEventCount(), open - 1) << "the notification closed its event";
    }
    EXPECT_EQ(BootStrings.WatchClosed != 0, row.closedAfterEndOfDxe);
    // The destructor closes the event only when the notification did not.
    RunLibraryDestructors(ImageHandle, SystemTable);
    EXPECT_TRUE(BootStrings.WatchClosed);
    EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
  }
}

TEST_F(BootStringsTest, SharedRecordOfAnotherModuleAndTheSharedBuffer) {
  platform.hii.sharedRecord = true;
  Boot();
  EXPECT_EQ(
      platform.ProtocolCount({0xDA8A55E4, 0x4940, 0x4AF9, {0x9F, 0x36, 0x2D, 0xB4, 0x3E, 0xC2, 0x82, 0x59}}),
      1u)
      << "not published a second time";
  EXPECT_EQ(static_cast<void*>(BootStrings.Record), static_cast<void*>(platform.hii.sharedRecordInterface));

  // Switched off in this build: no buffer, no protocol.
  const EFI_GUID bufferGuid = {0x5EE58BDC, 0x686C, 0x4D0C, {0xA9, 0xD2, 0x30, 0xBA, 0x7B, 0xB4, 0xCF, 0x2E}};
  EXPECT_EQ(BootStrings.SharedBuffer, nullptr);
  EXPECT_EQ(platform.ProtocolCount(bufferGuid), 0u);
  // With the switch clear: 128 KiB published, or the other module's kept.
  platform.FailNthAllocation(1);
  EXPECT_EQ(PublishSharedBuffer(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(PublishSharedBuffer(), EFI_SUCCESS);
  EXPECT_EQ(platform.ProtocolCount(bufferGuid), 1u);
  const std::vector<sim::Allocation> held = HeldBeyondLibraryRecords();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].size, 0x20000u);
  void* published = BootStrings.SharedBuffer;
  BootStrings.SharedBuffer = nullptr;
  EXPECT_EQ(PublishSharedBuffer(), EFI_SUCCESS);
  EXPECT_EQ(BootStrings.SharedBuffer, published);
  EXPECT_EQ(platform.ProtocolCount(bufferGuid), 1u);
}

}  // namespace
