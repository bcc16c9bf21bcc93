// The command lines for ordinary programs and for batch scripts, character by character.
#include "process/command_line.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "common/utf16.hpp"
#include "process/launch_errors.hpp"
#include "printers.hpp"

namespace orvanta {
namespace {

using Args = std::vector<std::string>;

std::string shown(const Result<std::u16string>& line) {
  if (!line) {
    return "error: " + error_text(line.error());
  }
  return utf16_to_utf8(*line).value_or("<invalid UTF-16>");
}

TEST(CommandLine, QuotesOnlyWhatTheChildWouldSplit) {
  struct Case {
    std::string program;
    Args args;
    std::u16string expected;
  } cases[] = {
      {"prog", {}, uR"("prog")"},
      {"prog", {"a"}, uR"("prog" a)"},
      {"prog", {"a b"}, uR"("prog" "a b")"},
      {"prog", {"a\tb"}, u"\"prog\" \"a\tb\""},
      {"prog", {""}, uR"("prog" "")"},
      {"prog", {"", "x", ""}, uR"("prog" "" x "")"},
      {"prog", {R"(say"hi)"}, uR"("prog" say\"hi)"},
      {"prog", {R"(say "hi")"}, uR"("prog" "say \"hi\"")"},
      {"prog", {R"(a\"b)"}, uR"("prog" a\\\"b)"},
      {"prog", {R"(a\\"b)"}, uR"("prog" a\\\\\"b)"},
      {"prog", {R"(\")"}, uR"("prog" \\\")"},
      {"prog", {R"(a\b)"}, uR"("prog" a\b)"},
      {"prog", {R"(a\\b c)"}, uR"("prog" "a\\b c")"},
      {"prog", {R"(C:\dir\)"}, uR"("prog" C:\dir\)"},
      {"prog", {R"(C:\my dir\)"}, uR"("prog" "C:\my dir\\")"},
      {"prog", {R"(a b\\)"}, uR"("prog" "a b\\\\")"},
      {"prog", {"\xC3\xA9 \xF0\x9F\x98\x80"}, u"\"prog\" \"\u00e9 \U0001F600\""},
      {"prog", {"&|<>^%!"}, uR"("prog" &|<>^%!)"},
      // The program text is written as given, never escaped.
      {R"(C:\Program Files\OpenVPN\bin\openvpn.exe)", {}, uR"("C:\Program Files\OpenVPN\bin\openvpn.exe")"},
      {R"(a"b\)", {}, uR"("a"b\")"},
      {"taskkill", {"/PID", "4242", "/T", "/F"}, uR"("taskkill" /PID 4242 /T /F)"},
      {"openvpn",
       {"--config", R"(C:\my files\a.ovpn)", "--auth-user-pass", R"(C:\x\auth.txt)", "--verb", "3"},
       uR"("openvpn" --config "C:\my files\a.ovpn" --auth-user-pass C:\x\auth.txt --verb 3)"},
  };
  for (const auto& c : cases) {
    const auto line = build_command_line(c.program, c.args);
    EXPECT_EQ(line, c.expected) << c.program << " -> " << shown(line);
  }
}

TEST(CommandLine, RefusesTheFirstArgumentWithNul) {
  const Args args = {"fine", std::string("a\0b", 3), "also fine"};
  EXPECT_EQ(build_command_line("prog", args), std::unexpected(Error::fixed(launch_error::nul_in_data)));
}

constexpr char16_t script[] = uR"(C:\s\run.bat)";

std::u16string batch_line(std::u16string_view arguments) {
  return uR"(cmd.exe /e:ON /v:OFF /d /c ""C:\s\run.bat")" + std::u16string(arguments) + u"\"";
}

TEST(BatchCommandLine, KeepsEveryArgumentInertToCmd) {
  struct Case {
    Args args;
    std::u16string arguments;  // what follows the quoted script, before the closing quote
  } cases[] = {
      {{}, u""},
      {{"a"}, u" a"},
      {{"a", "b"}, u" a b"},
      {{""}, uR"( "")"},
      {{"a b"}, uR"( "a b")"},
      {{"\t"}, u" \"\t\""},
      {{"a&echo pwned"}, uR"( "a&echo pwned")"},
      {{"a|b"}, uR"( "a|b")"},
      {{"^"}, uR"( "^")"},
      {{"<x>"}, uR"( "<x>")"},
      {{"(x)"}, uR"-( "(x)")-"},
      {{"!x!"}, uR"( "!x!")"},
      {{"a,b;c=d"}, uR"( "a,b;c=d")"},
      {{"%PATH%"}, uR"( "%%cd:~,%PATH%%cd:~,%")"},
      {{"100%"}, uR"( "100%%cd:~,%")"},
      {{R"(say"hi)"}, uR"( "say""hi")"},
      {{R"("&calc)"}, uR"( """&calc")"},
      {{R"(a\"b)"}, uR"( "a\\""b")"},
      {{R"(dir\)"}, uR"( "dir\\")"},
      {{R"(a\\)"}, uR"( "a\\\\")"},
      {{R"(C:\x\y)"}, uR"( C:\x\y)"},
      {{"#$*+-./:?@\\_09azAZ"}, uR"( #$*+-./:?@\_09azAZ)"},
      {{"\xC3\xA9t\xC3\xA9"}, u" \u00e9t\u00e9"},  // above U+009F: plain
      {{"\xF0\x9F\x98\x80"}, u" \U0001F600"},      // surrogate pair: plain
      {{"\xC2\x85"}, u" \"\u0085\""},              // C1 control: quoted
      {{"\x7F"}, u" \"\x7F\""},                    // DEL: quoted
      {{"\x01"}, u" \"\x01\""},
  };
  for (const auto& c : cases) {
    const auto line = build_batch_command_line(script, c.args);
    EXPECT_EQ(line, batch_line(c.arguments)) << testing::PrintToString(c.args) << " -> " << shown(line);
  }
}

TEST(BatchCommandLine, RefusesWhatCmdCannotCarry) {
  const Error bad_argument = Error::fixed(launch_error::bad_batch_argument);
  const Error nul = Error::fixed(launch_error::nul_in_data);
  const Error bad_script = Error::fixed(launch_error::bad_batch_script);
  struct Case {
    std::u16string script;
    Args args;
    Error expected;
  } cases[] = {
      {script, {"a\rb"}, bad_argument},
      {script, {"a\nb"}, bad_argument},
      {script, {"ok", "\r\n"}, bad_argument},
      {script, {std::string("a\0b", 3)}, nul},
      {script, {"ok", "a\nb", std::string("\0", 1)}, bad_argument},  // the first bad argument decides
      {script, {std::string("\0", 1), "a\nb"}, nul},
      {script, {std::string("\0\n", 2)}, bad_argument},  // a line break wins within one argument
      {uR"(C:\s\"x.bat)", {}, bad_script},
      {uR"(C:\s\)", {}, bad_script},
      {uR"(C:\s\"x.bat)", {"a\nb"}, bad_script},  // the script is checked first
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_batch_command_line(c.script, c.args), std::unexpected(c.expected))
        << testing::PrintToString(c.args);
  }
}

}  // namespace
}  // namespace orvanta
