// UTF-8 validation and the conversions used at every platform call.
#include "common/utf16.hpp"

#include <gtest/gtest.h>

namespace orvanta {
namespace {

TEST(Utf8Validation, AcceptsWellFormedAndRejectsMalformed) {
  struct Case {
    std::string_view bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xC3\xA9", true},                 // é
      {"\xE2\x82\xAC", true},             // €
      {"\xF0\x9F\x98\x80", true},         // U+1F600
      {"\xF4\x8F\xBF\xBF", true},         // U+10FFFF
      {std::string_view("\0", 1), true},  // NUL is a character like any other
      {"\x80", false},                    // lone continuation byte
      {"\xC3", false},                    // truncated
      {"\xC0\xAF", false},                // overlong "/"
      {"\xE0\x80\xAF", false},            // overlong
      {"\xED\xA0\x80", false},            // surrogate U+D800
      {"\xF4\x90\x80\x80", false},        // above U+10FFFF
      {"\xFF", false},
      {"ok\xFE", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(std::string(c.bytes));
  }
}

TEST(Utf16Conversion, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const std::u16string wide = utf8_to_utf16(text);
  EXPECT_EQ(wide, std::u16string(u"a\u00e9\u20ac\U0001F600z"));
  EXPECT_EQ(wide.size(), 6u);  // the emoji is a surrogate pair
  EXPECT_EQ(utf16_to_utf8(wide), text);
}

TEST(Utf16Conversion, UnpairedSurrogatesAreNotText) {
  EXPECT_FALSE(utf16_to_utf8(std::u16string(1, char16_t(0xD800))));
  EXPECT_FALSE(utf16_to_utf8(std::u16string(1, char16_t(0xDC00))));
  EXPECT_FALSE(utf16_to_utf8(std::u16string{char16_t(0xD800), u'x'}));
}

TEST(Utf16Conversion, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(utf8_to_utf16("a\xFF"
                          "b"),
            std::u16string(u"a\uFFFDb"));
}

}  // namespace
}  // namespace orvanta
