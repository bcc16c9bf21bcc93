// Path conversion, program search and batch detection against a scripted system.
#include "process/program_search.hpp"

#include <gtest/gtest.h>

#include "common/utf16.hpp"
#include "fake_system.hpp"
#include "process/launch_errors.hpp"
#include "printers.hpp"

namespace orvanta {
namespace {

using test::FakeSystem;

std::string shown(const Result<std::u16string>& path) {
  if (!path) {
    return "error: " + error_text(path.error());
  }
  return utf16_to_utf8(*path).value_or("<invalid>");
}

// A path of exactly `units` UTF-16 units once its NUL is counted.
std::u16string sized(std::u16string_view head, std::size_t units) {
  std::u16string path(head);
  path.resize(units - 1, u'a');
  return path;
}

TEST(ToUserPath, KeepsShortAbsolutePathsAndVerbatimForms) {
  FakeSystem system;
  system.full_paths[uR"(C:\a\..\b)"] = uR"(C:\b)";
  system.full_paths[uR"(\\host\share\x\..\y)"] = uR"(\\host\share\y)";
  system.full_paths[uR"(C:\gone)"] = std::unexpected(Error::os(123));
  system.full_paths[u"C:x.exe"] = uR"(C:\work\x.exe)";
  system.full_paths[uR"(\x.exe)"] = uR"(C:\x.exe)";
  struct Case {
    std::u16string path;
    Result<std::u16string> expected;
  } cases[] = {
      {uR"(C:\bin\x.exe)", uR"(C:\bin\x.exe)"},
      {u"C:/bin/x.exe", u"C:/bin/x.exe"},
      {u"C:", u"C:"},
      {uR"(\\host\share\x.exe)", uR"(\\host\share\x.exe)"},
      {u"//host/share/x.exe", u"//host/share/x.exe"},
      {uR"(\\.\pipe\x)", uR"(\\.\pipe\x)"},
      {u"", u""},
      {uR"(bin\x.exe)", uR"(C:\work\bin\x.exe)"},
      {u"x.exe", uR"(C:\work\x.exe)"},
      {u"C:x.exe", uR"(C:\work\x.exe)"},
      {uR"(\x.exe)", uR"(C:\x.exe)"},
      // A verbatim drive or share path loses its prefix only when the plain form means the same.
      {uR"(\\?\C:\a\b)", uR"(C:\a\b)"},
      {uR"(\\?\C:\a\..\b)", uR"(\\?\C:\a\..\b)"},
      {uR"(\\?\UNC\host\share\x)", uR"(\\host\share\x)"},
      {uR"(\\?\UNC\host\share\x\..\y)", uR"(\\?\UNC\host\share\x\..\y)"},
      {uR"(\\?\C:\gone)", std::unexpected(Error::os(123))},
      {uR"(\\?\Volume{1}\x)", uR"(\\?\Volume{1}\x)"},
      {uR"(\??\C:\x)", uR"(\??\C:\x)"},
      {std::u16string(u"C:\\a\0b", 6), std::unexpected(Error::fixed(launch_error::nul_in_path))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_user_path(c.path, system), c.expected)
        << shown(c.path) << " -> " << shown(to_user_path(c.path, system));
  }
}

TEST(ToUserPath, PrefixesFrom248UnitsAndLeavesAbove260Alone) {
  FakeSystem system;
  struct Case {
    std::u16string path;
    std::u16string expected;
  } cases[] = {
      {sized(uR"(C:\)", 247), sized(uR"(C:\)", 247)},
      {sized(uR"(C:\)", 248), uR"(\\?\)" + sized(uR"(C:\)", 248)},
      {sized(uR"(C:\)", 260), uR"(\\?\)" + sized(uR"(C:\)", 260)},
      {sized(uR"(C:\)", 261), sized(uR"(C:\)", 261)},
      {sized(uR"(\\host\s\)", 247), sized(uR"(\\host\s\)", 247)},
      {sized(uR"(\\host\s\)", 250), uR"(\\?\UNC\)" + sized(uR"(\\host\s\)", 250).substr(2)},
      {sized(uR"(\\.\dev\)", 250), uR"(\\?\)" + sized(uR"(\\.\dev\)", 250).substr(4)},
      // Relative: absolute against C:\work (8 units), prefixed once that reaches 248.
      {sized(u"r", 239), uR"(C:\work\)" + sized(u"r", 239)},
      {sized(u"r", 240), uR"(\\?\C:\work\)" + sized(u"r", 240)},
      {sized(u"r", 300), sized(u"r", 300)},
      // A verbatim path that fits keeps its prefix up to 260 units, and its full-path test decides.
      {sized(uR"(\\?\C:\)", 260), sized(uR"(C:\)", 256)},
  };
  for (const auto& c : cases) {
    const auto converted = to_user_path(c.path, system);
    EXPECT_EQ(converted, c.expected) << c.path.size() + 1 << " units: " << shown(converted).substr(0, 16);
  }
}

struct SearchCase {
  std::string program;
  std::vector<std::u16string> files;
  std::optional<std::u16string> path;
  Result<std::u16string> expected;
};

void check_search(const std::vector<SearchCase>& cases) {
  for (const auto& c : cases) {
    FakeSystem system;
    system.files.insert(c.files.begin(), c.files.end());
    system.path = c.path;
    const auto resolved = resolve_program(c.program, system);
    EXPECT_EQ(resolved, c.expected) << testing::PrintToString(c.program);
  }
}

TEST(ResolveProgram, PathsAreTakenAsGivenOrWithExe) {
  const auto no_file_name = std::unexpected(Error::fixed(launch_error::no_file_name));
  check_search({
      {"", {}, {}, no_file_name},
      {R"(C:\ovpn\)", {}, {}, no_file_name},
      {"ovpn/", {}, {}, no_file_name},
      {R"(C:\ovpn\openvpn.EXE)", {}, {}, uR"(C:\ovpn\openvpn.EXE)"},
      {R"(C:\ovpn\openvpn)", {uR"(C:\ovpn\openvpn.exe)"}, {}, uR"(C:\ovpn\openvpn.exe)"},
      {R"(C:\ovpn\openvpn)", {uR"(C:\ovpn\openvpn)"}, {}, uR"(C:\ovpn\openvpn)"},
      {R"(C:\ovpn\openvpn)", {}, {}, uR"(C:\ovpn\openvpn)"},
      {R"(C:\ovpn\run.bat)", {uR"(C:\ovpn\run.bat.exe)"}, {}, uR"(C:\ovpn\run.bat.exe)"},
      {R"(bin\openvpn)", {uR"(C:\work\bin\openvpn.exe)"}, {}, uR"(C:\work\bin\openvpn.exe)"},
      {"bin/openvpn", {}, {}, uR"(C:\work\bin/openvpn)"},
      {std::string("C:\\x\0y.exe", 10), {}, {}, std::unexpected(Error::fixed(launch_error::nul_in_path))},
  });
}

TEST(ResolveProgram, PathEndingInExeIsNotCheckedForExistence) {
  FakeSystem system;
  ASSERT_EQ(resolve_program(R"(C:\ovpn\openvpn.exe)", system), uR"(C:\ovpn\openvpn.exe)");
  EXPECT_TRUE(system.looked_up.empty());
}

TEST(ResolveProgram, BareNamesAreSearchedInOrder) {
  const std::u16string own = uR"(C:\svc\taskkill.exe)";
  const std::u16string system32 = uR"(C:\Windows\System32\taskkill.exe)";
  const std::u16string windows = uR"(C:\Windows\taskkill.exe)";
  const std::u16string on_path = uR"(D:\tools\taskkill.exe)";
  const auto not_found = std::unexpected(Error::fixed(launch_error::program_not_found));
  check_search({
      {"taskkill", {own, system32, windows, on_path}, uR"(D:\tools)", own},
      {"taskkill", {system32, windows, on_path}, uR"(D:\tools)", system32},
      {"taskkill", {windows, on_path}, uR"(D:\tools)", windows},
      {"taskkill", {on_path}, uR"(D:\tools)", on_path},
      {"taskkill", {on_path}, {}, not_found},
      {"taskkill", {uR"(C:\Windows\System32\taskkill)"}, {}, not_found},
      {"openvpn", {uR"(E:\b;c\openvpn.exe)"}, uR"(D:\tools;;"E:\b;c")", uR"(E:\b;c\openvpn.exe)"},
      {"open.vpn", {uR"(C:\Windows\open.vpn.exe)"}, {}, not_found},
      {"open.vpn", {uR"(C:\Windows\open.vpn)"}, {}, uR"(C:\Windows\open.vpn)"},
      {"deploy.cmd", {uR"(D:\tools\deploy.cmd)"}, uR"(D:\tools)", uR"(D:\tools\deploy.cmd)"},
      {"rel", {uR"(C:\work\sub\rel.exe)"}, u"sub", uR"(C:\work\sub\rel.exe)"},
  });
}

TEST(ResolveProgram, BareNameWithNulIsRefused) {
  FakeSystem system;
  EXPECT_EQ(resolve_program(std::string_view("open\0vpn", 8), system),
            std::unexpected(Error::fixed(launch_error::nul_in_data)));
  EXPECT_TRUE(system.looked_up.empty());
}

TEST(ResolveProgram, LooksInEachDirectoryOnceAndSkipsWhatTheSystemCannotTell) {
  FakeSystem system;
  system.path = uR"(D:\a;"D:\b";rel)";
  system.full_paths[uR"(rel\x.exe)"] = std::unexpected(Error::os(123));
  EXPECT_EQ(resolve_program("x", system), std::unexpected(Error::fixed(launch_error::program_not_found)));
  const std::vector<std::u16string> expected = {uR"(C:\svc\x.exe)", uR"(C:\Windows\System32\x.exe)",
                                                uR"(C:\Windows\x.exe)", uR"(D:\a\x.exe)", uR"(D:\b\x.exe)"};
  EXPECT_EQ(system.looked_up, expected);

  FakeSystem broken;
  broken.executable = std::unexpected(Error::os(5));
  broken.system = std::unexpected(Error::os(5));
  broken.windows = std::unexpected(Error::os(5));
  broken.path = uR"(D:\a)";
  broken.files = {uR"(D:\a\x.exe)"};
  EXPECT_EQ(resolve_program("x", broken), uR"(D:\a\x.exe)");
  EXPECT_EQ(broken.looked_up, std::vector<std::u16string>{uR"(D:\a\x.exe)"});
}

TEST(BatchDetection, ReadsTheNameAsTheSystemWillSeeIt) {
  FakeSystem system;
  system.full_paths[uR"(C:\s\gone.bat)"] = std::unexpected(Error::os(123));
  struct Case {
    std::u16string application;
    Result<bool> batch;
  } cases[] = {
      {uR"(C:\s\run.bat)", true},       {uR"(C:\s\run.CMD)", true},
      {uR"(C:\s\run.bat. . )", true},  // the system trims the dots and spaces
      {uR"(C:\s\run.exe)", false},      {uR"(\\?\C:\s\run.bat)", true},
      {uR"(\\?\C:\s\run.bat.)", false},  // taken as it stands
      {uR"(\??\C:\s\run.cmd)", true},   {uR"(C:\s\gone.bat)", std::unexpected(Error::os(123))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_batch_file(c.application, system), c.batch) << shown(c.application);
  }
}

}  // namespace
}  // namespace orvanta
