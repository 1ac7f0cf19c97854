// The round trip with the simulated notebook: zkboot leaves a request in an
// efivarfs-like directory, simboot boots the notebook from it and writes the
// variables back, and zkboot status then shows the request taken and BootNext
// exactly where the prediction put it.
#include <sys/wait.h>

#include <map>

#include "tests/zkboot/zkboot_test.h"
#include "tools/simboot/efivarfs.h"
#include "tools/simboot/scenario.h"
#include "tools/zkboot/predict.h"

namespace {

using Json = nlohmann::ordered_json;
using Store = std::map<std::string, std::vector<uint8_t>>;  // file name -> data

Store StoreOf(const std::vector<zkboot::EfiVariable>& vars) {
  Store store;
  for (const auto& v : vars) store[zkboot::VariableFileName(v.name, v.guid)] = v.data;
  return store;
}

// The store after the predicted boots: every predicted change applied.
Store Predicted(Store store, const zkboot::Prediction& p) {
  for (const zkboot::BootPrediction& b : p.boots) {
    for (const zkboot::VariableChange& c : b.changes) {
      const std::string file = zkboot::VariableFileName(c.name, c.guid);
      if (c.after) {
        store[file] = *c.after;
      } else {
        store.erase(file);
      }
    }
  }
  return store;
}

int RunSimboot(const std::vector<std::string>& args) {
  std::string command = SIMBOOT_PATH;
  for (const std::string& a : args) command += " '" + a + "'";
  command += " > /dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RoundTripTest : public ZkbootTest {
 protected:
  // The scenario with an EC that answers and asks for no power-off (what the
  // prediction assumes), written next to the store whose variables it starts with.
  std::string Prepare(const std::string& scenarioName) {
    simboot::Scenario scenario = simboot::LoadScenarioFile(std::string(SCENARIO_DIR) + "/" + scenarioName);
    scenario.ec = {};
    scenario.ecRegisters[0x19] = 0;
    scenario.bootMode = 0;
    // The store as the driver leaves it: no boot manager consumes BootNext.
    scenario.bootManager = false;
    // and a store that works, as the prediction assumes.
    scenario.store = {};
    scenario.failures.clear();
    scenario.powerCutAfterNvWrite = 0;
    scenario.resetReturns = false;
    const std::string path = dir + "/scenario.json";
    simboot::SaveScenarioFile(scenario, path);
    for (const auto& entry : std::filesystem::directory_iterator(root)) std::filesystem::remove(entry.path());
    simboot::ExportEfivarfs(scenario, root);
    return path;
  }
};

TEST_F(RoundTripTest, StatusAfterTheSimulatedBootsShowsWhatThePredictionSaid) {
  std::vector<std::string> scenarios;
  for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIR)) {
    if (entry.path().extension() == ".json") scenarios.push_back(entry.path().filename());
  }
  ASSERT_GE(scenarios.size(), 8u);
  const std::vector<std::vector<std::string>> requests = {{"request", "usb"},
                                                          {"request", "pxe"},
                                                          {"request", "disk"},
                                                          {"request", "mode", "1"},
                                                          {"request", "mode", "2"}};
  // BootNext the driver leaves for the ordinary boot's options (Windows, PXE, USB, SATA), by request.
  const std::map<std::string, std::string> ordinary = {
      {"usb", "0x0001"}, {"pxe", "0x0003"}, {"disk", "0x0000"}, {"1", "0x2001"}, {"2", "0x2003"}};
  int compared = 0;
  for (const std::string& name : scenarios) {
    for (const auto& request : requests) {
      SCOPED_TRACE(name + " " + request.back());
      const std::string scenario = Prepare(name);
      ASSERT_EQ(Run(request).rc, 0);
      const zkboot::Efivarfs store(root);
      const std::vector<zkboot::EfiVariable> before = store.ReadAll();
      const zkboot::Prediction p = zkboot::PredictBoots(before);

      ASSERT_EQ(RunSimboot({scenario, "--quiet", "--from-efivarfs", root, "--to-efivarfs", root}), 0);

      const Store after = StoreOf(store.ReadAll());
      EXPECT_EQ(after, Predicted(StoreOf(before), p)) << "the store differs from the predicted one";
      const RunResult r = Run({"--json"});
      ASSERT_EQ(r.rc, 0) << r.err;
      const Json s = Json::parse(r.out);
      EXPECT_FALSE(s["changeBoot"]["pending"].get<bool>()) << "the request was taken";
      if (p.bootNext) {
        char text[8];
        std::snprintf(text, sizeof(text), "0x%04X", *p.bootNext);
        EXPECT_EQ(s["bootNext"]["value"], text);
      } else {
        EXPECT_FALSE(s["bootNext"]["present"].get<bool>());
      }
      if (name == "ordinary-boot.json") {
        EXPECT_EQ(s["bootNext"]["value"], ordinary.at(request.back()));
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, static_cast<int>(scenarios.size() * requests.size()));
}

TEST_F(RoundTripTest, ImportSkipsVolatileVariablesAndExportMirrorsTheState) {
  PutFile("BootCurrent" + kGlobal, 6, {0x01, 0x00});
  PutFile(kChgBootFile, 7, {0x01, 0x81});
  PutFile("Stale" + kGlobal, 7, {0x01});
  std::ofstream(root + "/not-a-variable") << "x";
  simboot::Scenario scenario;
  simboot::ImportEfivarfs(root, &scenario);
  ASSERT_EQ(scenario.variables.size(), 2u);
  EXPECT_EQ(scenario.variables[0].name, u"Stale");
  EXPECT_EQ(scenario.variables[1].name, u"ZKChgBoot");
  EXPECT_EQ(scenario.variables[1].attributes, 7u);
  EXPECT_EQ(scenario.variables[1].data, (std::vector<uint8_t>{0x01, 0x81}));

  scenario.variables.erase(scenario.variables.begin());
  scenario.variables[0].data = {0x00, 0x81};
  simboot::ExportEfivarfs(scenario, root);
  EXPECT_EQ(File(kChgBootFile), (std::vector<uint8_t>{7, 0, 0, 0, 0x00, 0x81}));
  EXPECT_FALSE(File("Stale" + kGlobal).has_value());
  EXPECT_FALSE(File("BootCurrent" + kGlobal).has_value());
  EXPECT_TRUE(std::filesystem::exists(root + "/not-a-variable"));

  std::ofstream(root + "/" + kChgBootFile) << "ab";
  EXPECT_THROW(simboot::ImportEfivarfs(root, &scenario), simboot::ScenarioError);
  EXPECT_THROW(simboot::ImportEfivarfs(root + "/missing", &scenario), simboot::ScenarioError);
}

}  // namespace
