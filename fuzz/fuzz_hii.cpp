// HII package lists: the platform database's parser, and the driver's walk
// over the language list the database answers.
//
// Input: a string id (u16), then the package-list bytes, handed to the
// simulated database in a buffer exactly as long as they are (a read past it
// is a finding), as EFI_HII_DATABASE_PROTOCOL.NewPackageList receives them.
//
// Oracle: no crash and no sanitizer report in the parser; for a list the
// database accepts, SetStringAllLanguages with the list's own languages
// returns the id or 0; when it returns the id, every language of the list
// whose tag does not begin with "x-UEFI" has the text under that id, and the
// "x-UEFI" ones keep what they had (a tag holding ';', which the language
// list cannot name, is left out). No violation, nothing left allocated.
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "sim/hii/hii.h"
#include "support/strings/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const EFI_STRING_ID id = in.U16();
  const std::vector<uint8_t> bytes = in.Bytes(in.Left());
  std::unique_ptr<uint8_t[]> list(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(list.get(), bytes.data(), bytes.size());

  // The parser on its own, over exactly the input's bytes.
  const sim::HiiParseResult parsed = sim::ParseHiiPackageList(list.get(), bytes.size());
  if (parsed.status != EFI_SUCCESS) return 0;

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  nb.platform.hii.SetAllPresent(true);
  nb.Start();
  EFI_HII_DATABASE_PROTOCOL* db = &nb.platform.hii.databaseInterface;
  EFI_HII_HANDLE handle = nullptr;
  if (db->NewPackageList(db, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER*>(list.get()), nullptr,
                         &handle) != EFI_SUCCESS) {
    nb.CheckClean();
    return 0;
  }
  const sim::HiiPackageList* registered = nb.platform.hii.Find(handle);
  fuzz::Check(registered != nullptr, "an accepted list is not in the database");
  std::vector<std::pair<std::string, std::optional<std::u16string>>> before;
  for (const sim::HiiStringPackage& p : registered->stringPackages) {
    before.push_back({p.language, nb.platform.hii.String(handle, p.language, id)});
  }

  const std::u16string text = u"fuzz";
  const EFI_STRING_ID got =
      SetStringAllLanguages(handle, id, reinterpret_cast<const CHAR16*>(text.c_str()), nullptr);
  fuzz::Check(got == 0 || got == id || id == 0, "SetStringAllLanguages returned another id");
  if (got != 0) {
    for (const auto& [language, old] : before) {
      const std::optional<std::u16string> now = nb.platform.hii.String(handle, language, got);
      // A tag holding the list separator cannot be named through the
      // semicolon-separated language list: no caller can reach it.
      if (language.find(';') != std::string::npos) continue;
      if (language.rfind("x-UEFI", 0) == 0) {
        if (id != 0) fuzz::Check(now == old, "an x-UEFI language was changed: " + language);
      } else {
        fuzz::Check(now == text, "language " + language + " lacks the text");
      }
    }
  }
  nb.CheckClean();
  return 0;
}
