// The error text forms, from the lookup's outcome and, on Windows, from the real FormatMessageW.
#include "common/error.hpp"

#include <gtest/gtest.h>

namespace orvanta {
namespace {

TEST(ErrorText, RendersEachLookupOutcome) {
  using O = SystemMessage::Outcome;
  struct Case {
    std::uint32_t code;
    SystemMessage message;
    const char* expected;
  } cases[] = {
      {2, {O::Found, "File not found.\r\n", 0}, "File not found. (os error 2)"},
      {5, {O::Found, "Access is denied. \t\f\n", 0}, "Access is denied. (os error 5)"},
      {7, {O::Found, " keeps leading space", 0}, " keeps leading space (os error 7)"},
      {9, {O::Found, "\r\n", 0}, " (os error 9)"},
      {10048,
       {O::LookupFailed, {}, 317},
       "OS Error 10048 (FormatMessageW() returned error 317) (os error 10048)"},
      {4294967295u,
       {O::LookupFailed, {}, 1813},
       "OS Error 4294967295 (FormatMessageW() returned error 1813) (os error 4294967295)"},
      {13, {O::InvalidUtf16, {}, 0}, "OS Error 13 (FormatMessageW() returned invalid UTF-16) (os error 13)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(render_os_error(c.code, c.message), c.expected) << c.code;
  }
}

TEST(ErrorText, FixedMessageIsShownAlone) {
  EXPECT_EQ(error_text(Error::fixed("program not found")), "program not found");
  EXPECT_EQ(error_text(Error::fixed("")), "");
}

#ifdef _WIN32
// Under Wine the texts are Wine's words and some tables are missing, so these check the form and
// accept either what Windows or what Wine gives.
TEST(ErrorText, KnownSystemCodeIsTrimmedAndSuffixed) {
  const std::string text = error_text(Error::os(2));
  const std::string suffix = " (os error 2)";
  ASSERT_GT(text.size(), suffix.size());
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
  const std::string message = text.substr(0, text.size() - suffix.size());
  EXPECT_EQ(message.find("OS Error"), std::string::npos) << text;
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(std::string_view("\t\n\f\r ").find(message.back()), std::string_view::npos) << text;
}

TEST(ErrorText, CodeWithoutMessageUsesLookupFallback) {
  EXPECT_EQ(error_text(Error::os(65535)),
            "OS Error 65535 (FormatMessageW() returned error 317) (os error 65535)");
}

TEST(ErrorText, NtdllRangeCodeIsLookedUpInNtdll) {
  // 0xD0000022: STATUS_ACCESS_DENIED with the customer bit. Windows finds its text in NTDLL's table;
  // Wine's NTDLL has no message table, so the lookup fails there with 1813.
  const std::uint32_t code = 0xD0000022u;
  const std::string text = error_text(Error::os(code));
  const std::string fallback =
      "OS Error 3489660962 (FormatMessageW() returned error 1813) (os error 3489660962)";
  if (text.rfind("OS Error", 0) == 0) {
    EXPECT_EQ(text, fallback);
  } else {
    EXPECT_TRUE(text.ends_with(" (os error 3489660962)")) << text;
  }
}
#endif

}  // namespace
}  // namespace orvanta
