// Trimming a request line by the Unicode White_Space property.
#include "server/white_space.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/utf16.hpp"

namespace orvanta {
namespace {

std::string utf8(char32_t c) {
  const char16_t units[2] = {static_cast<char16_t>(c), 0};
  return *utf16_to_utf8(std::u16string_view(units, 1));
}

TEST(WhiteSpace, TrimsEveryWhiteSpaceCharacterFromBothEnds) {
  const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                            0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                            0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (const char32_t c : white) {
    SCOPED_TRACE(static_cast<unsigned>(c));
    const std::string space = utf8(c);
    EXPECT_EQ(trim_white_space(space + "{}"), "{}");
    EXPECT_EQ(trim_white_space("{}" + space), "{}");
    EXPECT_EQ(trim_white_space(space + space + "{ }" + space), "{ }");
  }
}

// Neighbours of the ranges and characters that look like spaces but lack the property.
TEST(WhiteSpace, KeepsCharactersWithoutTheProperty) {
  const char32_t kept[] = {0x08,   0x0E,   0x1F,   0x21,   0x84,   0x86,   0x9F,   0xA1,
                           0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B, 0x2027, 0x202A, 0x202E,
                           0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0xE9};
  for (const char32_t c : kept) {
    SCOPED_TRACE(static_cast<unsigned>(c));
    const std::string other = utf8(c);
    EXPECT_EQ(trim_white_space(other + "{}"), other + "{}");
    EXPECT_EQ(trim_white_space("{}" + other), "{}" + other);
  }
}

TEST(WhiteSpace, LeavesNothingOfTextThatIsAllWhiteSpace) {
  EXPECT_EQ(trim_white_space(""), "");
  EXPECT_EQ(trim_white_space(" \t\r\n"), "");
  EXPECT_EQ(trim_white_space("\xE3\x80\x80\xC2\xA0"), "");
}

TEST(WhiteSpace, EndsOfAMultiByteCharacterNextToWhiteSpaceStay) {
  EXPECT_EQ(trim_white_space(" \xC3\xA9 \xE2\x80\x83"), "\xC3\xA9");
  EXPECT_EQ(trim_white_space("\xE2\x80\x83\xF0\x9F\x98\x80\r\n"), "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace orvanta
