// Kernel extension records and loading, with a desktop double (alerts,
// scripts, URLs) and with the osascript backend driven through stand-in
// executables.
#include "velmora/kext/kernel_extension.hpp"

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/test_support.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Case = KernelExtensionError::Case;

// Records what the flows ask of the desktop and answers as told.
class FakeDesktop : public DesktopServices {
 public:
  int runModalAlert(const DesktopAlert& alert) override {
    std::lock_guard lock(mutex);
    alerts.push_back(alert);
    alertThreads.push_back(std::this_thread::get_id());
    return alertAnswer;
  }
  bool openURL(const std::string& url) override {
    std::lock_guard lock(mutex);
    urls.push_back(url);
    return true;
  }
  std::unique_ptr<PrivilegedScript> makeScript(const std::string& source) override {
    std::lock_guard lock(mutex);
    sources.push_back(source);
    if (!scriptCanBeMade) return nullptr;
    struct Script : PrivilegedScript {
      std::optional<ScriptErrorInfo> result;
      std::optional<ScriptErrorInfo> execute() override { return result; }
    };
    auto script = std::make_unique<Script>();
    script->result = scriptResult;
    return script;
  }

  std::mutex mutex;
  std::vector<DesktopAlert> alerts;
  std::vector<std::thread::id> alertThreads;
  std::vector<std::string> urls;
  std::vector<std::string> sources;
  int alertAnswer = 0;
  bool scriptCanBeMade = true;
  std::optional<ScriptErrorInfo> scriptResult;
};

class KernelExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velmora-kext-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }

  // A bundle whose Info.plist is written by Python's plistlib, in XML or binary form.
  fs::path bundle(const std::string& name, const std::string& pythonDict, bool binary = false) {
    const fs::path path = root / name;
    fs::create_directories(path / "Contents");
    GenericCLIUtility("/usr/bin/python3")
        .run({"-c", "import plistlib,sys; plistlib.dump(" + pythonDict + ", open(sys.argv[1], 'wb'), fmt=plistlib." +
                        (binary ? "FMT_BINARY" : "FMT_XML") + ")",
              (path / "Contents/Info.plist").string()});
    return path;
  }

  std::optional<KernelExtensionError> load(KernelExtensionCommandDelegate& delegate, const std::string& path) {
    std::promise<std::optional<KernelExtensionError>> outcome;
    int calls = 0;
    delegate.loadKernelExtension(path, [&](std::optional<KernelExtensionError> error) {
      ++calls;
      outcome.set_value(std::move(error));
    });
    auto result = outcome.get_future().get();
    test::drainMainQueue();  // a second call, or an alert still queued, would show by now
    EXPECT_EQ(calls, 1);
    return result;
  }

  fs::path root;
};

TEST_F(KernelExtensionTest, ErrorTextsAreTheDocumentedOnes) {
  const std::pair<KernelExtensionError, const char*> rows[] = {
      {KernelExtensionError(Case::kernelExtensionNotFound), "kernel extension not found"},
      {KernelExtensionError(Case::plistNotFound), "Info.plist not found"},
      {KernelExtensionError(Case::versionPlistNotFound), "version.plist not found"},
      {KernelExtensionError(Case::unableToParsePlist), "unable to parse plist"},
      {KernelExtensionError(Case::bundleIDNotFound), "bundle id not found"},
      {KernelExtensionError(Case::failedToFindVersionInfo), "version info not found"},
      {KernelExtensionError::failedToLoadKernelExtension({{"error", "failed to create appleScript"}}),
       "failed to load extension `{error: \"failed to create appleScript\"}`"},
  };
  for (const auto& [error, text] : rows) {
    EXPECT_EQ(error.errorDescription(), text);
    EXPECT_STREQ(error.what(), text);
  }
}

TEST_F(KernelExtensionTest, ReadsXmlAndBinaryInfoPlistsAlike) {
  for (const bool binary : {false, true}) {
    const auto path = bundle(binary ? "binary.kext" : "xml.kext",
                             "{'CFBundleIdentifier': 'io.macfuse.filesystems.macfuse', 'CFBundleName': 'macFUSE',"
                             " 'CFBundleShortVersionString': '2.1', 'CFBundleVersion': '2100'}",
                             binary);
    EXPECT_EQ(KernelExtensionInfoFactory::kernelExtensionInfo(path.string()),
              (KernelExtensionInfo{"io.macfuse.filesystems.macfuse", path.string(), "macFUSE", "2.1"}));
  }
}

TEST_F(KernelExtensionTest, FallsBackToTheLongVersionAndTheFileName) {
  const auto path = bundle("macfuse.fs", "{'CFBundleIdentifier': 'io.macfuse.filesystems.macfuse', 'CFBundleVersion': '2100'}");
  const auto info = KernelExtensionInfoFactory::kernelExtensionInfo(path.string());
  EXPECT_EQ(info.versionString, "2100");
  EXPECT_EQ(info.name, "macfuse");
}

TEST_F(KernelExtensionTest, ReportsEachMissingPiece) {
  struct Row {
    const char* name;
    std::string plist;  // "" for no Info.plist at all
    Case expected;
    const char* text;
  };
  const Row rows[] = {
      {"no-plist.kext", "", Case::unableToParsePlist, "unable to parse plist"},
      {"numeric-id.kext", "{'CFBundleIdentifier': 42, 'CFBundleVersion': '1'}", Case::bundleIDNotFound,
       "bundle id not found"},
      {"nothing.kext", "{'CFBundleName': 'x'}", Case::versionPlistNotFound, "version.plist not found"},
      {"no-id.kext", "{'CFBundleVersion': '1'}", Case::bundleIDNotFound, "bundle id not found"},
      {"array.kext", "['not', 'a', 'dictionary']", Case::unableToParsePlist, "unable to parse plist"},
  };
  for (const auto& row : rows) {
    const fs::path path = row.plist.empty() ? root / row.name : bundle(row.name, row.plist);
    fs::create_directories(path);
    test::expectError<KernelExtensionError>([&] { KernelExtensionInfoFactory::kernelExtensionInfo(path.string()); },
                                            row.expected, row.text);
  }
  fs::create_directories(root / "garbage.kext/Contents");
  std::ofstream(root / "garbage.kext/Contents/Info.plist") << "not a plist";
  test::expectError<KernelExtensionError>(
      [&] { KernelExtensionInfoFactory::kernelExtensionInfo((root / "garbage.kext").string()); },
      Case::unableToParsePlist, "unable to parse plist");
  test::expectError<KernelExtensionError>(
      [&] { KernelExtensionInfoFactory::kernelExtensionInfo((root / "missing.kext").string()); },
      Case::kernelExtensionNotFound, "kernel extension not found");
}

TEST_F(KernelExtensionTest, ConstantsAndExpectedNames) {
  KernelExtensionCommandDelegate delegate(std::make_shared<FakeDesktop>());
  EXPECT_EQ(delegate.allMacFuseVersionKextIDs,
            (std::vector<std::string>{"io.macfuse.filesystems.macfuse", "io.macfuse.filesystems.macfuse.21",
                                      "io.macfuse.filesystems.macfuse.23"}));
  EXPECT_EQ(delegate.macFuseFSExtensionInstallLocation, "/Library/Filesystems/macfuse.fs");
  EXPECT_EQ(delegate.expectedDriverKernelExtensionsFolder, "/Library/Extensions");
  EXPECT_EQ(delegate.expectedExtensionName("io.macfuse.filesystems.macfuse"), "macfuse");
  EXPECT_EQ(delegate.expectedExtensionName("io.macfuse.filesystems.macfuse.21"), "21");
  EXPECT_EQ(delegate.expectedExtensionName("trailing.dot."), "dot");
  EXPECT_EQ(delegate.expectedExtensionName("..."), std::nullopt);
  EXPECT_EQ(delegate.expectedExtensionName(""), std::nullopt);
}

TEST_F(KernelExtensionTest, RefusesMissingAndNonKextPathsWithoutAnyAlert) {
  auto desktop = std::make_shared<FakeDesktop>();
  KernelExtensionCommandDelegate delegate(desktop);
  fs::create_directories(root / "macfuse.fs");
  for (const auto& path : {root / "missing.kext", root / "macfuse.fs"}) {
    const auto error = load(delegate, path.string());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), Case::kernelExtensionNotFound);
  }
  EXPECT_TRUE(desktop->alerts.empty());
  EXPECT_TRUE(desktop->sources.empty());
}

TEST_F(KernelExtensionTest, ShowsTheNoticeThenRunsTheScript) {
  auto desktop = std::make_shared<FakeDesktop>();
  KernelExtensionCommandDelegate delegate(desktop);
  fs::create_directories(root / "macfuse-bundles/Other.kext");
  EXPECT_EQ(load(delegate, (root / "macfuse-bundles/Other.kext").string()), std::nullopt);
  fs::create_directories(root / "plain/Driver.kext");
  EXPECT_EQ(load(delegate, (root / "plain/Driver.kext/").string()), std::nullopt);

  ASSERT_EQ(desktop->alerts.size(), 2u);
  EXPECT_EQ(desktop->alerts[0].message, "Kernel extension needs loaded");
  EXPECT_EQ(desktop->alerts[0].informativeText, "The application needs to load the macfuse kernel extension.");
  EXPECT_EQ(desktop->alerts[0].style, AlertStyle::critical);
  EXPECT_TRUE(desktop->alerts[0].buttons.empty());
  EXPECT_EQ(desktop->alerts[1].informativeText, "The application needs to load the Driver kernel extension.");
  ASSERT_EQ(desktop->sources.size(), 2u);
  EXPECT_EQ(desktop->sources[0], "do shell script \"kextload '" + (root / "macfuse-bundles/Other.kext").string() +
                                     "'\" with administrator privileges");
}

TEST_F(KernelExtensionTest, ScriptFailuresArriveAsFailedToLoad) {
  auto desktop = std::make_shared<FakeDesktop>();
  KernelExtensionCommandDelegate delegate(desktop);
  fs::create_directories(root / "x.kext");
  desktop->scriptResult = ScriptErrorInfo{{"NSAppleScriptErrorMessage", "User canceled."},
                                          {"NSAppleScriptErrorNumber", "-128"}};
  auto error = load(delegate, (root / "x.kext").string());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorCase(), Case::failedToLoadKernelExtension);
  EXPECT_EQ(error->errorDict(), *desktop->scriptResult);
  EXPECT_EQ(desktop->alerts.size(), 1u);  // the notice only

  desktop->scriptCanBeMade = false;
  error = load(delegate, (root / "x.kext").string());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorDescription(), "failed to load extension `{error: \"failed to create appleScript\"}`");
}

TEST_F(KernelExtensionTest, NotApprovedShowsTheSecondAlertAndOnlyItsSecondButtonOpensTheSettings) {
  for (const int answer : {0, 1}) {
    auto desktop = std::make_shared<FakeDesktop>();
    desktop->alertAnswer = answer;
    desktop->scriptResult = ScriptErrorInfo{{"NSAppleScriptErrorMessage", "kext is not approved to load (code 27)"}};
    KernelExtensionCommandDelegate delegate(desktop);
    fs::create_directories(root / "x.kext");
    const auto error = load(delegate, (root / "x.kext").string());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), Case::failedToLoadKernelExtension);
    ASSERT_TRUE(test::eventually([&] {
      std::lock_guard lock(desktop->mutex);
      return desktop->alerts.size() == 2;
    }));
    test::drainMainQueue();
    std::lock_guard lock(desktop->mutex);
    EXPECT_EQ(desktop->alerts[1].message, "Extension Failed to Load");
    EXPECT_EQ(desktop->alerts[1].informativeText.size(), 112u);
    EXPECT_EQ(desktop->alerts[1].buttons, (std::vector<std::string>{"Cancel", "Open System Settings"}));
    EXPECT_EQ(desktop->alertThreads[0], desktop->alertThreads[1]);  // both on the main queue
    if (answer == 1) {
      EXPECT_EQ(desktop->urls, std::vector<std::string>{"file:///System/Library/PreferencePanes/security.prefPane"});
    } else {
      EXPECT_TRUE(desktop->urls.empty());
    }
  }
}

// The path reaches the shell as exactly one argument, whatever it holds.
TEST_F(KernelExtensionTest, HostilePathsReachTheShellAsOneArgument) {
  const fs::path bin = root / "bin";
  fs::create_directories(bin);
  const fs::path record = root / "kextload.args";
  std::ofstream(bin / "kextload") << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n--\\n' \"$a\"; done > '"
                                  << record.string() << "'\n";
  fs::permissions(bin / "kextload", fs::perms::owner_all);
  const fs::path owned = root / "owned";
  const std::string paths[] = {
      "/tmp/x\"; touch " + owned.string() + "; echo \"",
      "/tmp/a'b $(touch " + owned.string() + ") `touch " + owned.string() + "`",
      "/tmp/back\\slash; touch " + owned.string(),
      "/Library/Extensions/macfuse.kext",
  };
  for (const auto& path : paths) {
    // Undo the AppleScript literal the way AppleScript reads it, then run the
    // command the way `do shell script` does.
    const std::string source = kextLoadScriptSource(path);
    const std::string prefix = "do shell script \"";
    const std::string suffix = "\" with administrator privileges";
    ASSERT_EQ(source.rfind(prefix, 0), 0u);
    std::string command;
    for (std::size_t i = prefix.size(); i < source.size() - suffix.size(); ++i) {
      if (source[i] == '\\') ++i;
      command += source[i];
    }
    EXPECT_EQ(command, kextLoadShellCommand(path));
    GenericCLIUtility("/bin/sh").run({"-c", "PATH='" + bin.string() + "':$PATH; " + command});
    std::ifstream in(record);
    std::stringstream received;
    received << in.rdbuf();
    EXPECT_EQ(received.str(), path + "\n--\n") << source;
    EXPECT_FALSE(fs::exists(owned)) << source;
  }
  EXPECT_EQ(kextLoadScriptSource("/Library/Extensions/macfuse.kext"),
            "do shell script \"kextload '/Library/Extensions/macfuse.kext'\" with administrator privileges");
}

// The macOS backend, through stand-ins for osascript and open that record
// their arguments and answer as a real one would.
class OsascriptBackendTest : public KernelExtensionTest {
 protected:
  void SetUp() override {
    KernelExtensionTest::SetUp();
    tools = root / "tools";
    fs::create_directories(tools);
    std::ofstream(tools / "osascript") << "#!/bin/sh\n"
                                          "printf '%s\\n' \"$@\" >> '" << (root / "osascript.log").string() << "'\n"
                                          "cat '" << (root / "osascript.answer").string() << "' 2>/dev/null\n";
    std::ofstream(tools / "open") << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" << (root / "open.log").string() << "'\n";
    fs::permissions(tools / "osascript", fs::perms::owner_all);
    fs::permissions(tools / "open", fs::perms::owner_all);
  }
  void answer(const std::string& text) { std::ofstream(root / "osascript.answer") << text; }
  std::string log(const char* name) {
    std::ifstream in(root / name);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  fs::path tools;
};

TEST_F(OsascriptBackendTest, AlertsScriptsAndUrlsGoThroughTheTools) {
  auto desktop = osascriptDesktopServices(tools.string());
  answer("button returned:Open System Settings\n");
  EXPECT_EQ(desktop->runModalAlert({"Title \"quoted\"", "Info", AlertStyle::critical, {"Cancel", "Open System Settings"}}), 1);
  EXPECT_NE(log("osascript.log").find("display alert \"Title \\\"quoted\\\"\" message \"Info\" as critical buttons "
                                      "{\"Cancel\", \"Open System Settings\"}"),
            std::string::npos)
      << log("osascript.log");

  auto script = desktop->makeScript("do shell script \"true\"");
  ASSERT_TRUE(script);
  answer("velmora-script-error:-128:User canceled.\n");
  EXPECT_EQ(script->execute(),
            (ScriptErrorInfo{{"NSAppleScriptErrorMessage", "User canceled."}, {"NSAppleScriptErrorNumber", "-128"}}));
  answer("");
  EXPECT_EQ(script->execute(), std::nullopt);

  EXPECT_TRUE(desktop->openURL("file:///System/Library/PreferencePanes/security.prefPane"));
  EXPECT_TRUE(test::eventually([&] { return log("open.log") == "file:///System/Library/PreferencePanes/security.prefPane\n"; }));

  auto missing = osascriptDesktopServices((root / "nowhere").string());
  EXPECT_EQ(missing->runModalAlert({"a", "b", AlertStyle::warning, {}}), -1);
  EXPECT_FALSE(missing->openURL("file:///x"));
  EXPECT_TRUE(missing->makeScript("x")->execute().has_value());
}

TEST_F(OsascriptBackendTest, CancelledPromptReachesTheCallbackAsAFailure) {
  KernelExtensionCommandDelegate delegate(osascriptDesktopServices(tools.string()));
  fs::create_directories(root / "macfuse.kext");
  answer("velmora-script-error:-128:User canceled.\n");
  const auto error = load(delegate, (root / "macfuse.kext").string());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorCase(), Case::failedToLoadKernelExtension);
  EXPECT_EQ(error->errorDict().at("NSAppleScriptErrorNumber"), "-128");
}

}  // namespace
}  // namespace velmora
