// The variable services and variable persistence across resets.
#include <gtest/gtest.h>

#include <map>

#include "sim/platform.h"

namespace {

const EFI_GUID kVendor = {0x5A5A0001, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
const EFI_GUID kOtherVendor = {0x5A5A0002, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
constexpr uint32_t kNvBs = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

class Variables : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  sim::Platform p;
  EFI_RUNTIME_SERVICES* rt = p.RuntimeServices();
};

TEST_F(Variables, GetVariableSizingAndParameterChecks) {
  p.PutVariable(u"Two", kVendor, kVarNvBsRt, {0x01, 0x81});
  struct Case {
    const CHAR16* name;
    const EFI_GUID* guid;
    bool sizePointer, dataPointer;
    UINTN sizeIn;
    EFI_STATUS expected;
    UINTN sizeOut;
    bool attributesWritten;
  };
  const Case cases[] = {
      {nullptr, &kVendor, true, true, 8, EFI_INVALID_PARAMETER, 8, false},
      {u"Two", nullptr, true, true, 8, EFI_INVALID_PARAMETER, 8, false},
      {u"Two", &kVendor, false, true, 8, EFI_INVALID_PARAMETER, 0, false},
      {u"Three", &kVendor, true, true, 8, EFI_NOT_FOUND, 8, false},
      {u"Two", &kOtherVendor, true, true, 8, EFI_NOT_FOUND, 8, false},
      {u"Two", &kVendor, true, false, 0, EFI_BUFFER_TOO_SMALL, 2, true},
      {u"Two", &kVendor, true, true, 1, EFI_BUFFER_TOO_SMALL, 2, true},
      {u"Two", &kVendor, true, false, 2, EFI_INVALID_PARAMETER, 2, false},
      {u"Two", &kVendor, true, true, 2, EFI_SUCCESS, 2, true},
      {u"Two", &kVendor, true, true, 16, EFI_SUCCESS, 2, true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& c = cases[i];
    uint8_t data[16] = {};
    UINTN size = c.sizeIn;
    uint32_t attributes = 0xEEEE;
    EXPECT_EQ(rt->GetVariable(c.name, c.guid, &attributes, c.sizePointer ? &size : nullptr,
                              c.dataPointer ? data : nullptr),
              c.expected)
        << i;
    EXPECT_EQ(size, c.sizePointer ? c.sizeOut : c.sizeIn) << i;
    EXPECT_EQ(attributes, c.attributesWritten ? kVarNvBsRt : 0xEEEEu) << i;
    EXPECT_EQ(data[1], c.expected == EFI_SUCCESS ? 0x81 : 0) << i;
  }
  EXPECT_EQ(p.counters.varReads, sizeof cases / sizeof cases[0]);
}

TEST_F(Variables, SetVariableCreatesRewritesAppendsAndDeletes) {
  const uint8_t one = 1, more[] = {2, 3};
  struct Case {
    const char* what;
    const CHAR16* name;
    uint32_t attributes;
    UINTN size;
    const void* data;
    EFI_STATUS expected;
    bool existsAfter;
    std::vector<uint8_t> dataAfter;
  };
  const Case cases[] = {
      {"create", u"New", kVarNvBsRt, 2, more, EFI_SUCCESS, true, {2, 3}},
      {"rewrite", u"Existing", kVarNvBsRt, 2, more, EFI_SUCCESS, true, {2, 3}},
      {"append", u"Existing", kVarNvBsRt | EFI_VARIABLE_APPEND_WRITE, 2, more, EFI_SUCCESS, true, {1, 2, 3}},
      {"other attributes", u"Existing", kNvBs, 2, more, EFI_INVALID_PARAMETER, true, {1}},
      {"delete by size 0", u"Existing", kVarNvBsRt, 0, nullptr, EFI_SUCCESS, false, {}},
      {"delete by attributes 0", u"Existing", 0, 1, &one, EFI_SUCCESS, false, {}},
      {"delete with other attributes", u"Existing", kNvBs, 0, nullptr, EFI_INVALID_PARAMETER, true, {1}},
      {"delete absent", u"Absent", kVarNvBsRt, 0, nullptr, EFI_NOT_FOUND, false, {}},
      {"runtime without boot access",
       u"New",
       EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_RUNTIME_ACCESS,
       1,
       &one,
       EFI_INVALID_PARAMETER,
       false,
       {}},
      {"empty name", u"", kVarNvBsRt, 1, &one, EFI_INVALID_PARAMETER, false, {}},
      {"null data", u"New", kVarNvBsRt, 3, nullptr, EFI_INVALID_PARAMETER, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    p.PutVariable(u"Existing", kVendor, kVarNvBsRt, {1});
    p.RemoveVariable(u"New", kVendor);
    EXPECT_EQ(rt->SetVariable(c.name, &kVendor, c.attributes, c.size, c.data), c.expected);
    const sim::Variable* v = p.FindVariable(c.name, kVendor);
    ASSERT_EQ(v != nullptr, c.existsAfter);
    if (v) {
      EXPECT_EQ(v->data, c.dataAfter);
      EXPECT_EQ(v->attributes, kVarNvBsRt);  // the append flag is not stored
    }
  }
}

TEST_F(Variables, CountersAndTraceRecordEveryCall) {
  const uint8_t bytes[] = {0x01, 0x81};
  rt->SetVariable(u"Nv", &kVendor, kVarNvBsRt, 2, bytes);
  rt->SetVariable(u"Volatile", &kVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, 2, bytes);
  rt->SetVariable(u"Nv", &kVendor, kNvBs, 2, bytes);  // refused: attributes differ
  rt->SetVariable(u"Volatile", &kVendor, 0, 0, nullptr);
  rt->SetVariable(u"Nv", &kVendor, kVarNvBsRt, 0, nullptr);
  EXPECT_EQ(p.counters.varWrites, 3u);
  EXPECT_EQ(p.counters.varDeletes, 2u);
  EXPECT_EQ(p.counters.nvWrites, 2u);  // the NV write and the NV delete

  const std::pair<const char*, const char*> expected[] = {{"SetVariable", "EFI_SUCCESS"},
                                                          {"SetVariable", "EFI_SUCCESS"},
                                                          {"SetVariable", "EFI_INVALID_PARAMETER"},
                                                          {"DeleteVariable", "EFI_SUCCESS"},
                                                          {"DeleteVariable", "EFI_SUCCESS"}};
  std::vector<sim::TraceEvent> calls;
  for (const sim::TraceEvent& e : p.trace) {
    if (e.kind == "SetVariable" || e.kind == "DeleteVariable") calls.push_back(e);
  }
  ASSERT_EQ(calls.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const sim::TraceEvent& e = calls[i];
    std::map<std::string, std::string> fields(e.fields.begin(), e.fields.end());
    EXPECT_EQ(e.kind, expected[i].first) << i;
    EXPECT_EQ(fields["status"], expected[i].second) << i;
    EXPECT_EQ(fields["guid"], sim::GuidToString(kVendor)) << i;
  }
  std::map<std::string, std::string> first(calls[0].fields.begin(), calls[0].fields.end());
  EXPECT_EQ(first["name"], "Nv");
  EXPECT_EQ(first["attributes"], "0x7");
  EXPECT_EQ(first["data"], "01 81");
}

TEST_F(Variables, NonVolatileSurviveAResetAndVolatileDoNot) {
  const uint8_t byte = 0x42;
  ASSERT_EQ(rt->SetVariable(u"Keep", &kVendor, kNvBs, 1, &byte), EFI_SUCCESS);
  ASSERT_EQ(rt->SetVariable(u"Drop", &kVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &byte), EFI_SUCCESS);
  bool returned = false;
  std::optional<EFI_RESET_TYPE> reset = p.RunGuarded([&] {
    rt->ResetSystem(EfiResetWarm, EFI_SUCCESS, 0, nullptr);
    returned = true;
  });
  EXPECT_EQ(reset, EfiResetWarm);
  EXPECT_FALSE(returned);
  EXPECT_EQ(p.trace.back().kind, "Reset");
  EXPECT_EQ(p.trace.back().text, "ResetSystem(EfiResetWarm)");

  p.BeginBoot();
  EXPECT_FALSE(p.LastReset().has_value());
  uint8_t data = 0;
  UINTN size = 1;
  EXPECT_EQ(rt->GetVariable(u"Keep", &kVendor, nullptr, &size, &data), EFI_SUCCESS);
  EXPECT_EQ(data, 0x42);
  EXPECT_EQ(rt->GetVariable(u"Drop", &kVendor, nullptr, &size, &data), EFI_NOT_FOUND);
  EXPECT_FALSE(p.RunGuarded([&] { returned = true; }).has_value());
  EXPECT_TRUE(returned);
}

TEST_F(Variables, GetNextVariableNameWalksInCreationOrder) {
  p.PutVariable(u"B", kVendor, kNvBs, {1});
  p.PutVariable(u"LongerName", kOtherVendor, kNvBs, {2});
  p.PutVariable(u"A", kVendor, kNvBs, {3});
  std::vector<std::u16string> names;
  CHAR16 name[32] = {0};
  EFI_GUID guid{};
  UINTN size = sizeof name;
  while (rt->GetNextVariableName(&size, name, &guid) == EFI_SUCCESS) {
    names.push_back(name);
    size = sizeof name;
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"B", u"LongerName", u"A"}));
  name[0] = u'B', name[1] = 0, guid = kVendor, size = 4;
  EXPECT_EQ(rt->GetNextVariableName(&size, name, &guid), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 22u);  // "LongerName" and its terminator
  guid = kOtherVendor;   // "B" does not exist under this GUID
  EXPECT_EQ(rt->GetNextVariableName(&size, name, &guid), EFI_INVALID_PARAMETER);
}

}  // namespace
