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
#include <tuple>

#include <gtest/gtest.h>
#include <sys/stat.h>
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

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class KernelExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velmora-kext-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
  }
  void TearDown() override { fs::remove_all(root); }

  // A property list written by Python's plistlib, in XML or binary form.
  std::string plist(const std::string& pythonValue, bool binary = false) {
    const fs::path file = root / "written.plist";
    GenericCLIUtility("/usr/bin/python3")
        .run({"-c", "import functools, plistlib, sys\nplistlib.dump(" + pythonValue +
                        ", open(sys.argv[1], 'wb'), fmt=plistlib." + (binary ? "FMT_BINARY" : "FMT_XML") + ")",
              file.string()});
    return readFile(file);
  }

  // A bundle whose Info.plist holds exactly `bytes`.
  fs::path bundle(const std::string& name, const std::string& bytes) {
    fs::create_directories(root / name / "Contents");
    std::ofstream(root / name / "Contents/Info.plist", std::ios::binary) << bytes;
    return root / name;
  }

  static void expectInfoError(const fs::path& path, Case expected, const std::string& text) {
    test::expectError<KernelExtensionError>([&] { KernelExtensionInfoFactory::kernelExtensionInfo(path.string()); },
                                            expected, text);
  }

  // Loads and waits for the load's end as the application sees it.
  std::optional<KernelExtensionError> load(KernelExtensionCommandDelegate& delegate, const std::string& path) {
    std::promise<std::optional<KernelExtensionError>> outcome;
    std::promise<void> finished;
    std::atomic<int> calls = 0;
    std::atomic<int> finishedCalls = 0;
    std::atomic<bool> closureReturned = false;
    delegate.loadKernelExtension(
        path,
        [&](std::optional<KernelExtensionError> error) {
          ++calls;
          outcome.set_value(std::move(error));
          closureReturned = true;
        },
        [&] {
          EXPECT_TRUE(closureReturned);
          if (++finishedCalls == 1) finished.set_value();
        });
    finished.get_future().wait();
    test::drainMainQueue();  // a second call would show by now
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(finishedCalls, 1);
    return outcome.get_future().get();
  }

  fs::path root;
};

const char* const kMacFuseInfo =
    "{'CFBundleIdentifier': 'io.macfuse.filesystems.macfuse', 'CFBundleName': 'macFUSE',"
    " 'CFBundleShortVersionString': '2.1', 'CFBundleVersion': '2100', 'CFBundleGetInfoString': 'Grüße',"
    " 'IOKitPersonalities': {'macfuse': {'IOClass': 'macfuse', 'IOProviderClass': 'IOResources',"
    " 'Flags': [1, 2.5, True, b'\\x00\\x01', 'macfuse']}}, 'OSBundleLibraries': ['macfuse', 'macfuse']}";

TEST_F(KernelExtensionTest, ReadsXmlAndBinaryInfoPlistsAlike) {
  for (const bool binary : {false, true}) {
    const auto path = bundle(binary ? "binary.kext" : "xml.kext", plist(kMacFuseInfo, binary));
    EXPECT_EQ(KernelExtensionInfoFactory::kernelExtensionInfo(path.string()),
              (KernelExtensionInfo{"io.macfuse.filesystems.macfuse", path.string(), "macFUSE", "2.1"}));
  }
  const auto path = bundle("macfuse.fs", plist("{'CFBundleIdentifier': 'io.macfuse', 'CFBundleVersion': '2100'}"));
  EXPECT_EQ(KernelExtensionInfoFactory::kernelExtensionInfo(path.string()),
            (KernelExtensionInfo{"io.macfuse", path.string(), "macfuse", "2100"}));
}

TEST_F(KernelExtensionTest, ReportsEachMissingOrUnreadablePiece) {
  const std::tuple<const char*, std::string, Case, const char*> rows[] = {
      {"numeric-id.kext", "{'CFBundleIdentifier': 42, 'CFBundleVersion': '1'}", Case::bundleIDNotFound,
       "bundle id not found"},
      {"nothing.kext", "{'CFBundleName': 'x'}", Case::versionPlistNotFound, "version.plist not found"},
      {"no-id.kext", "{'CFBundleVersion': '1'}", Case::bundleIDNotFound, "bundle id not found"},
      {"array.kext", "['not', 'a', 'dictionary']", Case::unableToParsePlist, "unable to parse plist"},
  };
  for (const auto& [name, value, expected, text] : rows) expectInfoError(bundle(name, plist(value)), expected, text);
  expectInfoError(root / "missing.kext", Case::kernelExtensionNotFound, "kernel extension not found");
  // No Info.plist, garbage, and read errors: a directory, and a FIFO that
  // would block a plain open() for ever.
  fs::create_directories(root / "no-plist.kext");
  bundle("garbage.kext", "not a plist");
  fs::create_directories(root / "directory.kext/Contents/Info.plist");
  fs::create_directories(root / "fifo.kext/Contents");
  ASSERT_EQ(::mkfifo((root / "fifo.kext/Contents/Info.plist").c_str(), 0600), 0);
  for (const char* name : {"no-plist.kext", "garbage.kext", "directory.kext", "fifo.kext"}) {
    expectInfoError(root / name, Case::unableToParsePlist, "unable to parse plist");
  }
}

// What libplist asserts on, cuts, overflows its stack with or expands without
// end is refused as unparsable; the limits themselves still pass.
TEST_F(KernelExtensionTest, RefusesPlistsThatCannotBeReadWholeOrSafely) {
  const std::string ids = "'CFBundleIdentifier': 'id', 'CFBundleVersion': '1'";
  auto nested = [&](int arrays) {  // in a dictionary: arrays + 1 containers deep
    return plist("{" + ids + ", 'x': functools.reduce(lambda inner, _: [inner], range(" + std::to_string(arrays - 1) +
                     "), [])}",
                 true);
  };
  auto xml = [](const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleIdentifier</key><string>id</string><key>CFBundleVersion</key><string>1</string>\n" +
           body + "\n</dict>\n</plist>\n";
  };
  auto xmlArrays = [&](int arrays) {  // plist, dict and these arrays: arrays + 2 elements deep
    std::string body = "<key>x</key>";
    for (int i = 0; i < arrays; ++i) body += "<array>";
    for (int i = 0; i < arrays; ++i) body += "</array>";
    return xml(body);
  };
  auto xmlOfSize = [&](std::size_t size) {
    std::string document = xml("<!--  -->");
    return document.insert(document.find("-->"), size - document.size(), ' ');
  };
  const std::string fuzzerFind =
      readFile(fs::path(VELMORA_TESTS_DIR) / "../fuzz/corpus/property_list_fuzz/crash-utf16-nul-in-string.plist");
  ASSERT_FALSE(fuzzerFind.empty());

  const std::tuple<const char*, std::string, bool> rows[] = {
      {"the fuzzer's UTF-16 value holding U+0000", fuzzerFind, false},
      {"binary ASCII value a\\0b", plist("{'CFBundleIdentifier': 'a\\0b', 'CFBundleVersion': '1'}", true), false},
      {"binary UTF-16 key holding U+0000", plist("{'CFBündle\\0Identifier': 'id', 'CFBundleVersion': '1'}", true),
       false},
      {"XML key holding NUL", xml("<key>x" + std::string(1, '\0') + "y</key><string>b</string>"), false},
      {"XML 256 elements deep", xmlArrays(254), true},
      {"XML 257 elements deep", xmlArrays(255), false},
      {"XML 200,000 elements deep", xmlArrays(200000), false},
      {"binary 256 containers deep", nested(255), true},
      {"binary 257 containers deep", nested(256), false},
      {"binary references expanding to 2^40 nodes",
       plist("{" + ids + ", 'x': functools.reduce(lambda inner, _: [inner, inner], range(40), [])}", true), false},
      {"4 MiB", xmlOfSize(4 * 1024 * 1024), true},
      {"4 MiB and a byte", xmlOfSize(4 * 1024 * 1024 + 1), false},
  };
  for (const auto& [name, bytes, accepted] : rows) {
    SCOPED_TRACE(name);
    const auto path = bundle("case.kext", bytes);
    if (accepted) {
      EXPECT_EQ(KernelExtensionInfoFactory::kernelExtensionInfo(path.string()).extensionID, "id");
    } else {
      expectInfoError(path, Case::unableToParsePlist, "unable to parse plist");
    }
  }
}

TEST_F(KernelExtensionTest, ExpectedNameIsTheLastNonEmptyPiece) {
  const KernelExtensionCommandDelegate delegate(std::make_shared<FakeDesktop>());
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"io.macfuse.filesystems.macfuse", "macfuse"},
      {"io.macfuse.filesystems.macfuse.21", "21"},
      {"trailing.dot.", "dot"},
      {"...", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [identifier, expected] : rows) EXPECT_EQ(delegate.expectedExtensionName(identifier), expected) << identifier;
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

// The load's end comes after the not-approved alert has been answered and
// its pane opened, so that a caller waiting for it (a command-line tool
// about to exit) never cuts the flow short.
TEST_F(KernelExtensionTest, NotApprovedAlertIsPartOfTheLoadAndOnlyItsSecondButtonOpensTheSettings) {
  for (const int answer : {0, 1}) {
    auto desktop = std::make_shared<FakeDesktop>();
    desktop->alertAnswer = answer;
    desktop->scriptResult = ScriptErrorInfo{{"NSAppleScriptErrorMessage", "kext is not approved to load (code 27)"}};
    KernelExtensionCommandDelegate delegate(desktop);
    fs::create_directories(root / "x.kext");
    const auto error = load(delegate, (root / "x.kext").string());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), Case::failedToLoadKernelExtension);
    std::lock_guard lock(desktop->mutex);
    ASSERT_EQ(desktop->alerts.size(), 2u);
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

// A callback that throws is reported, and the load still ends, on every path.
TEST_F(KernelExtensionTest, ThrowingCallbacksAreReportedAndTheLoadStillEnds) {
  test::WarningCapture warnings;
  fs::create_directories(root / "x.kext");
  const std::optional<ScriptErrorInfo> results[] = {
      std::nullopt, ScriptErrorInfo{{"NSAppleScriptErrorMessage", "not approved to load"}}};
  for (const auto& result : results) {
    for (const auto& path : {root / "x.kext", root / "missing.kext"}) {
      auto desktop = std::make_shared<FakeDesktop>();
      desktop->scriptResult = result;
      KernelExtensionCommandDelegate delegate(desktop);
      std::promise<void> finished;
      delegate.loadKernelExtension(
          path.string(), [](std::optional<KernelExtensionError>) { throw std::runtime_error("closure"); },
          [&finished] { finished.set_value(); });
      EXPECT_EQ(finished.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }
  }
  test::drainMainQueue();
  EXPECT_EQ(warnings.lines(), std::vector<std::string>(4, "Warning: A kernel extension callback threw: closure"));
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
    EXPECT_EQ(readFile(record), path + "\n--\n") << source;
    EXPECT_FALSE(fs::exists(owned)) << source;
  }
}

// The macOS backend, through stand-ins for osascript and open that record
// their arguments and answer as a real one would, or misbehave as told.
class OsascriptBackendTest : public KernelExtensionTest {
 protected:
  void SetUp() override {
    KernelExtensionTest::SetUp();
    tools = root / "tools";
    fs::create_directories(tools);
    std::ofstream(tools / "osascript") << "#!/bin/sh\n"
                                          "printf '%s\\n' \"$@\" >> '" << (root / "osascript.log").string() << "'\n"
                                          "cat '" << (root / "osascript.answer").string() << "' 2>/dev/null\n"
                                          "[ -f '" << (root / "osascript.then").string() << "' ] && . '"
                                       << (root / "osascript.then").string() << "'\n"
                                          "exit 0\n";
    std::ofstream(tools / "open") << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" << (root / "open.log").string() << "'\n";
    fs::permissions(tools / "osascript", fs::perms::owner_all);
    fs::permissions(tools / "open", fs::perms::owner_all);
  }
  void answer(const std::string& text, const std::string& then = "") {
    std::ofstream(root / "osascript.answer") << text;
    std::ofstream(root / "osascript.then") << then;
  }
  fs::path tools;
};

TEST_F(OsascriptBackendTest, AlertsScriptsAndUrlsGoThroughTheTools) {
  auto desktop = osascriptDesktopServices(tools.string());
  answer("button returned:Open System Settings\n");
  EXPECT_EQ(desktop->runModalAlert({"Title \"quoted\"", "Info", AlertStyle::critical, {"Cancel", "Open System Settings"}}), 1);
  EXPECT_NE(readFile(root / "osascript.log")
                .find("display alert \"Title \\\"quoted\\\"\" message \"Info\" as critical buttons "
                      "{\"Cancel\", \"Open System Settings\"}"),
            std::string::npos)
      << readFile(root / "osascript.log");

  EXPECT_TRUE(desktop->openURL("file:///System/Library/PreferencePanes/security.prefPane"));
  EXPECT_TRUE(test::eventually(
      [&] { return readFile(root / "open.log") == "file:///System/Library/PreferencePanes/security.prefPane\n"; }));

  auto missing = osascriptDesktopServices((root / "nowhere").string());
  EXPECT_EQ(missing->runModalAlert({"a", "b", AlertStyle::warning, {}}), -1);
  EXPECT_FALSE(missing->openURL("file:///x"));
  EXPECT_TRUE(missing->makeScript("x")->execute().has_value());
}

// However osascript ends, only a clean exit without an error report is a
// success; an alert whose osascript failed has no answer.
TEST_F(OsascriptBackendTest, ScriptsSucceedOnlyWhenOsascriptDoes) {
  auto desktop = osascriptDesktopServices(tools.string());
  auto script = desktop->makeScript("do shell script \"true\"");
  ASSERT_TRUE(script);
  struct Row {
    const char* answer;
    const char* then;
    std::optional<ScriptErrorInfo> expected;
  };
  const Row rows[] = {
      {"", "", std::nullopt},
      {"loaded\n", "", std::nullopt},
      {"velmora-script-error:-128:User canceled.\n", "",
       ScriptErrorInfo{{"NSAppleScriptErrorMessage", "User canceled."}, {"NSAppleScriptErrorNumber", "-128"}}},
      {"", "exit 1", ScriptErrorInfo{{"NSAppleScriptErrorMessage", "osascript exited with status 1"}}},
      {"loaded\n", "kill -KILL $$", ScriptErrorInfo{{"NSAppleScriptErrorMessage", "osascript was ended by signal 9"}}},
      {"", "head -c 100000 /dev/zero",
       ScriptErrorInfo{{"NSAppleScriptErrorMessage", "osascript wrote more than 65536 bytes"}}},
  };
  for (const auto& row : rows) {
    answer(row.answer, row.then);
    EXPECT_EQ(script->execute(), row.expected) << row.answer << " then " << row.then;
  }
  answer("button returned:Cancel\n", "exit 1");
  EXPECT_EQ(desktop->runModalAlert({"a", "b", AlertStyle::warning, {"Cancel", "OK"}}), -1);
}

}  // namespace
}  // namespace velmora
