// ffspack: wraps a PE32+ driver image into a PI firmware file of type DXE
// driver. By default the file is BootCtlDxe's: its file GUID, its
// dependency expression and its name.
//
//   ffspack IMAGE.efi OUT.ffs                  BootCtlDxe's file
//   ffspack IMAGE.efi OUT.ffs --also GUID      ... also waiting for GUID
//   ffspack IMAGE.efi OUT.ffs --guid G --name N --before FILE
//                                              another driver, started just
//                                              before the file FILE
//   ffspack --list                             the dependency list
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "tools/ffs/ffs.h"

namespace {

std::optional<fwfile::Guid> GuidOption(const std::string& text, const char* what) {
  auto guid = fwfile::ParseGuid(text);
  if (!guid) std::cerr << "ffspack: " << what << " '" << text << "' is not a GUID\n";
  return guid;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Wraps a PE32+ driver image into a PI firmware file (type DXE driver)"};
  std::string imagePath, outPath, fileGuid = fwfile::kBootCtlFileGuid, name = fwfile::kBootCtlUiName, before;
  std::vector<std::string> also;
  bool list = false;
  app.add_option("image", imagePath, "the PE32+ image");
  app.add_option("out", outPath, "the firmware file to write");
  app.add_option("--guid", fileGuid, "file GUID (default: BootCtlDxe's)");
  app.add_option("--name", name, "user-interface name (default: BootCtlDxe)");
  app.add_option("--also", also, "a further protocol GUID the driver waits for");
  app.add_option("--before", before, "instead of waiting for protocols, start just before this file GUID");
  app.add_flag("--list", list, "print the dependency list and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  if (list) {
    for (const auto& item : fwfile::BootCtlDepex()) std::cout << item.guid << "  " << item.name << "\n";
    return 0;
  }
  if (imagePath.empty() || outPath.empty()) {
    std::cerr << "ffspack: an image and an output file are needed (--help)\n";
    return 2;
  }

  fwfile::DriverFile file;
  auto guid = GuidOption(fileGuid, "--guid");
  if (!guid) return 2;
  file.name = *guid;
  file.uiName = name;
  if (!before.empty()) {
    if (!also.empty()) {
      std::cerr << "ffspack: --before is the whole expression; it does not combine with --also\n";
      return 2;
    }
    auto target = GuidOption(before, "--before");
    if (!target) return 2;
    file.depex = fwfile::OrderDepex(fwfile::kDepexBefore, *target);
  } else {
    std::vector<fwfile::Guid> protocols;
    for (const auto& item : fwfile::BootCtlDepex()) protocols.push_back(*fwfile::ParseGuid(item.guid));
    for (const auto& text : also) {
      auto extra = GuidOption(text, "--also");
      if (!extra) return 2;
      protocols.push_back(*extra);
    }
    file.depex = fwfile::AllOfDepex(protocols);
  }

  std::ifstream in(imagePath, std::ios::binary);
  if (!in) {
    std::cerr << "ffspack: cannot read " << imagePath << "\n";
    return 1;
  }
  file.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (file.image.size() < 2 || file.image[0] != 'M' || file.image[1] != 'Z') {
    std::cerr << "ffspack: " << imagePath << " is not a PE image (no MZ header)\n";
    return 1;
  }

  std::string error;
  auto bytes = fwfile::BuildDriverFile(file, &error);
  if (!bytes) {
    std::cerr << "ffspack: " << imagePath << ": " << error << "\n";
    return 1;
  }
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
  if (!out) {
    std::cerr << "ffspack: cannot write " << outPath << "\n";
    return 1;
  }
  std::cout << "ffspack: " << outPath << ": " << bytes->size() << " bytes, file "
            << fwfile::FormatGuid(file.name) << "\n";
  return 0;
}
