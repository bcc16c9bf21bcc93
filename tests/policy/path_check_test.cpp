// A connect's paths against the path lists: on text first, then as opened files, with every path the
// checks ask the system about recorded.
#include "policy/path_check.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

#include "common/utf16.hpp"
#include "process/windows_system_queries.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace orvanta::policy {
namespace {

namespace fs = std::filesystem;

// Every call that takes a path, as "<call> <path>", in order.
using Calls = std::vector<std::u16string>;

// The real system and file probe, each call that takes a path recorded, with the service's executable
// and PATH where the test wants them.
class Recording final : public WindowsSystemQueries, public FileProbe {
 public:
  Result<std::u16string> own_executable() override { return executable; }
  std::optional<std::u16string> path_variable() override { return path_entries; }
  Result<std::u16string> full_path_name(std::u16string_view path) override {
    return record(u"full ", path, WindowsSystemQueries::full_path_name(path));
  }
  bool exists(std::u16string_view path) override {
    return record(u"exists ", path, WindowsSystemQueries::exists(path));
  }
  Result<OpenedPath> open(std::u16string_view path, bool exclusive) override {
    return record(u"open ", path, probe_.open(path, exclusive));
  }
  Result<std::u16string> long_form(std::u16string_view path) override {
    return record(u"long ", path, probe_.long_form(path));
  }
  Result<std::u16string> short_form(std::u16string_view path) override {
    return record(u"short ", path, probe_.short_form(path));
  }
  // Wine makes no links (CreateSymbolicLinkW succeeds and makes nothing): those named here are taken
  // for links, dangling since nothing is there.
  Result<bool> is_link(std::u16string_view path) override {
    return record(u"link ", path,
                  links.contains(std::u16string(path)) ? Result<bool>(true) : probe_.is_link(path));
  }
  std::u16string executable;
  std::set<std::u16string> links;
  std::u16string path_entries;
  Calls calls;

 private:
  template <class T>
  T record(std::u16string_view call, std::u16string_view path, T answer) {
    calls.push_back(std::u16string(call) + std::u16string(path));
    return answer;
  }
  WindowsFileProbe probe_;
};

// root\OpenVPN\bin\openvpn.exe (listed), root\elsewhere\openvpn.exe (a copy, not listed),
// root\cfg\client.ovpn, root\cfg\sub\auth.txt, root\cfg-evil\x.ovpn, root\outside.ovpn,
// root\logs\existing.log, root\svc\helper.exe (the service), root\found\a.ovpn (on PATH).
class PathChecks : public testing::Test {
 protected:
  PathChecks() {
    for (const char* folder : {"OpenVPN\\bin", "elsewhere", "cfg\\sub", "cfg-evil", "logs", "svc", "found"}) {
      fs::create_directories(root_ / folder);
    }
    for (const char* file :
         {"OpenVPN\\bin\\openvpn.exe", "elsewhere\\openvpn.exe", "cfg\\client.ovpn", "cfg\\sub\\auth.txt",
          "cfg-evil\\x.ovpn", "outside.ovpn", "logs\\existing.log", "svc\\helper.exe", "found\\a.ovpn"}) {
      EXPECT_TRUE(test::write_file(root_ / file, "x"));
    }
    recording_.executable = utf8_to_utf16(at("svc\\helper.exe"));
    recording_.path_entries = u"\\\\127.0.0.2\\share;" + utf8_to_utf16(at("found"));
  }

  [[nodiscard]] std::string at(std::string_view relative) const {
    return test::utf8(root_.wstring()) + "\\" + std::string(relative);
  }
  [[nodiscard]] PathList listed(std::initializer_list<std::string_view> relative) const {
    PathList list{PathList::State::Listed, {}, {}};
    for (const std::string_view path : relative) {
      list.entries.push_back(utf8_to_utf16(at(path)));
    }
    return list;
  }
  // The usual lock-down: the program, the config folder and the log folder.
  [[nodiscard]] PathPolicy lock_down() const {
    return {listed({"OpenVPN\\bin\\openvpn.exe"}), listed({"cfg"}), listed({"logs"})};
  }
  [[nodiscard]] Connect request(std::string_view openvpn = "OpenVPN\\bin\\openvpn.exe",
                                std::string_view config = "cfg\\client.ovpn",
                                std::string_view auth = "cfg\\sub\\auth.txt",
                                std::string_view log = "logs\\new.log") const {
    return Connect{at(openvpn), at(config), at(auth), at(log)};
  }
  std::expected<AllowedLaunch, PathRefusal> check(const Connect& connect, const PathPolicy& policy) {
    calls_.clear();
    return check_connect_paths(connect, policy, recording_, recording_);
  }
  static std::string reason(const std::expected<AllowedLaunch, PathRefusal>& checked) {
    return checked ? std::string() : checked.error().reason;
  }

  test::ScratchDir scratch_;
  fs::path root_ = scratch_.path();
  Recording recording_;
  Calls& calls_ = recording_.calls;
};

TEST_F(PathChecks, AListedProgramIsLaunchedHoweverItIsWritten) {
  // Other spellings (case, /, ..) are launched against the service itself; found by the search here.
  const std::string_view ways[] = {"openvpn\\BIN\\OpenVPN.EXE", "OpenVPN\\bin\\openvpn"};
  for (const std::string_view way : ways) {
    SCOPED_TRACE(way);
    const auto allowed = check(request(way), lock_down());
    ASSERT_TRUE(allowed.has_value()) << allowed.error().reason;
    ASSERT_TRUE(allowed->program.has_value());
    EXPECT_EQ(allowed->application, allowed->program->final_path);
    EXPECT_TRUE(allowed->application.starts_with(u"\\\\?\\")) << "launched by its final path";
    // Held without write or delete sharing until the launch.
    EXPECT_EQ(CreateFileW(to_wide(allowed->application).c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
  }
}

// The administrator lists long names; a client may send the 8.3 names of the same files. Wine makes
// short names for every long one, so a system without them fails here rather than skipping.
TEST_F(PathChecks, ShortNamesOfListedEntriesAreAccepted) {
  const auto short_name = [&](std::string_view relative) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetShortPathNameW(to_wide(at(relative)).c_str(), buffer, MAX_PATH);
    return test::utf8(std::wstring(buffer, length));
  };
  const std::string program = short_name("OpenVPN\\bin\\openvpn.exe");
  ASSERT_NE(program, at("OpenVPN\\bin\\openvpn.exe")) << "no 8.3 names on this system";
  const Connect connect{program, short_name("cfg\\client.ovpn"), short_name("cfg\\sub\\auth.txt"),
                        short_name("logs") + "\\new.log"};
  const auto allowed = check(connect, lock_down());
  EXPECT_TRUE(allowed.has_value()) << allowed.error().reason << "\n" << testing::PrintToString(calls_);
  // Only the administrator's entries are expanded, never the client's text.
  EXPECT_TRUE(std::ranges::none_of(calls_, [](const std::u16string& call) {
    return (call.starts_with(u"long ") || call.starts_with(u"short ")) && call.contains(u'~');
  })) << testing::PrintToString(calls_);
}

struct RuleCase {
  const char* what;
  Connect request;
  PathPolicy policy;
  std::string reason;  // empty: allowed
  bool opens_nothing = false;
};

TEST_F(PathChecks, EachFieldIsHeldToItsRule) {
  ASSERT_TRUE(CreateHardLinkW(to_wide(at("logs\\auth.log")).c_str(),
                              to_wide(at("cfg\\sub\\auth.txt")).c_str(), nullptr))
      << GetLastError();
  const auto with_logs = [&](std::initializer_list<std::string_view> folders) {
    PathPolicy policy = lock_down();
    policy.logs = listed(folders);
    return policy;
  };
  const std::string not_a_program = "openvpn is not one of the programs in OpenVpnPrograms";
  const std::string config_outside = "config is not a file in a folder in ConfigDirectories";
  const std::string incomplete = "the policy is incomplete: ";
  const std::string all_three =
      " (a lock-down needs all three of OpenVpnPrograms, ConfigDirectories and LogDirectories)";
  const PathList unusable{PathList::State::Unusable, {}, "it is not a REG_MULTI_SZ"};
  const auto ok = lock_down();
  const auto config = [&](std::string_view path) { return request("OpenVPN\\bin\\openvpn.exe", path); };
  const auto log = [&](std::string_view path) {
    return request("OpenVPN\\bin\\openvpn.exe", "cfg\\client.ovpn", "cfg\\sub\\auth.txt", path);
  };
  Connect verbatim = request();
  verbatim.config = "\\\\?\\" + at("cfg\\sub\\..\\client.ovpn");
  const std::vector<RuleCase> cases = {
      {"the usual lock-down", request(), ok, ""},
      {"only the folder lists",
       request("elsewhere\\openvpn.exe"),
       {{}, ok.configs, ok.logs},
       incomplete + "OpenVpnPrograms is not set" + all_three,
       true},
      {"a listed program that does not exist",
       request(),
       {listed({"OpenVPN\\bin\\gone.exe"}), ok.configs, ok.logs},
       not_a_program},
      {"an empty list", request(), {listed({}), ok.configs, ok.logs}, not_a_program, true},
      {"a value that cannot be used",
       request(),
       {unusable, ok.configs, ok.logs},
       "OpenVpnPrograms cannot be used: it is not a REG_MULTI_SZ",
       true},
      {"config that does not exist", config("cfg\\missing.ovpn"), ok, config_outside},
      {"config that is a folder", config("cfg\\sub"), ok, config_outside},
      {"config in a sibling named alike", config("cfg-evil\\x.ovpn"), ok, config_outside, true},
      {"a config device name", config("cfg\\con"), ok, "config is a network or device path", true},
      {"a verbatim config through ..", verbatim, ok, "config is not a plain local path", true},
      {"auth outside", request("OpenVPN\\bin\\openvpn.exe", "cfg\\client.ovpn", "outside.ovpn"), ok,
       "auth is not a file in a folder in ConfigDirectories", true},
      {"a log that exists", log("logs\\existing.log"), ok, ""},
      {"a log in a folder that does not exist", log("logs\\gone\\x.log"), ok,
       "log is not in a folder in LogDirectories"},
      // The log is never a file of the connection or of the program.
      {"a log that is the auth file", log("cfg\\sub\\auth.txt"), with_logs({"logs", "cfg"}),
       "log is the same file as auth"},
      {"a log that is a hard link to the auth file", log("logs\\auth.log"), ok,
       "log is the same file as auth"},
      {"a log in a config folder", log("cfg\\sub\\new.log"), with_logs({"logs", "cfg\\sub"}),
       "log is in a folder in ConfigDirectories"},
      {"a log in the program's folder", log("OpenVPN\\bin\\new.log"), with_logs({"logs", "OpenVPN"}),
       "log is in the folder of a program in OpenVpnPrograms"},
      {"a log in the service's folder", log("svc\\token.log"), with_logs({"logs", "svc"}),
       "log is in the service's own folder"},
      {"a log that is a dangling symbolic link", log("logs\\dangling.log"), ok,
       "log is a symbolic link or junction", true},
      {"a log that is a junction", log("logs\\junction"), ok, "log is a symbolic link or junction", true},
  };
  recording_.links = {utf8_to_utf16(at("logs\\dangling.log")), utf8_to_utf16(at("logs\\junction"))};
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.what);
    const auto allowed = check(c.request, c.policy);
    EXPECT_EQ(reason(allowed), c.reason);
    EXPECT_EQ(!allowed && allowed.error().incomplete, c.reason.starts_with("the policy is incomplete"));
    if (c.opens_nothing) {
      EXPECT_TRUE(std::ranges::none_of(calls_, [](const auto& call) { return call.starts_with(u"open "); }))
          << "a path was opened before it was known to be allowed\n"
          << testing::PrintToString(calls_);
    }
  }
}

// Only plain local paths, decided on the client's text: anything else is refused before the system is
// asked anything about any field, since asking about a network path already reaches out with the
// machine's account, and Win32 passes \??\ through as a native path.
TEST_F(PathChecks, OnlyPlainLocalPathsAndNothingAskedAboutTheRest) {
  const std::string network = " is a network or device path";
  const std::string relative = " is a relative path";
  const std::pair<std::string, std::string> texts[] = {
      {"\\??\\UNC\\127.0.0.2\\share\\x.exe", network},
      {"\\??\\" + at("cfg\\client.ovpn"), network},
      {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", network},
      {"\\\\127.0.0.2\\share\\x", network},
      {"\\\\.\\pipe\\orvanta", network},
      {"\\x", relative},
      {"C:x.ovpn", relative},
      {"a.ovpn", relative},
      {at("cfg\\client.ovpn") + ":hidden", " is not a plain local path"},
  };
  const std::pair<std::string, std::string Connect::*> fields[] = {{"openvpn", &Connect::openvpn},
                                                                   {"config", &Connect::config},
                                                                   {"auth", &Connect::auth},
                                                                   {"log", &Connect::log}};
  for (const auto& [text, rule] : texts) {
    for (const auto& [field, member] : fields) {
      if (field == "openvpn" && text == "a.ovpn") {
        continue;  // a bare name: searched for, below
      }
      SCOPED_TRACE(field + " " + text);
      Connect connect = request();
      connect.*member = text;
      EXPECT_EQ(reason(check(connect, lock_down())), field + rule);
      EXPECT_TRUE(calls_.empty()) << testing::PrintToString(calls_);
    }
  }
  // A bare program name is searched for, each candidate asked about by its full path on a local drive
  // only (never the PATH entry on the network), and what the search finds is held to the list.
  const auto bare = check(
      Connect{"a.ovpn", at("cfg\\client.ovpn"), at("cfg\\sub\\auth.txt"), at("logs\\x.log")}, lock_down());
  EXPECT_EQ(reason(bare), "openvpn is not one of the programs in OpenVpnPrograms");
  EXPECT_NE(std::ranges::find(calls_, u"exists " + utf8_to_utf16(at("found\\a.ovpn"))), calls_.end())
      << testing::PrintToString(calls_);
  EXPECT_TRUE(std::ranges::none_of(calls_, [](const auto& call) { return call.contains(u"127.0.0.2"); }))
      << testing::PrintToString(calls_);
  // Without any path value, paths are not looked at at all.
  const auto unchecked =
      check(Connect{"\\\\server\\share\\openvpn.exe", "\\\\.\\pipe\\x", "a", "b"}, PathPolicy{});
  ASSERT_TRUE(unchecked.has_value());
  EXPECT_TRUE(unchecked->application.empty()) << "the launch searches as it always does";
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
}  // namespace orvanta::policy
