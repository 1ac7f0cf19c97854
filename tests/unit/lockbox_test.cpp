// Lock-box client: the bytes each request puts in the communication buffer,
// the argument checks, the protocol and region lookups.
#include "s3/lockbox.h"

#include <cstring>

#include "tests/le_bytes.h"
#include "tests/unit/comm_capture.h"
#include "tests/unit/driver_fixture.h"

namespace {

constexpr EFI_GUID kBox = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const uint8_t kBoxBytes[16] = {4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kHandlerGuidBytes[16] = {0xBD, 0xFE, 0x3C, 0x2A, 0xE8, 0x27, 0x0A, 0x4D,
                                       0x8B, 0x79, 0xD6, 0x88, 0xC2, 0xA3, 0xE1, 0xC0};
constexpr EFI_GUID kRegionTableGuid = {
    0x4E28CA50, 0xD582, 0x44AC, {0xA1, 0x1F, 0xE3, 0xD5, 0x65, 0x26, 0xDB, 0x34}};
constexpr EFI_GUID kCommunicationGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

class LockBoxTest : public DriverTest {
 protected:
  Capture capture;
  void SetUp() override {
    Capture::active = &capture;
    DriverTest::SetUp();
    platform.InstallProtocol(kCommunicationGuid, &capture.protocol);
  }
  // A region table with entries {type, pages} at the given stride.
  std::vector<uint8_t> RegionTable(const std::vector<std::pair<uint32_t, uint64_t>>& entries, uint32_t stride,
                                   uint64_t firstStart) {
    // Room for every field of the last entry even when the stride is
    // shorter than a descriptor.
    size_t bytes = 16 + entries.size() * stride;
    if (!entries.empty()) bytes = std::max(bytes, 16 + (entries.size() - 1) * stride + 40);
    std::vector<uint8_t> t(bytes);
    const uint32_t header[4] = {1, static_cast<uint32_t>(entries.size()), stride, 0};
    std::memcpy(t.data(), header, 16);
    for (size_t i = 0; i < entries.size(); i++) {
      uint8_t* e = t.data() + 16 + i * stride;
      const uint64_t start = firstStart + i * 0x1000;
      std::memcpy(e, &entries[i].first, 4);
      std::memcpy(e + 8, &start, 8);
      std::memcpy(e + 24, &entries[i].second, 8);
    }
    return t;
  }
};

TEST_F(LockBoxTest, EachRequestCarriesItsWireFormat) {
  uint8_t data[40] = {};
  UINTN length = 0x20;
  struct Row {
    const char* what;
    std::function<EFI_STATUS()> call;
    UINTN size;
    uint64_t messageLength;
    uint32_t command;
    uint64_t word56;
    std::optional<uint64_t> word64;
  };
  const Row rows[] = {
      {"store", [&] { return LockBoxStore(&kBox, data, 40); }, 72, 48, 1, reinterpret_cast<uintptr_t>(data),
       40},
      {"restore in place", [&] { return LockBoxRestore(&kBox, nullptr, nullptr); }, 72, 48, 3, 0, 0},
      {"restore into a buffer", [&] { return LockBoxRestore(&kBox, data, &length); }, 72, 48, 3,
       reinterpret_cast<uintptr_t>(data), 0x20},
      {"set attributes 3", [&] { return LockBoxSetAttributes(&kBox, 3); }, 64, 40, 4, 3, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    capture.calls.clear();
    capture.result = 0x8000000000000007;  // a device error, passed through as the result
    EXPECT_EQ(row.call(), 0x8000000000000007u);
    ASSERT_EQ(capture.calls.size(), 1u);
    const auto& b = capture.calls[0].bytes;
    ASSERT_EQ(capture.calls[0].size, row.size);
    EXPECT_EQ(0, std::memcmp(b.data(), kHandlerGuidBytes, 16));
    EXPECT_EQ(U64(b, 16), row.messageLength);
    EXPECT_EQ(U32(b, 24), row.command);
    EXPECT_EQ(U32(b, 28), row.messageLength);
    EXPECT_EQ(U64(b, 32), 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(0, std::memcmp(b.data() + 40, kBoxBytes, 16));
    EXPECT_EQ(U64(b, 56), row.word56);
    if (row.word64) {
      EXPECT_EQ(U64(b, 64), *row.word64);
    }
  }
}

TEST_F(LockBoxTest, RestoreReportsTheLengthTheHandlerLeft) {
  uint8_t data[64];
  UINTN length = sizeof(data);
  capture.dataLength = 24;
  EXPECT_EQ(LockBoxRestore(&kBox, data, &length), EFI_SUCCESS);
  EXPECT_EQ(length, 24u);
}

TEST_F(LockBoxTest, AHandlerThatNeverAnswersLeavesAllOnes) {
  capture.answers = false;
  uint8_t data[8] = {};
  EXPECT_EQ(LockBoxStore(&kBox, data, 8), 0xFFFFFFFFFFFFFFFFu);
  EXPECT_EQ(LockBoxSetAttributes(&kBox, 1), 0xFFFFFFFFFFFFFFFFu);
}

// Rejected requests are refused before the protocol is even looked up.
TEST_F(LockBoxTest, BadArgumentsAreRejectedBeforeAnyLookup) {
  uint8_t data[8] = {};
  UINTN length = 8;
  struct Row {
    const char* what;
    std::function<EFI_STATUS()> call;
  };
  const Row rows[] = {
      {"store without a GUID", [&] { return LockBoxStore(nullptr, data, 8); }},
      {"store without a buffer", [&] { return LockBoxStore(&kBox, nullptr, 8); }},
      {"store of 0 bytes", [&] { return LockBoxStore(&kBox, data, 0); }},
      {"restore without a GUID", [&] { return LockBoxRestore(nullptr, nullptr, nullptr); }},
      {"restore with a buffer but no length", [&] { return LockBoxRestore(&kBox, data, nullptr); }},
      {"restore with a length but no buffer", [&] { return LockBoxRestore(&kBox, nullptr, &length); }},
      {"attributes without a GUID", [&] { return LockBoxSetAttributes(nullptr, 1); }},
      {"attribute bit 2", [&] { return LockBoxSetAttributes(&kBox, 4); }},
      {"attribute bit 63", [&] { return LockBoxSetAttributes(&kBox, 0x8000000000000001); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const uint64_t lookups = platform.ServiceCalls(sim::Service::LocateProtocol);
    EXPECT_EQ(row.call(), 0x8000000000000002u);
    EXPECT_EQ(platform.ServiceCalls(sim::Service::LocateProtocol), lookups);
  }
  EXPECT_TRUE(capture.calls.empty());
}

TEST_F(LockBoxTest, WithoutTheProtocolEveryCallLooksAgain) {
  platform.BeginBoot();  // a boot without the communication protocol
  ResetDriverState();
  RunLibraryConstructors(platform.ImageHandle(), platform.SystemTable());
  uint8_t data[8] = {};
  EXPECT_EQ(LockBoxStore(&kBox, data, 8), 0x8000000000000013u);
  const uint64_t lookups = platform.ServiceCalls(sim::Service::LocateProtocol);
  EXPECT_EQ(LockBoxSetAttributes(&kBox, 1), 0x8000000000000013u);
  EXPECT_EQ(platform.ServiceCalls(sim::Service::LocateProtocol), lookups + 1);
  // Installed later: found and kept.
  platform.InstallProtocol(kCommunicationGuid, &capture.protocol);
  EXPECT_EQ(LockBoxSetAttributes(&kBox, 1), EFI_SUCCESS);
  EXPECT_EQ(LockBoxSetAttributes(&kBox, 1), EFI_SUCCESS);
  EXPECT_EQ(platform.ServiceCalls(sim::Service::LocateProtocol), lookups + 2);
}

TEST_F(LockBoxTest, RequestsUseTheFirstRegionThatFits) {
  static uint8_t regions[4][0x1000];
  const uint64_t first = reinterpret_cast<uintptr_t>(regions);
  struct Row {
    const char* what;
    std::vector<std::pair<uint32_t, uint64_t>> entries;
    uint32_t stride;
    int picked;  // index of the region used, -1: the stack
  };
  const Row rows[] = {
      {"one conventional page", {{7, 1}}, 40, 0},
      {"another type first is skipped", {{4, 1}, {7, 1}}, 48, 1},
      {"a conventional entry of 0 pages is no region", {{7, 0}}, 48, -1},
      {"no entries", {}, 48, -1},
      {"only reserved memory", {{0, 4}, {6, 4}}, 64, -1},
      {"a wide stride", {{3, 2}, {7, 0}, {7, 2}}, 72, 2},
      {"a stride shorter than a memory descriptor", {{7, 1}, {7, 1}}, 24, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    platform.BeginBoot();
    ResetDriverState();
    RunLibraryConstructors(platform.ImageHandle(), platform.SystemTable());
    platform.InstallProtocol(kCommunicationGuid, &capture.protocol);
    std::vector<uint8_t> table = RegionTable(row.entries, row.stride, first);
    BootServices->InstallConfigurationTable(&kRegionTableGuid, table.data());
    capture.calls.clear();
    EXPECT_EQ(FindCommRegion(), row.picked < 0 ? 0 : first + 0x1000 * row.picked);
    EXPECT_EQ(LockBoxSetAttributes(&kBox, 1), EFI_SUCCESS);
    ASSERT_EQ(capture.calls.size(), 1u);
    if (row.picked >= 0) {
      EXPECT_EQ(capture.calls[0].buffer, first + 0x1000 * row.picked);
    } else {
      const uintptr_t at = capture.calls[0].buffer;
      EXPECT_FALSE(at >= first && at < first + sizeof(regions)) << "a request went to a region";
    }
  }
}

TEST_F(LockBoxTest, AFoundRegionIsKeptAndAMissingTableIsLookedUpAgain) {
  static uint8_t region[0x1000];
  uint8_t data[8] = {};
  EXPECT_EQ(FindCommRegion(), 0u);
  std::vector<uint8_t> table = RegionTable({{7, 1}}, 48, reinterpret_cast<uintptr_t>(region));
  BootServices->InstallConfigurationTable(&kRegionTableGuid, table.data());
  EXPECT_EQ(LockBoxStore(&kBox, data, 8), EFI_SUCCESS);
  EXPECT_EQ(capture.calls.back().buffer, reinterpret_cast<uintptr_t>(region));
  // Gone from the tables: the cached region stays in use.
  BootServices->InstallConfigurationTable(&kRegionTableGuid, nullptr);
  EXPECT_EQ(LockBoxRestore(&kBox, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(capture.calls.back().buffer, reinterpret_cast<uintptr_t>(region));
}

// The table has no length of its own: a header claiming more than 64 KiB of
// entries is not walked at all.
TEST(CommRegionTable, AnOversizedHeaderIsNotWalked) {
  struct Row {
    uint32_t entries, stride;
    bool walked;
  };
  const Row rows[] = {
      {1, 40, true}, {1638, 40, true}, {1639, 40, false}, {0xFFFFFFFF, 48, false}, {2, 0x8001, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.entries << " x " << row.stride);
    std::vector<uint8_t> table(16 + 40, 0);
    const uint32_t header[4] = {1, row.entries, row.stride, 0};
    std::memcpy(table.data(), header, 16);
    const uint32_t type = 7;
    const uint64_t start = 0x7F000000, pages = 1;
    std::memcpy(table.data() + 16, &type, 4);
    std::memcpy(table.data() + 24, &start, 8);
    std::memcpy(table.data() + 40, &pages, 8);
    EXPECT_EQ(CommRegionFromTable(table.data()), row.walked ? 0x7F000000u : 0u);
  }
}

}  // namespace
