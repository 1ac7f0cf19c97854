// The platform's HII: package-list parsing, the string protocol's rules,
// failure injection, TPL misuse, the located-only stand-ins, the other
// modules' protocols and the firmware-information area's bytes.
#include "frame/hii.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/devices/firmware_info.h"
#include "sim/hii/hii.h"
#include "sim/platform.h"
#include "tests/hii_bytes.h"

using sim::operator==;

namespace {

using namespace hiitest;

constexpr EFI_GUID kOtherGuid = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

Bytes EnUs() {
  return StringPackage("en-US", Cat({Str(u"English"), Str(u"EFI Floppy"), Str(u"EFI DVD/CDROM"), kEnd}));
}
// zh-TW: id 1, id 2 skipped, id 3, end.
Bytes ZhTw() {
  return StringPackage("zh-TW", Cat({Str(u"\xFFF1中文\xFFF0"), Skip2(1), Str(u"\xFFF1版本\xFFF0"), kEnd}));
}

// Offsets in List({EnUs()}): package at 20, HdrSize at 24, StringInfoOffset
// at 28, tag at 66, blocks at 72.
TEST(HiiParse, AcceptsAndRefusesPackageLists) {
  const Bytes good = List({EnUs()});
  auto patched = [&](std::function<void(Bytes&)> f) {
    Bytes b = good;
    f(b);
    return b;
  };
  const struct {
    const char* name;
    Bytes bytes;
    EFI_STATUS status;
    size_t languages;
  } cases[] = {
      {"one language", good, EFI_SUCCESS, 1},
      {"two languages with skips", List({EnUs(), ZhTw()}), EFI_SUCCESS, 2},
      {"end package only (24 bytes)", List({}), EFI_SUCCESS, 0},
      {"a package of another type kept opaque", List({Bytes{0x08, 0x00, 0x00, 0x02, 1, 2, 3, 4}, EnUs()}),
       EFI_SUCCESS, 1},
      {"skip1 and skip2", List({StringPackage("fr", Cat({Skip1(3), Str(u"a"), Skip2(2), Str(u"b"), kEnd}))}),
       EFI_SUCCESS, 1},
      {"PackageLength 23", patched([](Bytes& b) { Set32(b, 16, 23); }), EFI_INVALID_PARAMETER, 0},
      {"PackageLength past the buffer",
       patched([](Bytes& b) { Set32(b, 16, static_cast<uint32_t>(b.size() + 1)); }), EFI_INVALID_PARAMETER,
       0},
      {"PackageLength cuts the end package",
       patched([](Bytes& b) { Set32(b, 16, static_cast<uint32_t>(b.size() - 2)); }), EFI_INVALID_PARAMETER,
       0},
      {"package runs past PackageLength", patched([](Bytes& b) { b[20] = static_cast<uint8_t>(b[20] + 8); }),
       EFI_INVALID_PARAMETER, 0},
      {"package of length 3", List({Bytes{0x03, 0x00, 0x00, 0x02}}), EFI_INVALID_PARAMETER, 0},
      {"package of type 0x00", List({Bytes{0x04, 0x00, 0x00, 0x00}}), EFI_INVALID_PARAMETER, 0},
      {"string package of 46 bytes", List({[] {
         Bytes p = StringPackage("", {});
         p.resize(46);
         Set32(p, 0, 46 | 0x04u << 24);
         return p;
       }()}),
       EFI_INVALID_PARAMETER, 0},
      {"HdrSize past the package", patched([](Bytes& b) { Set32(b, 24, 400); }), EFI_INVALID_PARAMETER, 0},
      {"HdrSize cuts the tag's NUL", patched([](Bytes& b) { Set32(b, 24, 51); }), EFI_INVALID_PARAMETER, 0},
      {"empty language tag", List({StringPackage("", Cat({Str(u"x"), kEnd}))}), EFI_INVALID_PARAMETER, 0},
      {"StringInfoOffset past the package", patched([](Bytes& b) { Set32(b, 28, 400); }),
       EFI_INVALID_PARAMETER, 0},
      {"StringInfoOffset inside the header", patched([](Bytes& b) { Set32(b, 28, 40); }),
       EFI_INVALID_PARAMETER, 0},
      {"string without NUL before the package ends", List({StringPackage("en", Bytes{0x14, 'a', 0, 'b', 0})}),
       EFI_INVALID_PARAMETER, 0},
      {"blocks without end block", List({StringPackage("en", Str(u"abc"))}), EFI_INVALID_PARAMETER, 0},
      {"bytes after the end block", List({StringPackage("en", Cat({Str(u"a"), kEnd, Bytes{0, 0}}))}),
       EFI_INVALID_PARAMETER, 0},
      {"skip2 cut by the package end", List({StringPackage("en", Bytes{0x21, 0x01})}), EFI_INVALID_PARAMETER,
       0},
      {"unknown block type 0x50", List({StringPackage("en", Bytes{0x50, 0x00})}), EFI_INVALID_PARAMETER, 0},
      {"SCSU block", List({StringPackage("en", Bytes{0x10, 'a', 0, 0x00})}), EFI_INVALID_PARAMETER, 0},
      {"ids past 0xFFFF", List({StringPackage("en", Cat({Skip2(0xFFFF), Str(u"a"), kEnd}))}),
       EFI_INVALID_PARAMETER, 0},
      {"two packages of one language", List({EnUs(), EnUs()}), EFI_INVALID_PARAMETER, 0},
      {"no end package", List({EnUs()}, false), EFI_INVALID_PARAMETER, 0},
      {"end package of length 8", List({Bytes{0x08, 0x00, 0x00, 0xDF, 0, 0, 0, 0}}, false),
       EFI_INVALID_PARAMETER, 0},
      {"bytes after the end package",
       List({Bytes{0x04, 0x00, 0x00, 0xDF}, Bytes{0x04, 0x00, 0x00, 0x02}}, false), EFI_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    const sim::HiiParseResult r = sim::ParseHiiPackageList(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.reason;
    if (c.status == EFI_SUCCESS) {
      EXPECT_EQ(r.list.stringPackages.size(), c.languages) << c.name;
      EXPECT_TRUE(r.list.guid == kListGuid) << c.name;
    } else {
      EXPECT_FALSE(r.reason.empty()) << c.name;
    }
  }
  EXPECT_EQ(sim::ParseHiiPackageList(good.data(), 19).status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(sim::ParseHiiPackageList(nullptr, 100).status, EFI_INVALID_PARAMETER);
}

TEST(HiiParse, StringIdsFollowTheBlocks) {
  const Bytes list =
      List({EnUs(), ZhTw(),
            StringPackage("fr", Cat({Skip1(3), Str(u"quatre"), Bytes{0x20, 0x04, 0x00}, Skip2(2),
                                     Bytes{0x16, 0x02, 0x00, 'a', 0, 0, 0, 'b', 0, 0, 0}, kEnd}))});
  const sim::HiiParseResult r = sim::ParseHiiPackageList(list.data(), list.size());
  ASSERT_EQ(r.status, EFI_SUCCESS) << r.reason;
  const sim::HiiStringPackage& en = r.list.stringPackages[0];
  EXPECT_EQ(en.language, "en-US");
  EXPECT_EQ(en.strings.size(), 3u);
  EXPECT_EQ(en.strings.at(2), u"EFI Floppy");
  EXPECT_EQ(en.nextId, 4u);
  const sim::HiiStringPackage& zh = r.list.stringPackages[1];
  EXPECT_EQ(zh.strings.count(2), 0u);
  EXPECT_EQ(zh.strings.at(3), u"\xFFF1版本\xFFF0");
  EXPECT_EQ(zh.nextId, 4u);
  // fr: ids 1-3 skipped, 4 "quatre", 5 duplicates 4, 6-7 skipped, 8 "a", 9 "b".
  const sim::HiiStringPackage& fr = r.list.stringPackages[2];
  EXPECT_EQ(fr.strings.at(4), u"quatre");
  EXPECT_EQ(fr.strings.at(5), u"quatre");
  EXPECT_EQ(fr.strings.count(6), 0u);
  EXPECT_EQ(fr.strings.at(8), u"a");
  EXPECT_EQ(fr.strings.at(9), u"b");
  EXPECT_EQ(fr.nextId, 10u);
  EXPECT_EQ(r.list.bytes, list);
}

class Hii : public ::testing::Test {
 protected:
  void SetUp() override {
    p.hii.SetAllPresent(true);
    Boot();
  }
  void Boot() {
    p.BeginBoot();
    db = static_cast<EFI_HII_DATABASE_PROTOCOL*>(p.LocateProtocolInterface(EFI_HII_DATABASE_PROTOCOL_GUID));
    str = static_cast<EFI_HII_STRING_PROTOCOL*>(p.LocateProtocolInterface(EFI_HII_STRING_PROTOCOL_GUID));
  }
  EFI_HII_HANDLE Register(const Bytes& list, EFI_STATUS expected = EFI_SUCCESS) {
    EFI_HII_HANDLE handle = reinterpret_cast<EFI_HII_HANDLE>(1);
    EXPECT_EQ(db->NewPackageList(db, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER*>(list.data()),
                                 nullptr, &handle),
              expected);
    if (expected != EFI_SUCCESS) {
      EXPECT_EQ(handle, nullptr);
    }
    return handle;
  }
  EFI_STATUS Get(EFI_HII_HANDLE h, const char* lang, EFI_STRING_ID id, std::u16string* out, UINTN* size) {
    CHAR16 buffer[64] = {};
    const EFI_STATUS s =
        str->GetString(str, reinterpret_cast<const CHAR8*>(lang), h, id, buffer, size, nullptr);
    if (s == EFI_SUCCESS) out->assign(reinterpret_cast<const char16_t*>(buffer));
    return s;
  }
  EFI_STATUS Set(EFI_HII_HANDLE h, EFI_STRING_ID id, const char* lang, const char16_t* text) {
    return str->SetString(str, h, id, reinterpret_cast<const CHAR8*>(lang),
                          reinterpret_cast<const CHAR16*>(text), nullptr);
  }
  EFI_STATUS New(EFI_HII_HANDLE h, EFI_STRING_ID* id, const char* lang, const char16_t* text) {
    return str->NewString(str, h, id, reinterpret_cast<const CHAR8*>(lang), nullptr,
                          reinterpret_cast<const CHAR16*>(text), nullptr);
  }
  std::string Languages(EFI_HII_HANDLE h) {
    char buffer[64] = {};
    UINTN size = sizeof buffer;
    if (str->GetLanguages(str, h, reinterpret_cast<CHAR8*>(buffer), &size) != EFI_SUCCESS) return "(failed)";
    return buffer;
  }
  sim::Platform p;
  EFI_HII_DATABASE_PROTOCOL* db = nullptr;
  EFI_HII_STRING_PROTOCOL* str = nullptr;
};

TEST_F(Hii, NewPackageListChecksItsArgumentsAndGuids) {
  ASSERT_NE(db, nullptr);
  ASSERT_NE(str, nullptr);
  const Bytes list = List({EnUs(), ZhTw()});
  EFI_HII_HANDLE handle = nullptr;
  EXPECT_EQ(db->NewPackageList(db, nullptr, nullptr, &handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(db->NewPackageList(db, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER*>(list.data()), nullptr,
                               nullptr),
            EFI_INVALID_PARAMETER);
  const EFI_HII_HANDLE h = Register(list);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(p.hii.HandleOf(kListGuid), h);
  Register(list, EFI_INVALID_PARAMETER);  // the GUID is taken
  EXPECT_EQ(p.hii.Lists().size(), 1u);
  // A malformed list registers nothing.
  Bytes broken = List({EnUs()}, true, kOtherGuid);
  Set32(broken, 16, 23);
  Register(broken, EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.hii.Find(kOtherGuid), nullptr);
  // The list as registered, exported byte for byte.
  UINTN size = 0;
  EXPECT_EQ(db->ExportPackageLists(db, h, &size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, list.size());
  Bytes exported(size);
  EXPECT_EQ(
      db->ExportPackageLists(db, h, &size, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER*>(exported.data())),
      EFI_SUCCESS);
  EXPECT_EQ(exported, list);
  EFI_HII_HANDLE handles[2] = {};
  UINTN length = sizeof handles;
  EXPECT_EQ(db->ListPackageLists(db, 0x04, nullptr, &length, handles), EFI_SUCCESS);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(handles[0], h);
  EXPECT_TRUE(p.violations.empty());
  // A new boot starts with an empty database.
  Boot();
  EXPECT_TRUE(p.hii.Lists().empty());
}

TEST_F(Hii, NewPackageListReadsNoFurtherThanAPoolBuffer) {
  const Bytes list = List({EnUs()}, true, kOtherGuid);
  void* pool = nullptr;
  ASSERT_EQ(p.BootServices()->AllocatePool(EfiBootServicesData, list.size(), &pool), EFI_SUCCESS);
  std::memcpy(pool, list.data(), list.size());
  uint8_t* bytes = static_cast<uint8_t*>(pool);
  const uint32_t claimed = static_cast<uint32_t>(list.size() + 4);  // 4 bytes past the allocation
  std::memcpy(bytes + 16, &claimed, 4);
  EFI_HII_HANDLE handle = nullptr;
  EXPECT_EQ(db->NewPackageList(db, static_cast<EFI_HII_PACKAGE_LIST_HEADER*>(pool), nullptr, &handle),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(handle, nullptr);
  p.BootServices()->FreePool(pool);
}

TEST_F(Hii, GetLanguagesSizesAndOrder) {
  const EFI_HII_HANDLE h = Register(List({EnUs(), ZhTw()}));
  char buffer[16] = {};
  UINTN size = 0;
  EXPECT_EQ(str->GetLanguages(str, h, nullptr, &size), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 12u);  // "en-US;zh-TW" and the NUL
  size = 11;
  EXPECT_EQ(str->GetLanguages(str, h, reinterpret_cast<CHAR8*>(buffer), &size), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(str->GetLanguages(str, h, reinterpret_cast<CHAR8*>(buffer), &size), EFI_SUCCESS);
  EXPECT_STREQ(buffer, "en-US;zh-TW");
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(str->GetLanguages(str, h, reinterpret_cast<CHAR8*>(buffer), nullptr), EFI_INVALID_PARAMETER);
  size = 5;
  EXPECT_EQ(str->GetLanguages(str, h, nullptr, &size), EFI_INVALID_PARAMETER);
  size = sizeof buffer;
  EXPECT_EQ(str->GetLanguages(str, reinterpret_cast<EFI_HII_HANDLE>(buffer), reinterpret_cast<CHAR8*>(buffer),
                              &size),
            EFI_NOT_FOUND);
  // A list without string packages has no languages.
  const EFI_HII_HANDLE empty = Register(List({}, true, kOtherGuid));
  size = sizeof buffer;
  EXPECT_EQ(str->GetLanguages(str, empty, reinterpret_cast<CHAR8*>(buffer), &size), EFI_NOT_FOUND);
}

TEST_F(Hii, GetStringStatuses) {
  const EFI_HII_HANDLE h = Register(List({EnUs(), ZhTw()}));
  const EFI_HII_HANDLE unknown = reinterpret_cast<EFI_HII_HANDLE>(&p);
  const struct {
    const char* name;
    EFI_HII_HANDLE handle;
    const char* language;
    EFI_STRING_ID id;
    UINTN size;
    EFI_STATUS status;
    UINTN sizeAfter;
    std::u16string text;
  } cases[] = {
      {"en-US id 2", h, "en-US", 2, 128, EFI_SUCCESS, 22, u"EFI Floppy"},
      {"exact size", h, "en-US", 2, 22, EFI_SUCCESS, 22, u"EFI Floppy"},
      {"one byte short", h, "en-US", 2, 21, EFI_BUFFER_TOO_SMALL, 22, u""},
      {"size 0", h, "en-US", 1, 0, EFI_BUFFER_TOO_SMALL, 16, u""},
      {"zh-TW id 1", h, "zh-TW", 1, 128, EFI_SUCCESS, 10, u"\xFFF1中文\xFFF0"},
      {"id the language skips", h, "zh-TW", 2, 128, EFI_NOT_FOUND, 128, u""},
      {"id past every package", h, "en-US", 4, 128, EFI_NOT_FOUND, 128, u""},
      {"id 0", h, "en-US", 0, 128, EFI_NOT_FOUND, 128, u""},
      {"language the list lacks", h, "fr-FR", 1, 128, EFI_INVALID_LANGUAGE, 128, u""},
      {"lacking language, id nowhere", h, "fr-FR", 9, 128, EFI_NOT_FOUND, 128, u""},
      {"unknown handle", unknown, "en-US", 1, 128, EFI_NOT_FOUND, 128, u""},
  };
  for (const auto& c : cases) {
    std::u16string text;
    UINTN size = c.size;
    EXPECT_EQ(Get(c.handle, c.language, c.id, &text, &size), c.status) << c.name;
    EXPECT_EQ(size, c.sizeAfter) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
  UINTN size = 8;
  EXPECT_EQ(str->GetString(str, nullptr, h, 1, nullptr, &size, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(str->GetString(str, reinterpret_cast<const CHAR8*>("en-US"), h, 1, nullptr, &size, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(str->GetString(str, reinterpret_cast<const CHAR8*>("en-US"), h, 1, nullptr, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
}

TEST_F(Hii, NewStringTakesTheNextIdInEveryLanguage) {
  const EFI_HII_HANDLE h = Register(List({EnUs(), ZhTw()}));
  EFI_STRING_ID id = 0;
  ASSERT_EQ(New(h, &id, "en-US", u"Press Esc"), EFI_SUCCESS);
  EXPECT_EQ(id, 4);
  EXPECT_EQ(p.hii.String(h, "en-US", 4), std::u16string(u"Press Esc"));
  EXPECT_EQ(p.hii.String(kListGuid, "zh-TW", 4), std::u16string(u"Press Esc"));
  ASSERT_EQ(New(h, &id, "zh-TW", u"\xFFF1開機\xFFF0"), EFI_SUCCESS);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(p.hii.String(h, "en-US", 5), std::u16string(u"\xFFF1開機\xFFF0"));
  // A language the list lacks gets a package of its own, after the others.
  ASSERT_EQ(New(h, &id, "fr-FR", u"Bonjour"), EFI_SUCCESS);
  EXPECT_EQ(id, 6);
  EXPECT_EQ(Languages(h), "en-US;zh-TW;fr-FR");
  EXPECT_EQ(p.hii.String(h, "fr-FR", 6), std::u16string(u"Bonjour"));
  EXPECT_EQ(p.hii.String(h, "fr-FR", 1), std::nullopt);
  EXPECT_EQ(p.hii.String(h, "en-US", 6), std::u16string(u"Bonjour"));

  EXPECT_EQ(New(reinterpret_cast<EFI_HII_HANDLE>(&p), &id, "en-US", u"x"), EFI_NOT_FOUND);
  EXPECT_EQ(New(h, nullptr, "en-US", u"x"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(New(h, &id, nullptr, u"x"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(New(h, &id, "en-US", nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(id, 6);
}

TEST_F(Hii, SetStringReplacesOneLanguage) {
  const EFI_HII_HANDLE h = Register(List({EnUs(), ZhTw()}));
  EXPECT_EQ(Set(h, 2, "en-US", u"VXPLN2A0D0105"), EFI_SUCCESS);
  EXPECT_EQ(p.hii.String(h, "en-US", 2), std::u16string(u"VXPLN2A0D0105"));
  EXPECT_EQ(p.hii.String(h, "en-US", 1), std::u16string(u"English"));
  EXPECT_EQ(Set(h, 3, "zh-TW", u"x"), EFI_SUCCESS);
  EXPECT_EQ(p.hii.String(h, "en-US", 3),
            std::u16string(u"EFI DVD/CDROM"));  // the other language keeps its text
  const struct {
    const char* name;
    EFI_HII_HANDLE handle;
    EFI_STRING_ID id;
    const char* language;
    EFI_STATUS status;
  } refused[] = {
      {"unknown handle", reinterpret_cast<EFI_HII_HANDLE>(&p), 1, "en-US", EFI_NOT_FOUND},
      {"unknown language", h, 1, "fr-FR", EFI_NOT_FOUND},
      {"id past the package", h, 4, "en-US", EFI_NOT_FOUND},
      {"id 0", h, 0, "en-US", EFI_NOT_FOUND},
      {"null language", h, 1, nullptr, EFI_INVALID_PARAMETER},
  };
  for (const auto& c : refused) EXPECT_EQ(Set(c.handle, c.id, c.language, u"y"), c.status) << c.name;
  EXPECT_EQ(Set(h, 1, "en-US", nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.hii.String(h, "en-US", 4), std::nullopt);
}

TEST_F(Hii, SetStringOnASkippedIdDefinesItUnlessRefused) {
  for (const sim::SkippedIdRule rule : {sim::SkippedIdRule::Define, sim::SkippedIdRule::Refuse}) {
    p.hii.skippedId = rule;
    Boot();
    const EFI_HII_HANDLE h = Register(List({EnUs(), ZhTw()}));
    const bool define = rule == sim::SkippedIdRule::Define;
    EXPECT_EQ(Set(h, 2, "zh-TW", u"QV2207"), define ? EFI_SUCCESS : EFI_NOT_FOUND);
    std::u16string text;
    UINTN size = 64;
    EXPECT_EQ(Get(h, "zh-TW", 2, &text, &size), define ? EFI_SUCCESS : EFI_NOT_FOUND);
    EXPECT_EQ(text, define ? u"QV2207" : u"");
    EXPECT_EQ(p.hii.String(h, "en-US", 2), std::u16string(u"EFI Floppy"));
  }
}

TEST_F(Hii, InjectedFailuresCountTheMembersCalls) {
  const Bytes list = List({EnUs(), ZhTw()});
  for (const char* name : {"NewPackageList", "NewString", "SetString", "GetLanguages", "GetString"}) {
    sim::Service service;
    ASSERT_TRUE(sim::ServiceFromName(name, &service)) << name;
    EXPECT_STREQ(sim::ServiceName(service), name);
  }
  p.FailService(sim::Service::NewPackageList, 1, EFI_OUT_OF_RESOURCES);
  // An injected failure leaves the handle as it was: the caller must not
  // rely on the firmware clearing it.
  EFI_HII_HANDLE untouched = reinterpret_cast<EFI_HII_HANDLE>(1);
  EXPECT_EQ(db->NewPackageList(db, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER*>(list.data()), nullptr,
                               &untouched),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(untouched, reinterpret_cast<EFI_HII_HANDLE>(1));
  EXPECT_TRUE(p.hii.Lists().empty());
  const EFI_HII_HANDLE h = Register(list);
  EXPECT_EQ(p.ServiceCalls(sim::Service::NewPackageList), 2u);

  p.FailService(sim::Service::SetString, 2, EFI_DEVICE_ERROR);
  EXPECT_EQ(Set(h, 1, "en-US", u"a"), EFI_SUCCESS);
  EXPECT_EQ(Set(h, 1, "zh-TW", u"b"), EFI_DEVICE_ERROR);
  EXPECT_EQ(p.hii.String(h, "zh-TW", 1), std::u16string(u"\xFFF1中文\xFFF0"));
  p.FailService(sim::Service::NewString, 1, EFI_OUT_OF_RESOURCES, true);
  EFI_STRING_ID id = 0;
  EXPECT_EQ(New(h, &id, "en-US", u"c"), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(New(h, &id, "en-US", u"c"), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(id, 0);
  p.FailService(sim::Service::GetLanguages, 1, EFI_DEVICE_ERROR);
  UINTN size = 0;
  EXPECT_EQ(str->GetLanguages(str, h, nullptr, &size), EFI_DEVICE_ERROR);
  EXPECT_EQ(str->GetLanguages(str, h, nullptr, &size), EFI_BUFFER_TOO_SMALL);
  p.FailService(sim::Service::GetString, 1, EFI_DEVICE_ERROR);
  std::u16string text;
  size = 64;
  EXPECT_EQ(Get(h, "en-US", 1, &text, &size), EFI_DEVICE_ERROR);
}

TEST_F(Hii, MisuseIsRecorded) {
  const EFI_HII_HANDLE h = Register(List({EnUs()}));
  UINTN size = 0;
  EFI_TPL old = p.BootServices()->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(str->GetLanguages(str, h, nullptr, &size), EFI_BUFFER_TOO_SMALL);
  p.BootServices()->RestoreTPL(old);
  EXPECT_TRUE(p.violations.empty());
  old = p.BootServices()->RaiseTPL(TPL_HIGH_LEVEL);
  str->GetLanguages(str, h, nullptr, &size);
  p.BootServices()->RestoreTPL(old);
  ASSERT_EQ(p.violations.size(), 1u);
  EXPECT_NE(p.violations[0].find("GetLanguages called at TPL 31"), std::string::npos) << p.violations[0];
  // This must be the interface the member belongs to.
  EFI_HII_STRING_PROTOCOL copy = *str;
  EXPECT_EQ(copy.GetLanguages(&copy, h, nullptr, &size), EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.violations.size(), 2u);
  // After ExitBootServices.
  p.ExitBootServices();
  str->GetLanguages(str, h, nullptr, &size);
  EXPECT_EQ(p.violations.size(), 3u);
}

TEST_F(Hii, OtherHiiProtocolsAreLocatedOnly) {
  for (const EFI_GUID& guid :
       {EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, EFI_HII_FONT_PROTOCOL_GUID, EFI_HII_IMAGE_PROTOCOL_GUID}) {
    auto* stand = static_cast<sim::HiiServices::Stand*>(p.LocateProtocolInterface(guid));
    ASSERT_NE(stand, nullptr);
    const size_t before = p.violations.size();
    EXPECT_EQ(stand->member[1](), EFI_UNSUPPORTED);
    EXPECT_EQ(p.violations.size(), before + 1);
  }
  EXPECT_NE(p.violations[0].find("EFI_HII_CONFIG_ROUTING_PROTOCOL"), std::string::npos);
  EXPECT_NE(p.violations[2].find("EFI_HII_IMAGE_PROTOCOL"), std::string::npos);
}

TEST(HiiPresence, ABarePlatformHasNoHii) {
  sim::Platform bare;
  bare.BeginBoot();
  EXPECT_EQ(bare.ProtocolCount(EFI_HII_STRING_PROTOCOL_GUID), 0u);
  EXPECT_EQ(bare.ProtocolCount(EFI_HII_DATABASE_PROTOCOL_GUID), 0u);
}

TEST_F(Hii, EachProtocolCanBeLeftOut) {
  const EFI_GUID guids[] = {EFI_HII_STRING_PROTOCOL_GUID, EFI_HII_DATABASE_PROTOCOL_GUID,
                            EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, EFI_HII_FONT_PROTOCOL_GUID,
                            EFI_HII_IMAGE_PROTOCOL_GUID};
  for (const EFI_GUID& g : guids) EXPECT_EQ(p.ProtocolCount(g), 1u);
  bool* switches[] = {&p.hii.stringProtocol, &p.hii.databaseProtocol, &p.hii.configRouting, &p.hii.font,
                      &p.hii.image};
  for (size_t i = 0; i < 5; ++i) {
    p.hii.SetAllPresent(true);
    *switches[i] = false;
    Boot();
    for (size_t j = 0; j < 5; ++j) EXPECT_EQ(p.ProtocolCount(guids[j]), i == j ? 0u : 1u) << i << " " << j;
  }
  p.hii.SetAllPresent(false);
  Boot();
  for (const EFI_GUID& g : guids) EXPECT_EQ(p.ProtocolCount(g), 0u);
}

TEST_F(Hii, WatchedProtocolAndSharedRecordAppearWhenConfigured) {
  const EFI_GUID watched = {0x8BFFF2C1, 0x0BB8, 0x47FD, {0x9F, 0x6A, 0xAE, 0xC1, 0x01, 0xAC, 0xBE, 0x6E}};
  const EFI_GUID shared = {0xDA8A55E4, 0x4940, 0x4AF9, {0x9F, 0x36, 0x2D, 0xB4, 0x3E, 0xC2, 0x82, 0x59}};
  EXPECT_EQ(p.ProtocolCount(watched), 0u);
  EXPECT_EQ(p.ProtocolCount(shared), 0u);
  const struct {
    sim::LateInstall when;
    size_t atStart, beforeEndOfDxe, afterEndOfDxe;
  } cases[] = {{sim::LateInstall::Absent, 0, 0, 0},
               {sim::LateInstall::BootStart, 1, 1, 1},
               {sim::LateInstall::BeforeEndOfDxe, 0, 1, 1},
               {sim::LateInstall::AfterEndOfDxe, 0, 0, 1}};
  for (const auto& c : cases) {
    p.hii.watched = c.when;
    Boot();
    EXPECT_EQ(p.ProtocolCount(watched), c.atStart);
    p.hii.OnBeforeEndOfDxe(p);
    EXPECT_EQ(p.ProtocolCount(watched), c.beforeEndOfDxe);
    p.hii.OnAfterEndOfDxe(p);
    EXPECT_EQ(p.ProtocolCount(watched), c.afterEndOfDxe);
  }
  p.hii.sharedRecord = true;
  Boot();
  const uint8_t* record = static_cast<const uint8_t*>(p.LocateProtocolInterface(shared));
  ASSERT_NE(record, nullptr);
  const uint8_t flags[5] = {0, 0, 1, 1, 0};
  EXPECT_EQ(std::memcmp(record, flags, 5), 0);
  uint64_t forward = 0, backward = 0;
  std::memcpy(&forward, record + 24, 8);
  std::memcpy(&backward, record + 32, 8);
  EXPECT_EQ(forward, reinterpret_cast<uintptr_t>(record + 24));
  EXPECT_EQ(backward, forward);
}

TEST_F(Hii, TraceShowsTheListAndEveryStringDecoded) {
  const EFI_HII_HANDLE h = Register(List({EnUs(), ZhTw()}));
  Set(h, 1, "zh-TW", u"\xFFF1中文\xFFF0 BIOS");
  EFI_STRING_ID id = 0;
  New(h, &id, "en-US", u"Esc");
  Set(h, 9, "en-US", u"none");
  std::vector<sim::TraceEvent> lists, strings;
  for (const sim::TraceEvent& e : p.trace) {
    if (e.kind == "HiiPackageList") lists.push_back(e);
    if (e.kind == "HiiString") strings.push_back(e);
  }
  ASSERT_EQ(lists.size(), 1u);
  // Header 20, en-US 52 + 17 + 23 + 29 + 1, zh-TW 52 + 11 + 3 + 11 + 1, end 4.
  EXPECT_EQ(lists[0].text,
            "NewPackageList 3B4D9B23-95AC-44F6-9FCD-0E9594586C72 -> #1: en-US 3 strings, zh-TW 2 strings; "
            "224 bytes: strings 122, strings 78, end 4");
  std::map<std::string, std::string> fields(lists[0].fields.begin(), lists[0].fields.end());
  EXPECT_EQ(fields["length"], "224");
  EXPECT_EQ(fields["packageTypes"], "0x4;0x4;0xDF");
  EXPECT_EQ(fields["packageLengths"], "122;78;4");
  ASSERT_EQ(strings.size(), 3u);
  EXPECT_EQ(strings[0].text, "SetString #1 id 1 zh-TW \"⟨W⟩中文⟨N⟩ BIOS\" EFI_SUCCESS");
  EXPECT_EQ(strings[1].text, "NewString #1 id 4 en-US \"Esc\" EFI_SUCCESS");
  EXPECT_EQ(strings[2].text, "SetString #1 id 9 en-US \"none\" EFI_NOT_FOUND");
  EXPECT_EQ(sim::HiiText(u"a\xFFF1"
                         u"b\xFFF0"),
            "a⟨W⟩b⟨N⟩");
}

TEST(FirmwareInfoArea, FieldsAtTheirOffsets) {
  const Bytes area = sim::BuildFirmwareInfoArea({});
  ASSERT_EQ(area.size(), 0x200u);
  EXPECT_EQ(Bytes(area.begin() + 6, area.begin() + 9), (Bytes{0x24, 0x03, 0x15}));
  EXPECT_EQ(Bytes(area.begin() + 0x0A, area.begin() + 0x0D), (Bytes{0x10, 0x20, 0x30}));
  EXPECT_STREQ(reinterpret_cast<const char*>(&area[0x0E]), "VXPLN2A0D0105");
  EXPECT_STREQ(reinterpret_cast<const char*>(&area[0x27]), "QV2207");
  EXPECT_STREQ(reinterpret_cast<const char*>(&area[0x41]), "05.41.52");
  EXPECT_STREQ(reinterpret_cast<const char*>(&area[0x15B]), "$VEREXVXPLN2A0D0105.01");
  const size_t prodex = 0x15B + 23;
  EXPECT_STREQ(reinterpret_cast<const char*>(&area[prodex]), "$PRODEXQV2207-NB");
  const size_t ccbvex = prodex + 17;
  EXPECT_STREQ(reinterpret_cast<const char*>(&area[ccbvex]), "$CCBVEX05.41.52");
  const size_t rdate = ccbvex + 16;
  EXPECT_EQ(std::memcmp(&area[rdate], "$RDATE\x24\x03\x14", 9), 0);
  EXPECT_EQ(area[rdate + 9], 0xFF);
  EXPECT_EQ(area[0x00], 0xFF);
  EXPECT_EQ(area[0x1FF], 0xFF);

  // A 25-character version fills its field without a NUL; records and
  // $RDATE can be left out.
  sim::FirmwareInfoSpec spec;
  spec.version = std::string(25, 'V');
  spec.model = std::string(30, 'M');
  spec.records = {"$PRODEXonly"};
  spec.rdateBcd.reset();
  const Bytes cut = sim::BuildFirmwareInfoArea(spec);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cut[0x0E]), 25), std::string(25, 'V'));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cut[0x27]), 26), std::string(26, 'M'));
  EXPECT_STREQ(reinterpret_cast<const char*>(&cut[0x41]), "05.41.52");
  EXPECT_STREQ(reinterpret_cast<const char*>(&cut[0x15B]), "$PRODEXonly");
  EXPECT_EQ(cut[0x15B + 12], 0xFF);
}

TEST(FirmwareInfoArea, MappedOnTheBusWhereItsMapEntryPoints) {
  sim::Platform platform;
  sim::FlashArea area{sim::kFirmwareInfoAreaType, sim::BuildFirmwareInfoArea({}), 0xFFD00000};
  area.Map(platform);
  for (const uint64_t flashBase : {uint64_t{0xFF000000}, uint64_t{0xFFFFFFFFFFF00000}}) {
    const sim::FdmEntrySpec e = area.Entry(flashBase);
    EXPECT_EQ(flashBase + e.offset, 0xFFD00000u) << "the offset wraps as FlashBase + Offset does";
    EXPECT_EQ(e.size, 0x200u);
    const EFI_GUID type = {0x32415DFC, 0xD106, 0x48C7, {0x9E, 0xB5, 0x80, 0x6C, 0x11, 0x4D, 0xD1, 0x07}};
    EXPECT_TRUE(e.type == type);
  }
  // Reads through the seam's bus: the date bytes, a little-endian word, the
  // version text; a write leaves the array as it was.
  EXPECT_EQ(platform.SeamMmioRead(0xFFD00006, 1), 0x24u);
  EXPECT_EQ(platform.SeamMmioRead(0xFFD00006, 2), 0x0324u);
  EXPECT_EQ(platform.SeamMmioRead(0xFFD0000E, 4), 0x4C505856u);  // "VXPL"
  platform.SeamMmioWrite(0xFFD0000E, 1, 0);
  EXPECT_EQ(platform.SeamMmioRead(0xFFD0000E, 1), 0x56u);
  EXPECT_EQ(area.writes, 1u);
  area.Unmap(platform);
  EXPECT_EQ(platform.SeamMmioRead(0xFFD00006, 1), 0xFFu) << "unmapped: a floating bus";
}

}  // namespace
