// Kernel extension records and loading, with a desktop double (alerts,
// scripts, URLs) and with the osascript backend driven through stand-in
// executables.
#include "velmora/kext/kernel_extension.hpp"

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
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

// Logs what the flows ask of the desktop, in order ("alert MESSAGE
// [BUTTONS]: TEXT", "script SOURCE", "url URL"), and answers as told.
class FakeDesktop : public DesktopServices {
 public:
  int runModalAlert(const DesktopAlert& alert) override {
    std::string buttons;
    for (const auto& button : alert.buttons) buttons += (buttons.empty() ? "" : ",") + button;
    record("alert " + alert.message + " [" + buttons + "]: " + alert.informativeText);
    std::lock_guard lock(mutex);
    alertThreads.insert(std::this_thread::get_id());
    return alertAnswer;
  }
  bool openURL(const std::string& url) override {
    record("url " + url);
    return true;
  }
  std::unique_ptr<PrivilegedScript> makeScript(const std::string& source) override {
    record("script " + source);
    struct Script : PrivilegedScript {
      std::optional<ScriptErrorInfo> result;
      std::optional<ScriptErrorInfo> execute() override { return result; }
    };
    if (!scriptCanBeMade) return nullptr;
    auto script = std::make_unique<Script>();
    script->result = scriptResult;
    return script;
  }
  void record(const std::string& line) {
    std::lock_guard lock(mutex);
    log.push_back(line);
  }

  std::mutex mutex;
  std::vector<std::string> log;
  std::set<std::thread::id> alertThreads;
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

  // What describing the bundle gives: "ID NAME VERSION", or the error's text.
  static std::string describe(const fs::path& bundle) {
    try {
      const auto info = KernelExtensionInfoFactory::kernelExtensionInfo(bundle.string());
      EXPECT_EQ(info.extensionFilePath, bundle.string());
      return info.extensionID + " " + info.name + " " + info.versionString;
    } catch (const KernelExtensionError& error) {
      return error.what();
    }
  }

  // Loads, with a callback that throws once it has the outcome, and waits
  // for the load's end as the application sees it.
  std::optional<KernelExtensionError> load(KernelExtensionCommandDelegate& delegate, const std::string& path) {
    std::promise<std::optional<KernelExtensionError>> outcome;
    std::promise<void> finished;
    std::atomic<int> calls = 0, finishedCalls = 0;
    std::atomic<bool> closureEnded = false;
    delegate.loadKernelExtension(
        path,
        [&](std::optional<KernelExtensionError> error) {
          struct Ended {
            std::atomic<bool>& flag;
            ~Ended() { flag = true; }
          } ended{closureEnded};
          ++calls;
          outcome.set_value(std::move(error));
          throw std::runtime_error("closure");
        },
        [&] {
          EXPECT_TRUE(closureEnded);
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

// XML and binary Info.plists alike; each missing or unreadable piece with its
// error. What libplist asserts on, cuts, overflows its stack with or expands
// without end is refused as unparsable; the limits themselves still pass.
TEST_F(KernelExtensionTest, DescribesBundlesAndRefusesPlistsThatCannotBeReadWholeOrSafely) {
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

  const std::string unparsable = "unable to parse plist";
  const std::tuple<const char*, std::string, std::string> rows[] = {
      {"XML", plist(kMacFuseInfo), "io.macfuse.filesystems.macfuse macFUSE 2.1"},
      {"binary", plist(kMacFuseInfo, true), "io.macfuse.filesystems.macfuse macFUSE 2.1"},
      {"no name or short version", plist("{'CFBundleIdentifier': 'io.macfuse', 'CFBundleVersion': '2100'}"),
       "io.macfuse case 2100"},
      {"a numeric id", plist("{'CFBundleIdentifier': 42, 'CFBundleVersion': '1'}"), "bundle id not found"},
      {"no id", plist("{'CFBundleVersion': '1'}"), "bundle id not found"},
      {"no version", plist("{'CFBundleName': 'x'}"), "version.plist not found"},
      {"an array", plist("['not', 'a', 'dictionary']"), unparsable},
      {"garbage", "not a plist", unparsable},
      {"the fuzzer's UTF-16 value holding U+0000", fuzzerFind, unparsable},
      {"binary ASCII value a\\0b", plist("{'CFBundleIdentifier': 'a\\0b', 'CFBundleVersion': '1'}", true), unparsable},
      {"binary UTF-16 key holding U+0000", plist("{'CFBündle\\0Identifier': 'id', 'CFBundleVersion': '1'}", true),
       unparsable},
      {"XML key holding NUL", xml("<key>x" + std::string(1, '\0') + "y</key><string>b</string>"), unparsable},
      {"XML 256 elements deep", xmlArrays(254), "id case 1"},
      {"XML 257 elements deep", xmlArrays(255), unparsable},
      {"XML 200,000 elements deep", xmlArrays(200000), unparsable},
      {"binary 256 containers deep", nested(255), "id case 1"},
      {"binary 257 containers deep", nested(256), unparsable},
      {"binary references expanding to 2^40 nodes",
       plist("{" + ids + ", 'x': functools.reduce(lambda inner, _: [inner, inner], range(40), [])}", true), unparsable},
      {"4 MiB", xmlOfSize(4 * 1024 * 1024), "id case 1"},
      {"4 MiB and a byte", xmlOfSize(4 * 1024 * 1024 + 1), unparsable},
  };
  for (const auto& [name, bytes, expected] : rows) EXPECT_EQ(describe(bundle("case.kext", bytes)), expected) << name;

  // No bundle, no Info.plist, and read errors: a directory, and a FIFO that
  // would block a plain open() for ever.
  fs::create_directories(root / "no-plist.kext");
  fs::create_directories(root / "directory.kext/Contents/Info.plist");
  fs::create_directories(root / "fifo.kext/Contents");
  ASSERT_EQ(::mkfifo((root / "fifo.kext/Contents/Info.plist").c_str(), 0600), 0);
  EXPECT_EQ(describe(root / "missing.kext"), "kernel extension not found");
  for (const char* name : {"no-plist.kext", "directory.kext", "fifo.kext"}) EXPECT_EQ(describe(root / name), unparsable);
}

TEST(KernelExtensionName, IsTheLastNonEmptyPieceOfTheIdentifier) {
  const KernelExtensionCommandDelegate delegate(std::make_shared<FakeDesktop>());
  EXPECT_EQ(delegate.expectedExtensionName("io.macfuse.filesystems.macfuse.21"), "21");
  EXPECT_EQ(delegate.expectedExtensionName("trailing.dot."), "dot");
  EXPECT_EQ(delegate.expectedExtensionName("..."), std::nullopt);
  EXPECT_EQ(delegate.expectedExtensionName(""), std::nullopt);
}

// Each load ends once, after its callback, with what the desktop was asked
// in order; the alerts all on one thread, the main queue's. The load's end
// comes after the not-approved alert has been answered and its pane opened,
// so that a caller waiting for it never cuts the flow short. A callback that
// throws is reported and harms nothing.
TEST_F(KernelExtensionTest, LoadShowsTheNoticeRunsTheScriptAndReportsItsFailure) {
  test::WarningCapture warnings;
  for (const char* folder : {"macfuse-bundles/Other.kext", "plain/Driver.kext", "macfuse.fs", "x.kext"}) {
    fs::create_directories(root / folder);
  }
  const auto notice = [](const std::string& name) {
    return "alert Kernel extension needs loaded []: The application needs to load the " + name + " kernel extension.";
  };
  const auto script = [&](const std::string& path) {
    return "script do shell script \"kextload '" + (root / path).string() + "'\" with administrator privileges";
  };
  const std::string notApproved =
      "alert Extension Failed to Load [Cancel,Open System Settings]: Extension not approved to load. Please approve "
      "using System Preferences. \n\n(This may require a computer restart)";
  const ScriptErrorInfo canceled = {{"NSAppleScriptErrorMessage", "User canceled."}, {"NSAppleScriptErrorNumber", "-128"}};
  const ScriptErrorInfo refused = {{"NSAppleScriptErrorMessage", "kext is not approved to load (code 27)"}};
  const struct {
    const char* name;
    std::string path;
    std::optional<ScriptErrorInfo> scriptResult;
    bool scriptCanBeMade;
    int alertAnswer;
    std::string error;  // empty: success
    std::vector<std::string> log;
  } cases[] = {
      {"a missing path", "missing.kext", {}, true, 0, "kernel extension not found", {}},
      {"not a .kext", "macfuse.fs", {}, true, 0, "kernel extension not found", {}},
      {"a macFUSE bundle", "macfuse-bundles/Other.kext", {}, true, 0, "",
       {notice("macfuse"), script("macfuse-bundles/Other.kext")}},
      {"another bundle, with a trailing separator", "plain/Driver.kext/", {}, true, 0, "",
       {notice("Driver"), script("plain/Driver.kext/")}},
      {"the script fails", "x.kext", canceled, true, 0,
       "failed to load extension `{NSAppleScriptErrorMessage: \"User canceled.\", NSAppleScriptErrorNumber: \"-128\"}`",
       {notice("x"), script("x.kext")}},
      {"no script can be made", "x.kext", {}, false, 0, "failed to load extension `{error: \"failed to create appleScript\"}`",
       {notice("x"), script("x.kext")}},
      {"not approved, cancelled", "x.kext", refused, true, 0,
       "failed to load extension `{NSAppleScriptErrorMessage: \"kext is not approved to load (code 27)\"}`",
       {notice("x"), script("x.kext"), notApproved}},
      {"not approved, settings opened", "x.kext", refused, true, 1,
       "failed to load extension `{NSAppleScriptErrorMessage: \"kext is not approved to load (code 27)\"}`",
       {notice("x"), script("x.kext"), notApproved, "url file:///System/Library/PreferencePanes/security.prefPane"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto desktop = std::make_shared<FakeDesktop>();
    desktop->scriptResult = c.scriptResult;
    desktop->scriptCanBeMade = c.scriptCanBeMade;
    desktop->alertAnswer = c.alertAnswer;
    KernelExtensionCommandDelegate delegate(desktop);
    const auto error = load(delegate, (root / c.path).string());
    EXPECT_EQ(error ? error->errorDescription() : "", c.error);
    std::lock_guard lock(desktop->mutex);
    EXPECT_EQ(desktop->log, c.log);
    EXPECT_LE(desktop->alertThreads.size(), 1u);
  }
  test::drainMainQueue();
  EXPECT_EQ(warnings.lines(),
            std::vector<std::string>(std::size(cases), "Warning: A kernel extension callback threw: closure"));
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

// The macOS backend, through stand-ins for osascript and open that log their
// arguments; osascript then runs the shell lines it was told. Only a clean
// exit without an error report is a success; an alert whose osascript failed
// has no answer, and a missing tool is a failure.
TEST_F(KernelExtensionTest, OsascriptBackendSucceedsOnlyWhenItsToolsDo) {
  const fs::path tools = root / "tools";
  fs::create_directories(tools);
  for (const char* tool : {"osascript", "open"}) {
    std::ofstream(tools / tool) << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" << (root / tool).string() << ".log'\n"
                                << ". '" << (root / tool).string() << ".then'\nexit 0\n";
    fs::permissions(tools / tool, fs::perms::owner_all);
  }
  const auto osascriptDoes = [&](const std::string& lines) { std::ofstream(root / "osascript.then") << lines; };
  std::ofstream(root / "open.then").close();
  auto desktop = osascriptDesktopServices(tools.string());

  osascriptDoes("echo 'button returned:Open System Settings'");
  EXPECT_EQ(desktop->runModalAlert({"Title \"quoted\"", "Info", AlertStyle::critical, {"Cancel", "Open System Settings"}}), 1);
  EXPECT_NE(readFile(root / "osascript.log")
                .find("display alert \"Title \\\"quoted\\\"\" message \"Info\" as critical buttons "
                      "{\"Cancel\", \"Open System Settings\"}"),
            std::string::npos)
      << readFile(root / "osascript.log");
  osascriptDoes("echo 'button returned:Cancel'; exit 1");
  EXPECT_EQ(desktop->runModalAlert({"a", "b", AlertStyle::warning, {"Cancel", "OK"}}), -1);

  const auto script = desktop->makeScript("do shell script \"true\"");
  ASSERT_TRUE(script);
  const std::pair<const char*, std::optional<ScriptErrorInfo>> rows[] = {
      {"", std::nullopt},
      {"echo loaded", std::nullopt},
      {"echo 'velmora-script-error:-128:User canceled.'",
       ScriptErrorInfo{{"NSAppleScriptErrorMessage", "User canceled."}, {"NSAppleScriptErrorNumber", "-128"}}},
      {"exit 1", ScriptErrorInfo{{"NSAppleScriptErrorMessage", "osascript exited with status 1"}}},
      {"echo loaded; kill -KILL $$", ScriptErrorInfo{{"NSAppleScriptErrorMessage", "osascript was ended by signal 9"}}},
      {"head -c 100000 /dev/zero", ScriptErrorInfo{{"NSAppleScriptErrorMessage", "osascript wrote more than 65536 bytes"}}},
  };
  for (const auto& [lines, expected] : rows) {
    osascriptDoes(lines);
    EXPECT_EQ(script->execute(), expected) << lines;
  }

  EXPECT_TRUE(desktop->openURL("file:///System/Library/PreferencePanes/security.prefPane"));
  EXPECT_TRUE(test::eventually(
      [&] { return readFile(root / "open.log") == "file:///System/Library/PreferencePanes/security.prefPane\n"; }));
  auto missing = osascriptDesktopServices((root / "nowhere").string());
  EXPECT_EQ(missing->runModalAlert({"a", "b", AlertStyle::warning, {}}), -1);
  EXPECT_FALSE(missing->openURL("file:///x"));
  EXPECT_TRUE(missing->makeScript("x")->execute().has_value());
}

}  // namespace
}  // namespace velmora
