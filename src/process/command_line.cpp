// Quoting of arguments so that the child, or cmd.exe, splits them back exactly as they were given.
#include "process/command_line.hpp"

#include "common/utf16.hpp"
#include "process/launch_errors.hpp"

namespace orvanta {

namespace {

constexpr char16_t quote = u'"';
constexpr char16_t backslash = u'\\';

bool contains(std::u16string_view text, char16_t unit) {
  return text.find(unit) != std::u16string_view::npos;
}

// The rules CommandLineToArgvW and the C runtime split by:
//   1. Enclose the argument in quotes when it is empty or holds a space or a tab; else write it bare.
//   2. A quote gets one backslash more than the run of backslashes in front of it (n -> 2n+1), enclosed
//      or not; other backslashes are copied as they are.
//   3. When enclosed, the run of backslashes at the very end is doubled, so the closing quote stays one.
//   a b\ -> "a b\\"      say "hi" -> "say \"hi\""      a\"b -> a\\\"b      (empty) -> ""
Result<void> append_argument(std::u16string& line, std::u16string_view argument) {
  if (contains(argument, u'\0')) {
    return std::unexpected(Error::fixed(launch_error::nul_in_data));
  }
  const bool enclose = argument.empty() || argument.find_first_of(u" \t") != std::u16string_view::npos;
  if (enclose) {
    line.push_back(quote);
  }
  std::size_t backslashes = 0;
  for (const char16_t unit : argument) {
    if (unit == backslash) {
      ++backslashes;
    } else {
      if (unit == quote) {
        line.append(backslashes + 1, backslash);
      }
      backslashes = 0;
    }
    line.push_back(unit);
  }
  if (enclose) {
    line.append(backslashes, backslash);
    line.push_back(quote);
  }
  return {};
}

bool is_plain_batch_character(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9')) {
    return true;
  }
  return contains(u"#$*+-./:?@\\_", unit);
}

// A character that cmd.exe might treat as syntax, or that is invisible, makes the argument quoted.
// Characters above U+009F never do.
bool forces_batch_quotes(char16_t unit) {
  const bool control = unit <= 0x1F || (unit >= 0x7F && unit <= 0x9F);
  return control || (unit < 0x80 && !is_plain_batch_character(unit));
}

// cmd.exe reads the line before the script does, so an argument must be inert to cmd.exe itself:
//   1. CR or LF would end the command there: refused, as is NUL.
//   2. Enclose the argument when it is empty, ends in a backslash, or holds any ASCII character outside
//      letters, digits and #$*+-./:?@\_ or any control character. Inside quotes & | < > ^ are text.
//   3. Before every % insert %%cd:~, so that no %NAME% can expand: cmd.exe turns the insert back into
//      nothing, and the script sees the percent sign unchanged.
//   4. A quote becomes its backslash run once more (n -> 2n) and then two quotes, which cmd.exe reads
//      as a literal quote without leaving the quoted text.
//   5. When enclosed, the run of backslashes at the very end is doubled before the closing quote.
//   a&b -> "a&b"      %PATH% -> "%%cd:~,%PATH%%cd:~,%"      say"hi -> "say""hi"      x\ -> "x\\"
Result<void> append_batch_argument(std::u16string& line, std::u16string_view argument) {
  if (contains(argument, u'\r') || contains(argument, u'\n')) {
    return std::unexpected(Error::fixed(launch_error::bad_batch_argument));
  }
  if (contains(argument, u'\0')) {
    return std::unexpected(Error::fixed(launch_error::nul_in_data));
  }
  bool enclose = argument.empty() || argument.back() == backslash;
  for (const char16_t unit : argument) {
    enclose = enclose || forces_batch_quotes(unit);
  }
  if (enclose) {
    line.push_back(quote);
  }
  std::size_t backslashes = 0;
  for (const char16_t unit : argument) {
    if (unit == backslash) {
      ++backslashes;
      line.push_back(unit);
      continue;
    }
    if (unit == u'%') {
      line.append(u"%%cd:~,");
      line.push_back(unit);
    } else if (unit == quote) {
      line.append(backslashes, backslash);
      line.append(u"\"\"");
    } else {
      line.push_back(unit);
    }
    backslashes = 0;
  }
  if (enclose) {
    line.append(backslashes, backslash);
    line.push_back(quote);
  }
  return {};
}

}  // namespace

Result<std::u16string> build_command_line(std::string_view program, std::span<const std::string> arguments) {
  // The program is written as given, unescaped: argv[0] ends at the next quote whatever precedes it.
  std::u16string line(1, quote);
  line += utf8_to_utf16(program);
  line.push_back(quote);
  for (const std::string& argument : arguments) {
    line.push_back(u' ');
    if (auto appended = append_argument(line, utf8_to_utf16(argument)); !appended) {
      return std::unexpected(appended.error());
    }
  }
  return line;
}

Result<std::u16string> build_batch_command_line(std::u16string_view script,
                                                std::span<const std::string> arguments) {
  if (contains(script, quote) || (!script.empty() && script.back() == backslash)) {
    return std::unexpected(Error::fixed(launch_error::bad_batch_script));
  }
  // With /c and more than two quotes, cmd.exe drops the first and the last quote of the line and runs
  // the rest; the outer pair opened here and closed at the end is the pair it drops. /d skips AutoRun
  // commands, /v:OFF keeps !NAME! inert, /e:ON fixes the extensions the %cd:~,% insert relies on.
  std::u16string line = u"cmd.exe /e:ON /v:OFF /d /c \"";
  line.push_back(quote);
  line += script;
  line.push_back(quote);
  for (const std::string& argument : arguments) {
    line.push_back(u' ');
    if (auto appended = append_batch_argument(line, utf8_to_utf16(argument)); !appended) {
      return std::unexpected(appended.error());
    }
  }
  line.push_back(quote);
  return line;
}

}  // namespace orvanta
