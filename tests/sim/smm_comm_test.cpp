// SMM communication, the lock-box service, the chipset S3 save handler, the
// communication-region table and the published S3 records. Requests are
// written byte by byte at the wire offsets, as a client must lay them out.
#include "sim/smm/smm_comm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>

namespace {

using sim::operator==;

constexpr uint64_t kSuccess = 0;
constexpr uint64_t kInvalidParameter = 0x8000000000000002;
constexpr uint64_t kBadBufferSize = 0x8000000000000004;
constexpr uint64_t kBufferTooSmall = 0x8000000000000005;
constexpr uint64_t kWriteProtected = 0x8000000000000008;
constexpr uint64_t kNotFound = 0x800000000000000E;
constexpr uint64_t kAccessDenied = 0x800000000000000F;
constexpr uint64_t kAlreadyStarted = 0x8000000000000014;
constexpr uint64_t kPreset = 0xFFFFFFFFFFFFFFFF;

// {2A3CFEBD-27E8-4D0A-8B79-D688C2A3E1C0} in its byte layout.
constexpr uint8_t kLockBoxHandlerBytes[16] = {0xBD, 0xFE, 0x3C, 0x2A, 0xE8, 0x27, 0x0A, 0x4D,
                                              0x8B, 0x79, 0xD6, 0x88, 0xC2, 0xA3, 0xE1, 0xC0};
// {5C4061F0-D051-4F43-BC23-5E5E89B3CEC0}
constexpr uint8_t kS3HandlerBytes[16] = {0xF0, 0x61, 0x40, 0x5C, 0x51, 0xD0, 0x43, 0x4F,
                                         0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0};
const EFI_GUID kTableBox = {0xAEA6B965, 0xDCF5, 0x4311, {0xB4, 0xB8, 0x0F, 0x12, 0x46, 0x44, 0x94, 0xD2}};
const EFI_GUID kAddressBox = {0x1810AB4A, 0x2314, 0x4DF6, {0x81, 0xEB, 0x67, 0xC6, 0xEC, 0x05, 0x85, 0x91}};
const EFI_GUID kOtherBox = {0x627EE2DA, 0x3BF9, 0x439B, {0x92, 0x9F, 0x2E, 0x0E, 0x6E, 0x9D, 0xBA, 0x62}};

void Put(std::vector<uint8_t>& b, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint64_t Get(const std::vector<uint8_t>& b, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= uint64_t{b[at + i]} << (8 * i);
  return v;
}
uint64_t Addr(const void* p) { return reinterpret_cast<uint64_t>(p); }

// A lock-box request: 72 bytes when `data64` is given, else 64.
std::vector<uint8_t> Request(uint32_t command, uint64_t messageLength, uint32_t requestLength,
                             const EFI_GUID& box, uint64_t data56, std::optional<uint64_t> data64) {
  std::vector<uint8_t> b(data64 ? 72 : 64, 0);
  std::memcpy(b.data(), kLockBoxHandlerBytes, 16);
  Put(b, 16, messageLength, 8);
  Put(b, 24, command, 4);
  Put(b, 28, requestLength, 4);
  Put(b, 32, kPreset, 8);
  std::memcpy(b.data() + 40, &box, 16);
  Put(b, 56, data56, 8);
  if (data64) Put(b, 64, *data64, 8);
  return b;
}
std::vector<uint8_t> Store(const EFI_GUID& box, uint64_t address, uint64_t length) {
  return Request(1, 48, 48, box, address, length);
}
std::vector<uint8_t> Restore(const EFI_GUID& box, uint64_t address, uint64_t length) {
  return Request(3, 48, 48, box, address, length);
}
std::vector<uint8_t> SetAttributes(const EFI_GUID& box, uint64_t attributes) {
  return Request(4, 40, 40, box, attributes, std::nullopt);
}

struct SmmFixture : ::testing::Test {
  sim::Platform p;
  sim::SmmCommunication comm{p};
  sim::LockBoxHandler lockBox{p, comm};
  sim::ChipsetS3SaveHandler s3{p, comm};
  EFI_SMM_COMMUNICATION_PROTOCOL* protocol = nullptr;

  void Boot() {
    p.BeginBoot();
    protocol = static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(
        p.LocateProtocolInterface(EFI_SMM_COMMUNICATION_PROTOCOL_GUID));
    ASSERT_NE(protocol, nullptr);
  }
  EFI_STATUS Send(std::vector<uint8_t>& buffer, UINTN size) {
    return protocol->Communicate(protocol, buffer.data(), &size);
  }
  EFI_STATUS Send(std::vector<uint8_t>& buffer) { return Send(buffer, buffer.size()); }
  void* Pool(size_t bytes) {
    void* memory = nullptr;
    EXPECT_EQ(p.BootServices()->AllocatePool(EfiRuntimeServicesData, bytes, &memory), kSuccess);
    return memory;
  }
};

// ---------------------------------------------------------------- lock boxes

TEST_F(SmmFixture, LockBoxRequestsAnsweredInTheBuffer) {
  Boot();
  std::vector<uint8_t> data(8192), big(9000, 0xEE), small(100, 0xEE);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3 + 1);
  const uint64_t d = Addr(data.data());
  struct Step {
    const char* what;
    std::vector<uint8_t> request;
    uint64_t result;
    std::optional<uint64_t> lengthOut;  // DataLength at 64 after the call
    bool violation;
  };
  const Step steps[] = {
      {"store", Store(kTableBox, d, 8192), kSuccess, 8192, false},
      {"store again", Store(kTableBox, d, 16), kAlreadyStarted, 16, false},
      {"store address 0", Store(kAddressBox, 0, 8), kInvalidParameter, 8, false},
      {"store length 0", Store(kAddressBox, d, 0), kInvalidParameter, 0, false},
      {"restore unknown", Restore(kAddressBox, 0, 0), kNotFound, 0, false},
      // Without attribute bit 0 a box is not restored in place.
      {"restore in place", Restore(kTableBox, 0, 0), kWriteProtected, 0, false},
      {"restore into buffer", Restore(kTableBox, Addr(big.data()), 9000), kSuccess, 8192, false},
      {"restore too small", Restore(kTableBox, Addr(small.data()), 100), kBufferTooSmall, 8192, false},
      {"restore length 0", Restore(kTableBox, Addr(small.data()), 0), kBufferTooSmall, 8192, false},
      {"restore to 0 with a length", Restore(kTableBox, 0, 100), kInvalidParameter, 100, false},
      {"attributes 3", SetAttributes(kTableBox, 3), kSuccess, std::nullopt, false},
      {"restore in place with attribute 1", Restore(kTableBox, 0, 0), kSuccess, 8192, false},
      {"attributes 4", SetAttributes(kTableBox, 4), kInvalidParameter, std::nullopt, false},
      {"attributes unknown box", SetAttributes(kOtherBox, 1), kNotFound, std::nullopt, false},
      {"command 2", Request(2, 48, 48, kTableBox, d, 8), kInvalidParameter, 8, true},
      {"store of 40", Request(1, 40, 40, kOtherBox, d, std::nullopt), kInvalidParameter, std::nullopt, true},
      {"attributes of 48", Request(4, 48, 48, kTableBox, 1, 0), kInvalidParameter, 0, true},
      {"RequestLength differs", Request(1, 48, 40, kOtherBox, d, 8), kInvalidParameter, 8, true},
  };
  for (const Step& s : steps) {
    std::vector<uint8_t> buffer = s.request;
    const size_t violations = p.violations.size();
    EXPECT_EQ(Send(buffer), kSuccess) << s.what;
    EXPECT_EQ(Get(buffer, 32, 8), s.result) << s.what;
    if (s.lengthOut) {
      EXPECT_EQ(Get(buffer, 64, 8), *s.lengthOut) << s.what;
    }
    EXPECT_EQ(p.violations.size() > violations, s.violation) << s.what;
    // The header and everything but Command, Result and DataLength stay as
    // sent; the handler overwrites Command with all ones in a request it
    // takes.
    std::vector<uint8_t> expected = s.request;
    if (!s.violation) {
      EXPECT_EQ(Get(buffer, 24, 4), 0xFFFFFFFFu) << s.what;
      std::fill(expected.begin() + 24, expected.begin() + 28, 0xFF);
    }
    std::copy(buffer.begin() + 32, buffer.begin() + 40, expected.begin() + 32);
    if (expected.size() == 72) std::copy(buffer.begin() + 64, buffer.end(), expected.begin() + 64);
    EXPECT_EQ(buffer, expected) << s.what;
  }
  EXPECT_EQ(std::vector<uint8_t>(big.begin(), big.begin() + 8192), data);
  EXPECT_EQ(big[8192], 0xEE);
  EXPECT_EQ(small, std::vector<uint8_t>(100, 0xEE));

  const sim::LockBoxHandler::LockBox* box = lockBox.Find(kTableBox);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->data, data);
  EXPECT_EQ(box->address, d);
  EXPECT_EQ(box->attributes, 3u);
  EXPECT_EQ(lockBox.BoxCount(), 1u);
  ASSERT_EQ(lockBox.requests.size(), sizeof steps / sizeof steps[0]);
  EXPECT_EQ(lockBox.requests[0].command, 1u);
  EXPECT_TRUE(lockBox.requests[0].box == kTableBox);
  EXPECT_EQ(lockBox.requests[0].address, d);
  EXPECT_EQ(lockBox.requests[0].length, 8192u);
  EXPECT_EQ(lockBox.requests[10].attributes, 3u);
  EXPECT_EQ(lockBox.requests[6].lengthOut, 8192u);
}

TEST_F(SmmFixture, RestoreInPlacePutsTheStoredBytesBack) {
  Boot();
  uint8_t* table = static_cast<uint8_t*>(Pool(8192));
  for (int i = 0; i < 8192; ++i) table[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> store = Store(kTableBox, Addr(table), 8192);
  ASSERT_EQ(Send(store), kSuccess);
  ASSERT_EQ(Get(store, 32, 8), kSuccess);
  std::memset(table, 0x5A, 8192);  // the table changes after sealing
  std::vector<uint8_t> refused = Restore(kTableBox, 0, 0);
  ASSERT_EQ(Send(refused), kSuccess);
  EXPECT_EQ(Get(refused, 32, 8), kWriteProtected);  // not yet marked for restore in place
  EXPECT_EQ(table[100], 0x5A);
  std::vector<uint8_t> attributes = SetAttributes(kTableBox, 1);
  ASSERT_EQ(Send(attributes), kSuccess);
  std::vector<uint8_t> restore = Restore(kTableBox, 0, 0);
  ASSERT_EQ(Send(restore), kSuccess);
  EXPECT_EQ(Get(restore, 32, 8), kSuccess);
  for (int i = 0; i < 8192; ++i) ASSERT_EQ(table[i], static_cast<uint8_t>(i)) << i;
  EXPECT_TRUE(p.violations.empty());
}

// At the platform's ready-to-lock SMM locks: from then on a buffer outside
// runtime memory is refused by Communicate itself and left as it was, and
// the lock box takes no store or set-attributes; restores still work.
TEST_F(SmmFixture, LockedSmmRefusesStoresAndBuffersOutsideRuntimeMemory) {
  Boot();
  uint8_t* data = static_cast<uint8_t*>(Pool(16));
  for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(i);
  auto inPool = [&](const std::vector<uint8_t>& request) {
    uint8_t* buffer = static_cast<uint8_t*>(Pool(request.size()));
    std::memcpy(buffer, request.data(), request.size());
    return buffer;
  };
  auto sendPool = [&](uint8_t* buffer, UINTN size) { return protocol->Communicate(protocol, buffer, &size); };
  uint8_t* store = inPool(Store(kTableBox, Addr(data), 16));
  ASSERT_EQ(sendPool(store, 72), kSuccess);
  uint8_t* attributes = inPool(SetAttributes(kTableBox, 1));
  ASSERT_EQ(sendPool(attributes, 64), kSuccess);
  ASSERT_FALSE(comm.Locked());
  for (auto& hook : p.readyToLockHooks) hook(p);
  ASSERT_TRUE(comm.Locked());

  std::vector<uint8_t> onStack = Restore(kTableBox, 0, 0);
  const std::vector<uint8_t> sent = onStack;
  EXPECT_EQ(Send(onStack), kAccessDenied);
  EXPECT_EQ(onStack, sent);
  struct Case {
    const char* what;
    std::vector<uint8_t> request;
    uint64_t result;
  };
  const Case cases[] = {
      {"store", Store(kAddressBox, Addr(data), 8), kAccessDenied},
      {"set attributes", SetAttributes(kTableBox, 3), kAccessDenied},
      {"restore in place", Restore(kTableBox, 0, 0), kSuccess},
  };
  for (const Case& c : cases) {
    uint8_t* buffer = inPool(c.request);
    EXPECT_EQ(sendPool(buffer, c.request.size()), kSuccess) << c.what;
    uint64_t result = 0;
    std::memcpy(&result, buffer + 32, 8);
    EXPECT_EQ(result, c.result) << c.what;
  }
  EXPECT_EQ(lockBox.BoxCount(), 1u);
  EXPECT_EQ(lockBox.Find(kTableBox)->attributes, 1u);
  p.BeginBoot();  // SMRAM and its lock are new in every boot
  EXPECT_FALSE(comm.Locked());
}

TEST_F(SmmFixture, LockBoxChecksTheMemoryItIsNamed) {
  Boot();
  void* pool = Pool(4096);
  struct Case {
    const char* what;
    std::vector<uint8_t> request;
  };
  const Case cases[] = {
      {"past the allocation", Store(kTableBox, Addr(pool), 8192)},
      {"unmapped", Store(kAddressBox, 0x10, 8)},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> buffer = c.request;
    const size_t violations = p.violations.size();
    EXPECT_EQ(Send(buffer), kSuccess) << c.what;
    EXPECT_EQ(Get(buffer, 32, 8), kAccessDenied) << c.what;
    EXPECT_EQ(p.violations.size(), violations + 1) << c.what;
  }
  EXPECT_EQ(lockBox.BoxCount(), 0u);
}

TEST_F(SmmFixture, SilentHandlerLeavesThePresetResult) {
  lockBox.silent = true;
  Boot();
  uint64_t value = 0x1122334455667788;
  std::vector<uint8_t> store = Store(kAddressBox, Addr(&value), 8);
  EXPECT_EQ(Send(store), kSuccess);
  EXPECT_EQ(Get(store, 32, 8), kPreset);
  std::vector<uint8_t> restore = Restore(kAddressBox, Addr(&value), 8);
  EXPECT_EQ(Send(restore), kSuccess);
  EXPECT_EQ(Get(restore, 32, 8), kPreset);
  EXPECT_EQ(Get(restore, 64, 8), 8u);
  EXPECT_EQ(lockBox.Find(kAddressBox), nullptr);
  ASSERT_EQ(lockBox.requests.size(), 2u);
  EXPECT_FALSE(lockBox.requests[0].answered);
  EXPECT_EQ(lockBox.requests[0].address, Addr(&value));
}

TEST_F(SmmFixture, BoxesAreGoneAtTheNextBootAndEveryRequestIsTraced) {
  Boot();
  std::vector<uint8_t> data(8192, 0x42);
  std::vector<uint8_t> store = Store(kTableBox, Addr(data.data()), 8192);
  ASSERT_EQ(Send(store), kSuccess);
  ASSERT_NE(lockBox.Find(kTableBox), nullptr);
  char line[160];
  std::snprintf(
      line, sizeof line,
      "LockBox store {AEA6B965-DCF5-4311-B4B8-0F12464494D2} address 0x%llX length 8192 -> EFI_SUCCESS; "
      "box holds 8192 bytes, CRC-32 0x559B1533",
      static_cast<unsigned long long>(Addr(data.data())));
  bool traced = false, communicate = false;
  for (const sim::TraceEvent& e : p.trace) {
    traced = traced || (e.kind == "LockBox" && e.text == line);
    communicate = communicate || (e.kind == "SmmCommunicate" &&
                                  e.text.find("{2A3CFEBD-27E8-4D0A-8B79-D688C2A3E1C0} message 48 size 72 -> "
                                              "EFI_SUCCESS") != std::string::npos);
  }
  EXPECT_TRUE(traced) << line;
  EXPECT_TRUE(communicate);
  Boot();
  EXPECT_EQ(lockBox.Find(kTableBox), nullptr);
  std::vector<uint8_t> again = Store(kTableBox, Addr(data.data()), 8192);
  ASSERT_EQ(Send(again), kSuccess);
  EXPECT_EQ(Get(again, 32, 8), kSuccess);  // not EFI_ALREADY_STARTED: the boxes were cleared
  ASSERT_EQ(lockBox.requests.size(), 2u);
  EXPECT_EQ(lockBox.requests[0].boot, 1u);
  EXPECT_EQ(lockBox.requests[1].boot, 2u);
}

// A successful store shows what the box holds: small boxes byte for byte,
// large ones by length and CRC-32 (the values of the reflected CRC-32 of the
// bytes, as zlib computes it); a refused store shows no box.
TEST_F(SmmFixture, StoresShowWhatTheBoxHolds) {
  Boot();
  const std::vector<uint8_t> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const std::vector<uint8_t> exactly64(64, 0x5A), large(65, 0xEE);
  struct Case {
    const char* what;
    const EFI_GUID* box;
    const std::vector<uint8_t>* data;
    const char* length;
    const char* bytes;  // boxBytes, or null for a CRC
    const char* crc;    // boxCrc32, or null for bytes
  };
  const std::string sixtyFour5A = [] {
    std::string t;
    for (int i = 0; i < 64; ++i) t += i ? " 5A" : "5A";
    return t;
  }();
  const Case cases[] = {
      {"nine bytes", &kAddressBox, &check, "9", "31 32 33 34 35 36 37 38 39", nullptr},
      {"64 bytes, still shown", &kTableBox, &exactly64, "64", sixtyFour5A.c_str(), nullptr},
      {"65 bytes, by CRC", &kOtherBox, &large, "65", nullptr, "0xC04DE3D3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> store = Store(*c.box, Addr(c.data->data()), c.data->size());
    ASSERT_EQ(Send(store), kSuccess);
    const sim::TraceEvent& e = p.trace.back();
    ASSERT_EQ(e.kind, "LockBox");
    std::map<std::string, std::string> fields(e.fields.begin(), e.fields.end());
    EXPECT_EQ(fields["boxLength"], c.length);
    if (c.bytes) {
      EXPECT_EQ(fields["boxBytes"], c.bytes);
      EXPECT_EQ(fields.count("boxCrc32"), 0u);
      EXPECT_NE(e.text.find(std::string("; box holds ") + c.bytes), std::string::npos) << e.text;
    } else {
      EXPECT_EQ(fields["boxCrc32"], c.crc);
      EXPECT_EQ(fields.count("boxBytes"), 0u);
      EXPECT_NE(e.text.find(std::string("; box holds 65 bytes, CRC-32 ") + c.crc), std::string::npos)
          << e.text;
    }
  }
  std::vector<uint8_t> again = Store(kAddressBox, Addr(check.data()), check.size());
  ASSERT_EQ(Send(again), kSuccess);
  EXPECT_EQ(Get(again, 32, 8), kAlreadyStarted);
  for (const auto& f : p.trace.back().fields) {
    EXPECT_TRUE(f.first != "boxLength" && f.first != "boxBytes" && f.first != "boxCrc32") << f.first;
  }
}

// ---------------------------------------------------------------- Communicate

TEST_F(SmmFixture, CommunicateChecksBufferAndSize) {
  Boot();
  uint64_t value = 7;
  struct Case {
    const char* what;
    bool nullBuffer, nullSize;
    UINTN size;
    bool knownGuid;
    uint64_t status;
    UINTN sizeAfter;
    bool handled;
  };
  const Case cases[] = {
      {"null buffer", true, false, 72, true, kInvalidParameter, 72, false},
      {"null size", false, true, 72, true, kInvalidParameter, 72, false},
      {"size below the header", false, false, 23, true, kBadBufferSize, 23, false},
      {"size one short of the message", false, false, 71, true, kBadBufferSize, 71, false},
      {"no handler for the GUID", false, false, 72, false, kNotFound, 72, false},
      {"exact size", false, false, 72, true, kSuccess, 72, true},
      {"larger size", false, false, 80, true, kSuccess, 72, true},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> buffer = Store(kAddressBox, Addr(&value), 8);
    buffer.resize(80, 0);
    if (!c.knownGuid) buffer[0] ^= 1;
    const std::vector<uint8_t> sent = buffer;
    UINTN size = c.size;
    const size_t requests = lockBox.requests.size();
    EXPECT_EQ(
        protocol->Communicate(protocol, c.nullBuffer ? nullptr : buffer.data(), c.nullSize ? nullptr : &size),
        c.status)
        << c.what;
    EXPECT_EQ(size, c.sizeAfter) << c.what;
    EXPECT_EQ(lockBox.requests.size(), requests + (c.handled ? 1 : 0)) << c.what;
    if (c.handled) {
      EXPECT_EQ(Get(buffer, 16, 8), 48u) << c.what;
    } else {
      EXPECT_EQ(buffer, sent) << c.what;  // untouched
    }
    lockBox.requests.clear();
    if (c.handled) p.BeginBoot();  // empty the boxes for the next case
  }
  EXPECT_EQ(comm.calls.size(), sizeof cases / sizeof cases[0]);
  EXPECT_EQ(comm.calls[4].status, kNotFound);
  EXPECT_EQ(comm.calls[5].messageLength, 48u);
  EXPECT_EQ(comm.calls[6].commSize, 80u);
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(SmmFixture, CommunicateMisuseIsAViolation) {
  Boot();
  std::vector<uint8_t> buffer = SetAttributes(kTableBox, 1);
  EFI_SMM_COMMUNICATION_PROTOCOL other{protocol->Communicate};
  UINTN size = 64;
  EXPECT_EQ(protocol->Communicate(&other, buffer.data(), &size), kInvalidParameter);
  ASSERT_EQ(p.violations.size(), 1u);
  p.ExitBootServices();
  EXPECT_EQ(Send(buffer), kSuccess);
  ASSERT_EQ(p.violations.size(), 2u);
  EXPECT_NE(p.violations[1].find("ExitBootServices"), std::string::npos);
}

TEST_F(SmmFixture, NotInstalledMeansNoProtocol) {
  comm.installed = false;
  p.BeginBoot();
  EXPECT_EQ(p.LocateProtocolInterface(EFI_SMM_COMMUNICATION_PROTOCOL_GUID), nullptr);
}

// ---------------------------------------------------------------- chipset S3 hand-over

struct S3Table {
  uint8_t* record;
  uint8_t* table;
};

S3Table MakeTable(SmmFixture& f, size_t tableBytes, uint64_t nextEntry) {
  S3Table t{static_cast<uint8_t*>(f.Pool(16)), static_cast<uint8_t*>(f.Pool(tableBytes))};
  std::memset(t.record, 0, 16);
  std::memset(t.table, 0x11, tableBytes);
  const uint64_t table = Addr(t.table);
  std::memcpy(t.record + 8, &table, 8);
  const uint8_t header[16] = {0x41, 0x53, 0x33, 0x54, 1, 0, 0, 0};
  std::memcpy(t.table, header, 8);
  std::memset(t.table + 8, 0, 24);
  const uint64_t boundary = 0x4000;
  std::memcpy(t.table + 0x20, &boundary, 8);
  std::memcpy(t.table + 0x28, &nextEntry, 8);
  if (nextEntry + 2 <= tableBytes) t.table[nextEntry] = t.table[nextEntry + 1] = 0xFF;
  return t;
}

std::vector<uint8_t> Handover(uint64_t record, uint64_t messageLength = 16, uint32_t function = 1) {
  std::vector<uint8_t> b(40, 0);
  std::memcpy(b.data(), kS3HandlerBytes, 16);
  Put(b, 16, messageLength, 8);
  Put(b, 24, function, 4);
  Put(b, 32, record, 8);
  return b;
}

TEST_F(SmmFixture, HandoverCopiesTheTableThroughTheEndMarker) {
  Boot();
  S3Table t = MakeTable(*this, 0x4004, 0x40);
  for (int i = 0x30; i < 0x40; ++i) t.table[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> message = Handover(Addr(t.record));
  EXPECT_EQ(Send(message), kSuccess);
  ASSERT_EQ(s3.handovers.size(), 1u);
  const sim::ChipsetS3SaveHandler::Handover& h = s3.handovers[0];
  EXPECT_EQ(h.message, Handover(Addr(t.record)));
  EXPECT_EQ(h.record, std::vector<uint8_t>(t.record, t.record + 16));
  ASSERT_EQ(h.table.size(), 0x42u);
  EXPECT_EQ(h.table, std::vector<uint8_t>(t.table, t.table + 0x42));
  EXPECT_EQ(h.table[0x40], 0xFF);
  EXPECT_EQ(h.table[0x41], 0xFF);
  EXPECT_TRUE(h.endMarker);
  EXPECT_TRUE(h.problem.empty());
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(SmmFixture, CorruptHandoverIsBoundedAndAViolation) {
  Boot();
  struct Case {
    const char* what;
    uint64_t nextEntry;
    bool badSignature;
    bool dropMarker;
    uint64_t messageLength;
    bool noRecord;
    size_t tableCopied;
  };
  const Case cases[] = {
      {"signature", 0x40, true, false, 16, false, 48},
      {"next entry far out", 0xFFFFFFFFFFFF0000, false, false, 16, false, 48},
      {"next entry past 1 MiB", 0x100000, false, false, 16, false, 48},
      {"next entry past the allocation", 0x5000, false, false, 16, false, 48},
      {"next entry inside the header", 0x10, false, false, 16, false, 48},
      {"no end marker", 0x40, false, true, 16, false, 0x42},
      {"message length", 0x40, false, false, 8, false, 0},
      {"no record", 0x40, false, false, 16, true, 0},
  };
  for (const Case& c : cases) {
    S3Table t = MakeTable(*this, 0x4004, c.nextEntry);
    if (c.badSignature) t.table[0] = 0;
    if (c.dropMarker) t.table[0x41] = 0;
    std::vector<uint8_t> message = Handover(c.noRecord ? 0 : Addr(t.record), c.messageLength);
    const size_t violations = p.violations.size();
    Send(message);
    ASSERT_FALSE(s3.handovers.empty()) << c.what;
    const sim::ChipsetS3SaveHandler::Handover& h = s3.handovers.back();
    EXPECT_EQ(h.table.size(), c.tableCopied) << c.what;
    EXPECT_FALSE(h.endMarker) << c.what;
    EXPECT_FALSE(h.problem.empty()) << c.what;
    EXPECT_EQ(p.violations.size(), violations + 1) << c.what;
  }
}

// ---------------------------------------------------------------- region table

TEST_F(SmmFixture, RegionTableLayoutFollowsTheDescriptorSize) {
  for (uint32_t stride : {48u, 64u}) {
    comm.regionTable = true;
    comm.descriptorSize = stride;
    comm.regions = {{7, 1}, {0, 2}, {7, 0}};
    Boot();
    const uint8_t* table = static_cast<const uint8_t*>(p.FindConfigTable(sim::kCommRegionTableGuid));
    ASSERT_NE(table, nullptr);
    std::vector<uint8_t> b(table, table + 16 + 3 * stride);
    EXPECT_EQ(Get(b, 0, 4), 1u);
    EXPECT_EQ(Get(b, 4, 4), 3u);
    EXPECT_EQ(Get(b, 8, 4), stride);
    EXPECT_EQ(Get(b, 12, 4), 0u);
    const uint64_t types[] = {7, 0, 7}, pages[] = {1, 2, 0};
    for (size_t i = 0; i < 3; ++i) {
      const size_t at = 16 + i * stride;
      EXPECT_EQ(Get(b, at, 4), types[i]) << stride << " " << i;
      const uint64_t start = Get(b, at + 8, 8);
      EXPECT_NE(start, 0u);
      EXPECT_EQ(start % 4096, 0u);
      EXPECT_EQ(Get(b, at + 24, 8), pages[i]);
      for (size_t pad = at + 40; pad < at + stride; ++pad) EXPECT_EQ(b[pad], 0) << pad;
      std::memset(reinterpret_cast<void*>(start), 0xA5, 4096);  // backed by memory the driver may use
      EXPECT_EQ(comm.Regions()[i].address, start);
    }
  }
}

TEST_F(SmmFixture, RawRegionTableIsPublishedAsGiven) {
  comm.rawRegionTable = std::vector<uint8_t>{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 8, 0, 0, 0, 0, 0, 0, 0};
  Boot();
  const uint8_t* table = static_cast<const uint8_t*>(p.FindConfigTable(sim::kCommRegionTableGuid));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(table, table + 16), *comm.rawRegionTable);
  EXPECT_TRUE(comm.Regions().empty());
}

TEST_F(SmmFixture, BufferOutsideAUsableRegionIsAViolation) {
  struct Case {
    const char* what;
    std::vector<sim::SmmCommunication::Region> regions;
    int where;  // 0: on the stack, 1: in the first region, 2: the S3 buffer
    bool violation;
  };
  const Case cases[] = {
      {"stack buffer with a usable region", {{7, 1}}, 0, true},
      {"region buffer", {{7, 1}}, 1, false},
      {"the platform's S3 buffer", {{7, 1}}, 2, false},
      {"stack buffer, region of 0 pages", {{7, 0}}, 0, false},
      {"stack buffer, region of another type", {{4, 1}}, 0, false},
  };
  for (const Case& c : cases) {
    comm.regionTable = true;
    comm.regions = c.regions;
    Boot();
    std::vector<uint8_t> request = SetAttributes(kTableBox, 1);
    uint8_t* at = c.where == 0   ? request.data()
                  : c.where == 1 ? reinterpret_cast<uint8_t*>(comm.Regions()[0].address)
                                 : reinterpret_cast<uint8_t*>(s3.CommBufferAddress());
    std::memcpy(at, request.data(), request.size());
    UINTN size = 64;
    const size_t violations = p.violations.size();
    EXPECT_EQ(protocol->Communicate(protocol, at, &size), kSuccess) << c.what;
    EXPECT_EQ(p.violations.size() > violations, c.violation) << c.what;
  }
}

// ---------------------------------------------------------------- S3 records

TEST(S3Records, PcdsDeclaredWithTheirValues) {
  sim::Platform p;
  sim::PcdDatabase pcd{p};
  sim::DeclareS3Pcds(pcd, 0x7000, 0x8000);
  p.BeginBoot();
  const EFI_GUID bootScript = {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
  const EFI_GUID chipset = {0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};
  struct Token {
    const EFI_GUID* space;
    uint64_t number;
    uint64_t value;
  };
  const Token tokens[] = {{&bootScript, 0x30000, 0}, {&bootScript, 0x30001, 0},
                          {&chipset, 0x27000, 0},    {&chipset, 0x27001, 0x7000},
                          {&chipset, 0x27002, 0},    {&chipset, 0x27003, 0x8000}};
  for (const Token& t : tokens) {
    const sim::PcdDatabase::Token* found = pcd.Find(*t.space, t.number);
    ASSERT_NE(found, nullptr) << std::hex << t.number;
    EXPECT_EQ(found->kind, sim::PcdDatabase::Kind::U64);
    EXPECT_EQ(found->value, t.value) << std::hex << t.number;
  }
}

TEST(S3Records, PublishedSmmRecordIsDeclaredAndRefilledEveryBoot) {
  sim::Platform p;
  sim::PcdDatabase pcd{p};
  sim::DeclareS3Pcds(pcd);
  std::vector<uint8_t> bytes(24, 0);
  bytes[8] = 0x20;  // ScriptLength
  sim::PublishedSmmBootScriptRecord record{p, pcd, bytes};
  const EFI_GUID space = {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
  for (int boot = 0; boot < 2; ++boot) {
    p.BeginBoot();
    ASSERT_EQ(pcd.Find(space, 0x30001)->value, record.Address());
    EXPECT_EQ(pcd.Find(space, 0x30000)->value, 0u) << "only the SMM record is published";
    EXPECT_EQ(std::vector<uint8_t>(record.Record(), record.Record() + 24), bytes);
    const_cast<uint8_t*>(record.Record())[14] = 1;  // what a boot does is gone at the next
  }
}

TEST(S3Records, PublishedBootScriptIsRefilledEveryBoot) {
  sim::Platform p;
  sim::PcdDatabase pcd{p};
  sim::DeclareS3Pcds(pcd);
  sim::PublishedBootScript script{p, pcd, 2, 32};
  for (int boot = 0; boot < 2; ++boot) {
    p.BeginBoot();
    const EFI_GUID space = {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
    ASSERT_EQ(pcd.Find(space, 0x30000)->value, script.RecordAddress());
    EXPECT_LT(script.RecordAddress() + 24, 1ull << 32);
    EXPECT_LT(script.TableAddress() + 8192, 1ull << 32);
    const std::vector<uint8_t> record(script.Record(), script.Record() + 24);
    EXPECT_EQ(Get(record, 0, 8), script.TableAddress());
    EXPECT_EQ(Get(record, 8, 4), 32u);
    EXPECT_EQ(Get(record, 12, 2), 2u);
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 14, record.end()), std::vector<uint8_t>(10, 0));
    const std::vector<uint8_t> table(script.Table(), script.Table() + 8192);
    EXPECT_EQ(Get(table, 5, 4), 32u);
    EXPECT_EQ(std::vector<uint8_t>(table.begin(), table.begin() + 32), script.Script());
    EXPECT_EQ(std::vector<uint8_t>(table.begin() + 32, table.end()), std::vector<uint8_t>(8192 - 32, 0));
    // What a boot does to them is gone at the next.
    script.Record()[20] = 1;
    script.Table()[32] = 0xFF;
  }
}

}  // namespace
