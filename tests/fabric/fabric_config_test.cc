#include "kit/fabric/fabric_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace cvl {
namespace {

using FabricConfigLoader::LookupContext;
using test::TempDir;

const char* COMPLETE = R"({"deviceId":"dev-1","deviceToken":"tok","relayUrl":"wss://r.example/"})";

TEST(FabricConfig, DecodesByTheTypeRules) {
  struct Case {
    const char* name;
    std::string json;
    std::optional<FabricConfig> expected;
  } cases[] = {
      {"required only", COMPLETE, FabricConfig{"dev-1", "tok", "wss://r.example/"}},
      {"all five",
       R"({"deviceId":"d","deviceToken":"t","relayUrl":"ws://r","brokerUrl":"https://b","accountId":"a"})",
       FabricConfig{"d", "t", "ws://r", "https://b", "a"}},
      {"null optional, extra key",
       R"({"deviceId":"d","deviceToken":"t","relayUrl":"r","brokerUrl":null,"name":"Mac"})",
       FabricConfig{"d", "t", "r"}},
      {"empty id still decodes", R"({"deviceId":"","deviceToken":"t","relayUrl":"r"})",
       FabricConfig{"", "t", "r"}},
      {"missing relayUrl", R"({"deviceId":"d","deviceToken":"t"})", std::nullopt},
      {"numeric token", R"({"deviceId":"d","deviceToken":5,"relayUrl":"r"})", std::nullopt},
      {"null required", R"({"deviceId":"d","deviceToken":null,"relayUrl":"r"})", std::nullopt},
      {"optional of wrong type", R"({"deviceId":"d","deviceToken":"t","relayUrl":"r","accountId":1})",
       std::nullopt},
      {"array", "[]", std::nullopt},
      {"broken JSON", R"({"deviceId":)", std::nullopt},
      {"empty", "", std::nullopt},
      {"invalid UTF-8", "{\"deviceId\":\"\xff\",\"deviceToken\":\"t\",\"relayUrl\":\"r\"}",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FabricConfig::decode(c.json), c.expected);
  }
}

TEST(FabricConfig, EncodesPresentKeysInFieldOrder) {
  EXPECT_EQ((FabricConfig{"d", "t", "r"}.encode()),
            R"({"deviceId":"d","deviceToken":"t","relayUrl":"r"})");
  EXPECT_EQ((FabricConfig{"d", "t", "r", "b", "a"}.encode()),
            R"({"deviceId":"d","deviceToken":"t","relayUrl":"r","brokerUrl":"b","accountId":"a"})");
}

TEST(FabricConfig, IsCompleteNeedsAllThreeRequiredValues) {
  EXPECT_TRUE(FabricConfigLoader::isComplete({"d", "t", "r"}));
  EXPECT_FALSE(FabricConfigLoader::isComplete({"", "t", "r"}));
  EXPECT_FALSE(FabricConfigLoader::isComplete({"d", "", "r"}));
  EXPECT_FALSE(FabricConfigLoader::isComplete({"d", "t", ""}));
}

TEST(FabricConfig, StripsOnlyALeadingByteOrderMark) {
  EXPECT_EQ(FabricConfigLoader::stripBOM("\xEF\xBB\xBF{}"), "{}");
  EXPECT_EQ(FabricConfigLoader::stripBOM("\xEF\xBB"), "\xEF\xBB");
  EXPECT_EQ(FabricConfigLoader::stripBOM("{}\xEF\xBB\xBF"), "{}\xEF\xBB\xBF");
}

// A file tree standing in for the machine: config folder, program folder, working folder.
struct Layout {
  TempDir root;
  LookupContext context;
  Layout() {
    for (const char* dir : {"/config", "/opt", "/opt/bin", "/work"}) {
      mkdir((root.path() + dir).c_str(), 0700);
    }
    context.configDir = root.path() + "/config";
    context.executablePath = root.path() + "/opt/bin/cvlhost";
    context.workingDir = root.path() + "/work";
  }
  std::string put(const std::string& relative, const std::string& contents) {
    root.write(relative, contents);
    return root.file(relative);
  }
};

TEST(FabricConfigLookup, TriesTheFiveCandidatesInOrder) {
  Layout layout;
  layout.context.fabricConfigVariable = "/explicit.json";
  const std::string r = layout.root.path();
  EXPECT_EQ(FabricConfigLoader::candidatePaths(layout.context),
            (std::vector<std::string>{"/explicit.json", r + "/config/fabric.json",
                                      r + "/opt/fabric.json", r + "/opt/bin/fabric.json",
                                      r + "/work/fabric.json"}));

  layout.context.fabricConfigVariable = std::nullopt;
  layout.context.executablePath = "bin/cvlhost";  // relative to the working folder
  EXPECT_EQ(FabricConfigLoader::candidatePaths(layout.context),
            (std::vector<std::string>{r + "/config/fabric.json", r + "/work/fabric.json",
                                      r + "/work/bin/fabric.json", r + "/work/fabric.json"}));
}

TEST(FabricConfigLookup, EmptyVariableIsACandidateThatFails) {
  Layout layout;
  layout.context.fabricConfigVariable = "";
  auto paths = FabricConfigLoader::candidatePaths(layout.context);
  ASSERT_EQ(paths.size(), 5u);
  EXPECT_EQ(paths[0], "");
  std::string fallback = layout.put("work/fabric.json", COMPLETE);
  auto found = FabricConfigLoader::find(layout.context);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path, fallback);
}

TEST(FabricConfigLookup, FallsThroughUnusableCandidatesSilently) {
  Layout layout;
  layout.context.fabricConfigVariable = layout.root.file("missing.json");
  layout.put("config/fabric.json", "{ broken");
  mkdir(layout.root.file("opt/fabric.json").c_str(), 0700);  // a folder, not a file
  layout.put("opt/bin/fabric.json", R"({"deviceId":"d","deviceToken":"t"})");
  std::string good = layout.put("work/fabric.json", COMPLETE);
  auto found = FabricConfigLoader::find(layout.context);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path, good);
  EXPECT_EQ(found->config.deviceId, "dev-1");
}

TEST(FabricConfigLookup, FirstDecodableCandidateWinsAndMayBeIncomplete) {
  Layout layout;
  std::string withBom = layout.put("explicit.json", std::string("\xEF\xBB\xBF") + COMPLETE);
  layout.context.fabricConfigVariable = withBom;
  layout.put("config/fabric.json", R"({"deviceId":"other","deviceToken":"t","relayUrl":"r"})");
  auto found = FabricConfigLoader::find(layout.context);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path, withBom);
  EXPECT_EQ(found->config, (FabricConfig{"dev-1", "tok", "wss://r.example/"}));

  layout.context.fabricConfigVariable = std::nullopt;
  layout.put("config/fabric.json", R"({"deviceId":"","deviceToken":"t","relayUrl":"r"})");
  found = FabricConfigLoader::find(layout.context);
  ASSERT_TRUE(found);
  EXPECT_FALSE(FabricConfigLoader::isComplete(found->config));
}

TEST(FabricConfigLookup, NothingFoundIsAbsent) {
  Layout layout;
  EXPECT_FALSE(FabricConfigLoader::find(layout.context));
}

TEST(FabricConfigLoader, ConfigFolderFollowsXdgConfigHomeThenHome) {
  setenv("HOME", "/home/owner", 1);
  setenv("XDG_CONFIG_HOME", "/xdg/config/", 1);
  EXPECT_EQ(FabricConfigLoader::defaultConfigDir(), "/xdg/config/Corvello");
  setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(FabricConfigLoader::defaultConfigDir(), "/home/owner/.config/Corvello");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(FabricConfigLoader::defaultConfigDir(), "/home/owner/.config/Corvello");
  unsetenv("HOME");
  EXPECT_FALSE(FabricConfigLoader::defaultConfigDir().empty());
  EXPECT_EQ(FabricConfigLoader::defaultConfigDir().back(), 'o');
}

TEST(FabricConfigLoader, WritesSortedPrettyJsonOwnerOnly) {
  TempDir dir;
  std::string folder = dir.path() + "/a/b/Corvello";
  nlohmann::json object = {{"relayUrl", "wss://r"}, {"deviceToken", "secret"},
                           {"deviceId", "d"},       {"brokerUrl", "https://b"},
                           {"accountId", "acc"}};
  ASSERT_TRUE(FabricConfigLoader::writeFile(folder, object));
  std::string path = folder + "/fabric.json";
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(test::readFile(path),
            "{\n  \"accountId\": \"acc\",\n  \"brokerUrl\": \"https://b\",\n  \"deviceId\": \"d\",\n"
            "  \"deviceToken\": \"secret\",\n  \"relayUrl\": \"wss://r\"\n}\n");
  EXPECT_TRUE(FabricConfig::decode(test::readFile(path)));

  // An existing, more open file is replaced and tightened.
  chmod(path.c_str(), 0644);
  ASSERT_TRUE(FabricConfigLoader::writeFile(folder, {{"deviceId", "x"}}));
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(test::readFile(path), "{\n  \"deviceId\": \"x\"\n}\n");
}

TEST(FabricConfigLoader, WriteFailsWhereTheFolderCannotBeMade) {
  TempDir dir;
  dir.write("plain-file", "");
  EXPECT_FALSE(FabricConfigLoader::writeFile(dir.file("plain-file") + "/Corvello", {{"a", "b"}}));
}

}  // namespace
}  // namespace cvl
