// A connect's paths against the path lists: on text first, then as opened files, with every open the
// checks make recorded.
#include "policy/path_check.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "common/utf16.hpp"
#include "process/windows_system_queries.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace orvanta::policy {
namespace {

namespace fs = std::filesystem;

// The real opens, each one recorded.
class RecordingOpener final : public PathOpener {
 public:
  Result<OpenedPath> open(std::u16string_view path, bool exclusive) override {
    opened.emplace_back(path);
    return real_.open(path, exclusive);
  }
  std::vector<std::u16string> opened;

 private:
  WindowsPathOpener real_;
};

// root\OpenVPN\bin\openvpn.exe (listed), root\elsewhere\openvpn.exe (a copy, not listed),
// root\cfg\client.ovpn, root\cfg\sub\auth.txt, root\cfg-evil\x.ovpn, root\outside.ovpn,
// root\logs\existing.log.
class PathChecks : public testing::Test {
 protected:
  PathChecks() {
    for (const char* folder : {"OpenVPN\\bin", "elsewhere", "cfg\\sub", "cfg-evil", "logs"}) {
      fs::create_directories(root_ / folder);
    }
    for (const char* file :
         {"OpenVPN\\bin\\openvpn.exe", "elsewhere\\openvpn.exe", "cfg\\client.ovpn", "cfg\\sub\\auth.txt",
          "cfg-evil\\x.ovpn", "outside.ovpn", "logs\\existing.log"}) {
      EXPECT_TRUE(test::write_file(root_ / file, "x"));
    }
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
  [[nodiscard]] Connect request(std::string_view openvpn, std::string_view config, std::string_view auth,
                                std::string_view log) const {
    return Connect{at(openvpn), at(config), at(auth), at(log)};
  }
  std::expected<AllowedLaunch, PathRefusal> check(const Connect& connect, const PathPolicy& policy) {
    return check_connect_paths(connect, policy, system_, opener_);
  }

  test::ScratchDir scratch_;
  fs::path root_ = scratch_.path();
  WindowsSystemQueries system_;
  RecordingOpener opener_;
};

TEST_F(PathChecks, AListedProgramIsLaunchedHoweverItIsWritten) {
  const PathPolicy policy{listed({"OpenVPN\\bin\\openvpn.exe"}), {}, {}};
  // Other spellings (case, /, ..) are launched against the service itself; found by the search here.
  const std::string_view ways[] = {"openvpn\\BIN\\OpenVPN.EXE", "OpenVPN\\bin\\openvpn"};
  for (const std::string_view way : ways) {
    SCOPED_TRACE(way);
    const auto allowed = check(request(way, "cfg\\client.ovpn", "cfg\\sub\\auth.txt", "logs\\x.log"), policy);
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

struct RefusalCase {
  const char* what;
  Connect request;
  PathPolicy policy;
  std::string reason;  // empty: allowed
  bool opens_nothing = false;
};

TEST_F(PathChecks, EachFieldIsHeldToItsRule) {
  const auto configs = listed({"cfg"});
  const auto logs = listed({"logs"});
  const auto ok = [&](std::string_view openvpn = "OpenVPN\\bin\\openvpn.exe",
                      std::string_view config = "cfg\\client.ovpn",
                      std::string_view auth = "cfg\\sub\\auth.txt",
                      std::string_view log = "logs\\new.log") { return request(openvpn, config, auth, log); };
  const std::string not_a_program = "openvpn is not one of the programs in OpenVpnPrograms";
  const std::string config_outside = "config is not a file in a folder in ConfigDirectories";
  const PathList unusable{PathList::State::Unusable, {}, "it is not a REG_MULTI_SZ"};
  const std::vector<RefusalCase> cases = {
      {"a listed program that does not exist",
       ok(),
       {listed({"OpenVPN\\bin\\gone.exe"}), {}, {}},
       not_a_program},
      {"an empty list", ok(), {listed({}), {}, {}}, not_a_program, true},
      {"a value that cannot be used",
       ok(),
       {unusable, {}, {}},
       "OpenVpnPrograms cannot be used: it is not a REG_MULTI_SZ",
       true},
      {"config and auth inside, one of them deeper", ok(), {{}, configs, {}}, ""},
      {"config that does not exist",
       ok("OpenVPN\\bin\\openvpn.exe", "cfg\\missing.ovpn"),
       {{}, configs, {}},
       config_outside},
      {"config that is a folder",
       ok("OpenVPN\\bin\\openvpn.exe", "cfg\\sub"),
       {{}, configs, {}},
       config_outside},
      {"auth outside",
       ok("OpenVPN\\bin\\openvpn.exe", "cfg\\client.ovpn", "outside.ovpn"),
       {{}, configs, {}},
       "auth is not a file in a folder in ConfigDirectories",
       true},
      {"a log that exists",
       ok("OpenVPN\\bin\\openvpn.exe", "cfg\\client.ovpn", "cfg\\sub\\auth.txt", "logs\\existing.log"),
       {{}, {}, logs},
       ""},
      {"a log in a folder that does not exist",
       ok("OpenVPN\\bin\\openvpn.exe", "cfg\\client.ovpn", "cfg\\sub\\auth.txt", "logs\\gone\\x.log"),
       {{}, {}, logs},
       "log is not in a folder in LogDirectories"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    opener_.opened.clear();
    const auto allowed = check(c.request, c.policy);
    EXPECT_EQ(allowed ? std::string() : allowed.error().reason, c.reason);
    if (c.opens_nothing) {
      EXPECT_TRUE(opener_.opened.empty()) << "a path was opened before it was known to be allowed";
    }
  }
}

// While any path value is set, no request field may lead off the local drives, and finding that out
// opens nothing: a remote path would have the service reach the network with the machine's account.
TEST_F(PathChecks, NetworkAndDevicePathsAreRefusedWithoutAnyOpen) {
  const PathPolicy only_logs{{}, {}, listed({"logs"})};
  struct Case {
    std::string openvpn, config, auth, log;
    std::string reason;
  };
  const std::string program = at("OpenVPN\\bin\\openvpn.exe");
  const std::string config = at("cfg\\client.ovpn");
  const std::string log = at("logs\\x.log");
  const Case cases[] = {
      {"\\\\server\\share\\openvpn.exe", config, config, log, "openvpn is a network or device path"},
      {program, "\\\\.\\pipe\\orvanta", config, log, "config is a network or device path"},
      {program, config, "\\\\?\\UNC\\server\\share\\auth.txt", log, "auth is a network or device path"},
      {program, config, config, "\\\\server\\share\\openvpn.log", "log is a network or device path"},
      {program, at("cfg\\con"), config, log, "config is a network or device path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason + ": " + c.openvpn + " " + c.config + " " + c.auth + " " + c.log);
    opener_.opened.clear();
    const auto allowed = check(Connect{c.openvpn, c.config, c.auth, c.log}, only_logs);
    EXPECT_EQ(allowed ? std::string() : allowed.error().reason, c.reason);
    EXPECT_TRUE(opener_.opened.empty())
        << test::utf8(std::wstring(opener_.opened.front().begin(), opener_.opened.front().end()));
  }
  // Without any path value, paths are not looked at at all.
  EXPECT_TRUE(
      check(Connect{"\\\\server\\share\\openvpn.exe", "\\\\.\\pipe\\x", "a", "b"}, PathPolicy{}).has_value());
}

}  // namespace
}  // namespace orvanta::policy
