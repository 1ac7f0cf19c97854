// The include structure of the driver sources: the entry point (entry/) sits
// on top and every include runs down from it; the libraries stand on the
// frame (frame/), the ground, which stands on nothing but the primitives of
// support/base; and driver code stays freestanding.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path SourceRoot() {
  // This file is tests/unit/layout_test.cpp under the source root.
  return fs::path(__FILE__).parent_path().parent_path().parent_path();
}

struct Include {
  std::string file;  // relative to the source root
  std::string target;
  bool angled;
};

std::vector<Include> DriverIncludes() {
  std::vector<Include> all;
  for (const char* dir : {"entry", "frame", "bootctl", "s3", "flash", "support"}) {
    const fs::path base = SourceRoot() / dir;
    if (!fs::exists(base)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(base)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h") continue;
      std::ifstream in(entry.path());
      std::string text;
      while (std::getline(in, text)) {
        // #include "x" or #include <x>, with optional blanks around the '#'.
        size_t at = text.find_first_not_of(" \t");
        if (at == std::string::npos || text[at] != '#') continue;
        at = text.find_first_not_of(" \t", at + 1);
        if (at == std::string::npos || text.compare(at, 7, "include") != 0) continue;
        at = text.find_first_of("<\"", at + 7);
        if (at == std::string::npos) continue;
        const size_t end = text.find_first_of(">\"", at + 1);
        if (end == std::string::npos) continue;
        all.push_back({fs::relative(entry.path(), SourceRoot()).generic_string(),
                       text.substr(at + 1, end - at - 1), text[at] == '<'});
      }
    }
  }
  return all;
}

bool Under(const std::string& path, const std::string& dir) { return path.rfind(dir + "/", 0) == 0; }

TEST(Layout, OnlyTheEntryPointIncludesTheEntryHeader) {
  const std::vector<Include> includes = DriverIncludes();
  ASSERT_GT(includes.size(), 20u) << "driver sources not found under " << SourceRoot();
  bool seen = false;
  for (const Include& inc : includes) {
    if (inc.target == "entry/driver.h") {
      EXPECT_EQ(inc.file, "entry/driver.cpp");
      seen = true;
    }
    // Nothing below the entry includes anything of it.
    if (Under(inc.target, "entry")) {
      EXPECT_TRUE(Under(inc.file, "entry")) << inc.file << " includes " << inc.target;
    }
  }
  EXPECT_TRUE(seen) << "entry/driver.cpp no longer includes entry/driver.h";
}

// The frame is the ground the libraries and the entry stand on: its files
// include frame headers and support/base/base.h, the stateless primitives
// (memory, strings, GUIDs, lists) its helpers are built from, which stand on
// frame/uefi.h and the hardware seam alone. No library header from bootctl/,
// s3/, flash/ or the rest of support/, and nothing of entry/.
TEST(Layout, FrameIncludesOnlyTheFrameAndTheBasePrimitives) {
  size_t frameIncludes = 0;
  for (const Include& inc : DriverIncludes()) {
    if (!Under(inc.file, "frame") || inc.angled) continue;
    ++frameIncludes;
    EXPECT_TRUE(Under(inc.target, "frame") || inc.target == "support/base/base.h")
        << inc.file << " includes " << inc.target;
  }
  EXPECT_GT(frameIncludes, 5u) << "frame sources not found under " << SourceRoot();
}

TEST(Layout, GroundFloorIncludesNothingAboveTheFrame) {
  const std::set<std::string> groundFloor = {"frame/module.h", "frame/helpers.h", "frame/uefi.h"};
  for (const Include& inc : DriverIncludes()) {
    if (groundFloor.count(inc.file) == 0 || inc.angled) continue;
    EXPECT_EQ(groundFloor.count(inc.target), 1u) << inc.file << " includes " << inc.target;
  }
}

TEST(Layout, DriverCodeUsesOnlyFreestandingHeaders) {
  const std::set<std::string> allowed = {"stdint.h", "stddef.h", "stdarg.h",    "cstdint",
                                         "cstddef",  "cstdarg",  "type_traits", "limits"};
  for (const Include& inc : DriverIncludes()) {
    if (inc.angled) {
      EXPECT_EQ(allowed.count(inc.target), 1u) << inc.file << " includes <" << inc.target << ">";
    }
  }
}

}  // namespace
