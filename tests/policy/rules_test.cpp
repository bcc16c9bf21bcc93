// The policy's rules on text: which paths are local, which lie in which folder, which groups may read
// the client token, and the token itself.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "policy/client_groups.hpp"
#include "policy/path_text.hpp"
#include "policy/token_text.hpp"

namespace orvanta::policy {
namespace {

TEST(PathText, OnlyDrivePathsAreLocal) {
  struct Case {
    std::u16string_view full_path;
    bool network_or_device;
  };
  const Case cases[] = {
      {u"C:\\vpn\\client.ovpn", false},
      {u"c:/vpn/client.ovpn", false},
      {u"\\\\?\\C:\\vpn\\client.ovpn", false},
      {u"//server/share/client.ovpn", true},
      {u"\\\\.\\con", true},
      {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", true},
      {u"\\??\\C:\\vpn\\client.ovpn", true},
      {u"C:", true},
      {u"", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_network_or_device(c.full_path), c.network_or_device)
        << std::string(c.full_path.begin(), c.full_path.end());
  }
}

// What the client sent, before anything is asked of the system. The forms a client would use to reach
// past a local file are in the path check's table, with the field each is refused in.
TEST(PathText, OnlyPlainLocalPathsAsSent) {
  using enum PathText;
  struct Case {
    std::u16string_view text;
    PathText path;     // as config, auth or log
    PathText program;  // as openvpn
  };
  const Case cases[] = {
      {u"c:/vpn/client.ovpn", Drive, Drive},
      {u"\\\\?\\C:\\vpn\\client.ovpn", VerbatimDrive, VerbatimDrive},
      {u"//host/share/x", NetworkOrDevice, NetworkOrDevice},
      {u"a.ovpn", Relative, BareName},
      {u"vpn\\a.ovpn", Relative, Relative},
      {std::u16string_view(u"C:\\a\0b", 6), NotPlain, NotPlain},
  };
  for (const Case& c : cases) {
    const std::string shown(c.text.begin(), c.text.end());
    EXPECT_EQ(classify_path_text(c.text, false), c.path) << shown;
    EXPECT_EQ(classify_path_text(c.text, true), c.program) << shown;
  }
}

TEST(PathText, ComparesAsTheFileSystemWould) {
  EXPECT_EQ(comparable_path(u"\\\\?\\C:\\cfg\\"), u"C:\\cfg");
  EXPECT_EQ(comparable_path(u"C:\\"), u"C:\\");
  EXPECT_EQ(comparable_path(u"\\\\?\\UNC\\server\\x"), u"\\\\?\\UNC\\server\\x");
  EXPECT_TRUE(same_path(u"C:\\OpenVPN\\bin\\openvpn.exe", u"c:/openvpn/BIN/OpenVPN.EXE"));
  EXPECT_FALSE(same_path(u"C:\\OpenVPN\\bin\\openvpn.exe", u"C:\\OpenVPN\\bin\\openvpn.exe.bak"));
  // Only ASCII letters are folded: a difference in another letter can refuse, never let through.
  EXPECT_FALSE(same_path(u"C:\\\u00C9t\u00E9", u"C:\\\u00E9t\u00E9"));

  struct Case {
    std::u16string_view path;
    std::u16string_view folder;
    bool folder_itself;
    bool within;
  };
  const Case cases[] = {
      {u"C:\\cfg\\deep\\er\\x.ovpn", u"c:\\CFG", false, true},
      {u"C:\\cfgx.ovpn", u"C:\\cfg", false, false},
      {u"C:\\cfg", u"C:\\cfg", false, false},
      {u"C:\\cfg", u"C:\\cfg", true, true},
      {u"C:\\logs\\sub", u"C:\\logs", true, true},
      {u"C:\\x.ovpn", u"C:\\", false, true},
      {u"D:\\cfg\\x.ovpn", u"C:\\cfg", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_within(c.path, c.folder, c.folder_itself), c.within)
        << std::string(c.path.begin(), c.path.end()) << " in "
        << std::string(c.folder.begin(), c.folder.end());
  }
}

// Only the shapes of real groups; everything else fails closed, since a list of the SIDs that stand
// for nearly everybody is never complete.
TEST(ClientGroups, NamedByShape) {
  const std::string everybody = "which stands for (nearly) every account";
  const std::string not_a_group =
      "which is not a built-in group (S-1-5-32-<rid>) or a domain or computer group "
      "(S-1-5-21-<a>-<b>-<c>-<rid>)";
  const std::pair<std::vector<std::u16string_view>, std::string> cases[] = {
      {{u"S-1-5-32-556", u"S-1-5-32-544", u"S-1-5-21-3623811015-3361044348-30300820-1105"}, ""},
      // Users, Guests, Pre-Windows 2000 Compatible Access, IIS_IUSRS; Domain Users, Guests, Computers
      {{u"S-1-5-32-545", u"S-1-5-32-546", u"S-1-5-32-554", u"S-1-5-32-568", u"S-1-5-21-1-2-3-513",
        u"S-1-5-21-1-2-3-514", u"S-1-5-21-1-2-3-515"},
       everybody},
      // Everyone, Authenticated Users, every local account, application packages, asserted identity,
      // NTLM, every service, interactive and network logons, a logon session
      {{u"S-1-1-0", u"S-1-5-11", u"S-1-5-113", u"S-1-15-2-1", u"S-1-18-1", u"S-1-5-64-10", u"S-1-5-80-0",
        u"S-1-5-4", u"S-1-5-2", u"S-1-5-5-0-1234"},
       not_a_group},
      {{u"S-1-5-32", u"S-1-5-21-1-2-1105", u"S-1-5-21-1-2-3-4-1105", u"S-1-5-32-0556", u"S-1-5-32-4294967296",
        u"S-1-5-32-556 ", u"Network Configuration Operators", u""},
       not_a_group},
  };
  for (const auto& [sids, refusal] : cases) {
    for (const std::u16string_view sid : sids) {
      EXPECT_EQ(client_group_refusal(sid).value_or(""), refusal) << std::string(sid.begin(), sid.end());
    }
  }
}

TEST(TokenText, SixtyFourLowerCaseHexDigitsComparedWhole) {
  std::array<std::uint8_t, token_bytes> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 9 + 0xA0);
  }
  const std::string token = token_text(bytes);
  EXPECT_EQ(token, "a0a9b2bbc4cdd6dfe8f1fa030c151e273039424b545d666f78818a939ca5aeb7");
  EXPECT_TRUE(same_token(token, token));
  std::string last_differs = token;
  last_differs.back() = '0';
  EXPECT_FALSE(same_token(last_differs, token));
  EXPECT_FALSE(same_token(token.substr(1), token));
  EXPECT_FALSE(same_token("", token));
}

}  // namespace
}  // namespace orvanta::policy
