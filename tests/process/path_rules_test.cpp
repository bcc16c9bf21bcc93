// Separator, extension and PATH rules on plain text.
#include "process/path_rules.hpp"

#include <gtest/gtest.h>

#include "common/utf16.hpp"

namespace orvanta {
namespace {

std::string shown(std::u16string_view text) { return utf16_to_utf8(text).value_or("<invalid>"); }

TEST(PathRules, ProgramNamesAFileUnlessItEndsInASeparator) {
  struct Case {
    std::u16string_view program;
    bool names_file;
  } cases[] = {
      {u"", false},
      {u"openvpn", true},
      {uR"(C:\bin\)", false},
      {u"C:/bin/", false},
      {u"bin/", false},
      {uR"(\)", false},
      {uR"(\\?\C:\bin\)", false},
      {uR"(\\?\C:\bin/)", true},  // after \\?\ a slash is part of the name
      {uR"(\??\C:\bin/)", false},
      {uR"(C:\bin\openvpn)", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(names_a_file(c.program), c.names_file) << shown(c.program);
  }
}

TEST(PathRules, BatchExtensionIsTheLastFourUnitsInAnyCase) {
  struct Case {
    std::u16string_view path;
    bool batch;
  } cases[] = {
      {u"run.bat", true},  {u"RUN.BAT", true},   {u"x.Cmd", true},         {u".bat", true},
      {u"bat", false},     {u"run.bat.", false}, {u"run.bat.exe", false},  {u"run.btm", false},
      {u"run_bat", false}, {u"run.ba t", false}, {u"C:\\a.cmd\\b", false}, {u"run.\uFF42at", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(has_batch_extension(c.path), c.batch) << shown(c.path);
  }
}

TEST(PathRules, PathVariableSplitsOutsideQuotesAndDropsThem) {
  using Entries = std::vector<std::u16string>;
  struct Case {
    std::u16string_view value;
    Entries entries;
  } cases[] = {
      {u"", {}},
      {u";;;", {}},
      {uR"(C:\a)", {uR"(C:\a)"}},
      {uR"(C:\a;D:\b)", {uR"(C:\a)", uR"(D:\b)"}},
      {uR"(C:\a;;D:\b;)", {uR"(C:\a)", uR"(D:\b)"}},
      {uR"("C:\b;c";D:\d)", {uR"(C:\b;c)", uR"(D:\d)"}},
      {uR"(D:\"x"y;z)", {uR"(D:\xy)", u"z"}},
      {uR"("";x)", {u"x"}},
      {uR"("a;b)", {u"a;b"}},  // an unclosed quote runs to the end
      {uR"(C:\Program Files\x;C:\y)", {uR"(C:\Program Files\x)", uR"(C:\y)"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_path_variable(c.value), c.entries) << shown(c.value);
  }
}

TEST(PathRules, ParentAndJoin) {
  EXPECT_EQ(parent_directory(uR"(C:\svc\helper.exe)"), uR"(C:\svc)");
  EXPECT_EQ(parent_directory(uR"(C:\helper.exe)"), uR"(C:\)");
  EXPECT_EQ(parent_directory(u"Z:/a/b/helper.exe"), u"Z:/a/b");
  EXPECT_EQ(parent_directory(u"helper.exe"), std::nullopt);

  EXPECT_EQ(join_path(uR"(C:\bin)", u"x.exe"), uR"(C:\bin\x.exe)");
  EXPECT_EQ(join_path(uR"(C:\)", u"x.exe"), uR"(C:\x.exe)");
  EXPECT_EQ(join_path(u"C:/bin/", u"x.exe"), u"C:/bin/x.exe");
  EXPECT_EQ(join_path(uR"(\\?\C:\bin/)", u"x.exe"), uR"(\\?\C:\bin/\x.exe)");
  EXPECT_EQ(join_path(u"", u"x.exe"), u"x.exe");
}

}  // namespace
}  // namespace orvanta
