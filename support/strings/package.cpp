// The boot manager's string package, built at compile time from the tables
// below: a u32 length prefix (the whole blob, prefix included), then one HII
// string package per language. Every language package carries ids 1 to 32;
// an id a language leaves undefined (null in its table) is covered by a SKIP2
// block, runs of them by one block.
#include "support/strings/strings.h"

namespace {

#define WIDE u"\uFFF1"
#define NARROW u"\uFFF0"

constexpr int kStringCount = 32;

struct Language {
  const char* tag;
  const char16_t* texts[kStringCount];  // ids 1 to 32; null: undefined here
};

constexpr const char16_t* kBlockedBySecurity = u" has been blocked by the current security policy.";
constexpr const char16_t* kFileBlocked =
    u"Execution of the selected file has been blocked by the current security policy.";
constexpr const char16_t* kBootFailed = u" boot failed.";
constexpr const char16_t* kFileBootFailed = u"Execution of the selected file boot failed.";

constexpr Language kEnglish = {
    "en-US",
    {
        u"English",                  // 1: the language's name
        u"EFI Floppy",               // 2
        u"EFI DVD/CDROM",            // 3
        u"EFI Hard Drive",           // 4
        u"EFI USB Device",           // 5
        u"EFI SCSI Device",          // 6
        u"EFI ISCSI Device",         // 7
        u"EFI SD/MMC Card",          // 8
        u"EFI Embedded MMC Device",  // 9
        u"EFI Misc Device",          // 10
        u"EFI Network",              // 11
        u"Missing String",           // 12
        u"VXPLN2A0D0101",            // 13: firmware version, replaced at load
        u"QV2207",                   // 14: model text, replaced at load
        u"05.41.47",                 // 15: third identification text, replaced at load
        u"BIOS Version",             // 16
        u"BIOS Build Date",          // 17
        u"Processor Type",           // 18
        u"System Memory Speed",      // 19
        u"Do you want to recovery ROM part? (Caution: Not every OS is bootable in Recovery Mode.)",  // 20
        u"Flash Status",                                                                             // 21
        u"YES,this choice will flash Rom part.",                                                     // 22
        u"NO, abort Recovery mode and restart system.",                                              // 23
        u"Rebooting !",                                                                              // 24
        u"% of the system memory tested OK",                                                         // 25
        u"Boot Succeeded - ",                                                                        // 26
        kBlockedBySecurity,                                                                          // 27
        kFileBlocked,                                                                                // 28
        kBootFailed,                                                                                 // 29
        kFileBootFailed,                                                                             // 30
        u"Press Esc for boot options",                                                               // 31
        u"Esc is pressed. Go to boot options.",                                                      // 32
    },
};

constexpr Language kTraditionalChinese = {
    "zh-TW",
    {
        WIDE u"中文" NARROW,  // 1
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,  // 2 to 8
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,                                           // 9 to 15
        WIDE u"韌體" NARROW u" EFI " WIDE u"版本" NARROW,  // 16
        u"BIOS" WIDE u"建立日期" NARROW,                   // 17
        WIDE u"處理器" NARROW u" " WIDE u"型式" NARROW,    // 18
        WIDE u"系統記憶體速度" NARROW,                     // 19
        WIDE u"是否回復快閃記憶體內"
             u"容" NARROW u"? " WIDE u"(警告: 並非所有的作業系統皆可在回復模式下開機)" NARROW,  // 20
        WIDE u"快閃記憶體狀態" NARROW,                                                          // 21
        WIDE u"是，此選項將更新快閃記憶體內容" NARROW,                                          // 22
        WIDE u"否，取消回復模式並重新啟動系統" NARROW,                                          // 23
        WIDE u"重新開機" NARROW u"!",                                                           // 24
        u"%" WIDE u"之系統記憶體已測試無誤" NARROW,                                             // 25
        WIDE u"開機成功" NARROW,                                                                // 26
        kBlockedBySecurity,                                                                     // 27
        kFileBlocked,                                                                           // 28
        kBootFailed,                                                                            // 29
        kFileBootFailed,                                                                        // 30
        nullptr,
        nullptr,  // 31, 32
    },
};

#undef WIDE
#undef NARROW

constexpr UINT32 kHeaderSize = 46;  // the string package header before its tag

constexpr UINT32 TextUnits(const char16_t* text) {
  UINT32 n = 0;
  while (text[n] != 0) ++n;
  return n + 1;
}

constexpr UINT32 TagSize(const char* tag) {
  UINT32 n = 0;
  while (tag[n] != 0) ++n;
  return n + 1;
}

constexpr UINT32 PackageSize(const Language& language) {
  UINT32 size = kHeaderSize + TagSize(language.tag);
  for (int id = 0; id < kStringCount; ++id) {
    if (language.texts[id] != nullptr) {
      size += 1 + 2 * TextUnits(language.texts[id]);
    } else if (id == 0 || language.texts[id - 1] != nullptr) {
      size += 3;  // a SKIP2 block starts here
    }
  }
  return size + 1;  // the end block
}

constexpr UINT32 kEnglishSize = PackageSize(kEnglish);
constexpr UINT32 kChineseSize = PackageSize(kTraditionalChinese);
static_assert(4 + kEnglishSize + kChineseSize == kBootStringBlobSize, "string blob size");

struct Blob {
  UINT8 bytes[kBootStringBlobSize];
};

struct Writer {
  Blob* blob;
  UINT32 at;
  constexpr void Byte(UINT32 value) { blob->bytes[at++] = static_cast<UINT8>(value); }
  constexpr void Word(UINT32 value) {
    Byte(value);
    Byte(value >> 8);
  }
  constexpr void Dword(UINT32 value) {
    Word(value);
    Word(value >> 16);
  }
};

constexpr void WritePackage(Writer& out, const Language& language, UINT32 size) {
  const UINT32 headerSize = kHeaderSize + TagSize(language.tag);
  out.Dword(HiiPackageHeader(size, EFI_HII_PACKAGE_STRINGS));
  out.Dword(headerSize);                     // HdrSize
  out.Dword(headerSize);                     // StringInfoOffset: the blocks follow the header
  for (int i = 0; i < 16; ++i) out.Word(0);  // LanguageWindow
  out.Word(1);                               // LanguageName: string id 1
  for (UINT32 i = 0; i < TagSize(language.tag); ++i) out.Byte(static_cast<UINT8>(language.tag[i]));
  for (int id = 0; id < kStringCount;) {
    const char16_t* text = language.texts[id];
    if (text != nullptr) {
      out.Byte(EFI_HII_SIBT_STRING_UCS2);
      for (UINT32 i = 0; i < TextUnits(text); ++i) out.Word(text[i]);
      ++id;
      continue;
    }
    UINT32 skipped = 0;
    while (id < kStringCount && language.texts[id] == nullptr) {
      ++skipped;
      ++id;
    }
    out.Byte(EFI_HII_SIBT_SKIP2);
    out.Word(skipped);
  }
  out.Byte(EFI_HII_SIBT_END);
}

constexpr Blob BuildBlob() {
  Blob blob{};
  Writer out{&blob, 0};
  out.Dword(kBootStringBlobSize);
  WritePackage(out, kEnglish, kEnglishSize);
  WritePackage(out, kTraditionalChinese, kChineseSize);
  return blob;
}

constexpr Blob kBlob = BuildBlob();

}  // namespace

// Constant-initialised: the bytes are in the image's read-only data.
extern const UINT8* const BootStringBlob = kBlob.bytes;
