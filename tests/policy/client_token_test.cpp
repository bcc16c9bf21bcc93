// Who may read the client token, and where it is written and where not.
#include "policy/client_token.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/utf16.hpp"
#include "policy/policy_values.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace orvanta::policy {
namespace {

namespace fs = std::filesystem;

// The DACL is made from SIDs; here it is read back as the system writes it in SDDL.
TEST(PrivateSecurity, ProtectedDaclForSystemAndAdministratorsWithReadersAdded) {
  struct Case {
    std::vector<std::u16string> readers;
    bool folder;
    std::u16string sddl;
  };
  const Case cases[] = {
      {{u"S-1-5-32-556", u"S-1-5-21-1-2-3-1001"},
       false,
       u"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;NO)(A;;FR;;;S-1-5-21-1-2-3-1001)"},
      {{}, true, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"},
      // The token folder: its readers may list it and read what is in it.
      {{u"S-1-5-32-556"}, true, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;NO)"},
  };
  for (const Case& c : cases) {
    auto sids = client_group_sids(c.readers);
    ASSERT_TRUE(sids.has_value()) << sids.error();
    auto security = PrivateSecurity::make(*sids, c.folder);
    ASSERT_TRUE(security.has_value()) << error_text(security.error());
    EXPECT_EQ(security->dacl_sddl(), c.sddl);
  }
}

// The token goes into token\client.token in the service's folder, and goes again with its owner;
// whatever stands under the folder's name that is not a plain folder is never used. (A link there
// would be refused the same way; Wine 8 cannot make one: CreateSymbolicLinkW succeeds and makes
// nothing.)
TEST(TokenFile, IsWrittenBesideTheServiceIntoAPlainFolderOnly) {
  const test::ScratchDir scratch;
  const fs::path file = fs::path(scratch.path()) / "token" / "client.token";
  {
    const auto issued = ClientTokenFile::issue({}, from_wide(scratch.path()));
    ASSERT_TRUE(issued.has_value()) << error_text(issued.error());
    EXPECT_EQ(test::read_file(file), issued->token());
  }
  EXPECT_FALSE(fs::exists(file));

  const test::ScratchDir squatted;
  const fs::path squatter = fs::path(squatted.path()) / "token";
  ASSERT_TRUE(test::write_file(squatter, "not a folder"));
  const auto issued = ClientTokenFile::issue({}, from_wide(squatted.path()));
  ASSERT_FALSE(issued.has_value());
  EXPECT_TRUE(error_text(issued.error()).ends_with("is not a plain folder")) << error_text(issued.error());
  EXPECT_EQ(test::read_file(squatter), "not a folder");
}

TEST(PolicyValues, MultiStringEntriesEndAtTheEmptyOne) {
  EXPECT_EQ(multi_string_entries(std::u16string_view(u"C:\\a\0C:\\b c\0\0", 15)),
            (std::vector<std::u16string>{u"C:\\a", u"C:\\b c"}));
  EXPECT_EQ(multi_string_entries(std::u16string_view(u"\0\0", 2)), std::vector<std::u16string>{});
  EXPECT_EQ(multi_string_entries(u""), std::vector<std::u16string>{});
  EXPECT_EQ(multi_string_entries(u"C:\\no end"), std::vector<std::u16string>{u"C:\\no end"});
}

}  // namespace
}  // namespace orvanta::policy
