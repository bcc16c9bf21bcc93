// The policy's rules on text: which paths are local, which lie in which folder, and the client token.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

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
