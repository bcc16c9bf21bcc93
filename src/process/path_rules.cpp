// Separators, extensions and PATH entries, decided on the text alone.
#include "process/path_rules.hpp"

namespace orvanta {

bool has_verbatim_prefix(std::u16string_view path) { return path.starts_with(u"\\\\?\\"); }

namespace {

bool ends_with_separator(std::u16string_view path) {
  if (path.empty()) {
    return false;
  }
  return has_verbatim_prefix(path) ? path.back() == u'\\' : is_path_separator(path.back());
}

char16_t ascii_lower(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? char16_t(unit + (u'a' - u'A')) : unit;
}

}  // namespace

bool has_any_verbatim_prefix(std::u16string_view path) {
  return has_verbatim_prefix(path) || path.starts_with(u"\\??\\");
}

bool contains_separator(std::u16string_view text) {
  return text.find_first_of(u"\\/") != std::u16string_view::npos;
}

// A program text names a file unless it is empty or ends in a separator. Both / and \ separate,
// except after "\\?\", where the system takes / as part of a name.
//   C:\bin\ -> no    C:/bin/ -> no    \\?\C:\x/ -> yes    openvpn -> yes
bool names_a_file(std::u16string_view program) { return !program.empty() && !ends_with_separator(program); }

bool ends_with_ascii_nocase(std::u16string_view text, std::u16string_view suffix) {
  if (text.size() < suffix.size()) {
    return false;
  }
  const std::u16string_view tail = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (ascii_lower(tail[i]) != ascii_lower(suffix[i])) {
      return false;
    }
  }
  return true;
}

// The last four units decide, in any ASCII case: x.bat, X.CMD -> yes; x.bat.exe, x.btm -> no.
bool has_batch_extension(std::u16string_view path) {
  return ends_with_ascii_nocase(path, u".bat") || ends_with_ascii_nocase(path, u".cmd");
}

// PATH entries, read as the system's own search reads them:
//   1. Split at every semicolon outside double quotes.
//   2. Each double quote toggles "inside quotes" and is dropped.
//   3. Empty entries are skipped.
//   C:\a;;"C:\b;c";D:\"x"y -> C:\a | C:\b;c | D:\xy
std::vector<std::u16string> split_path_variable(std::u16string_view value) {
  std::vector<std::u16string> entries;
  std::u16string entry;
  bool quoted = false;
  for (const char16_t unit : value) {
    if (unit == u'"') {
      quoted = !quoted;
    } else if (unit == u';' && !quoted) {
      if (!entry.empty()) {
        entries.push_back(std::move(entry));
      }
      entry.clear();
    } else {
      entry.push_back(unit);
    }
  }
  if (!entry.empty()) {
    entries.push_back(std::move(entry));
  }
  return entries;
}

// The path with its last component removed; a root keeps its separator.
//   C:\svc\helper.exe -> C:\svc    C:\helper.exe -> C:\    helper.exe -> (none)
std::optional<std::u16string> parent_directory(std::u16string_view path) {
  const auto cut = path.find_last_of(u"\\/");
  if (cut == std::u16string_view::npos) {
    return std::nullopt;
  }
  const std::u16string_view head = path.substr(0, cut);
  if (head.empty() || head.back() == u':') {
    return std::u16string(path.substr(0, cut + 1));
  }
  return std::u16string(head);
}

// The name as the directory's last component: C:\bin + x -> C:\bin\x, C:/bin/ + x -> C:/bin/x.
std::u16string join_path(std::u16string_view directory, std::u16string_view name) {
  std::u16string joined(directory);
  if (!joined.empty() && !ends_with_separator(joined)) {
    joined.push_back(u'\\');
  }
  joined += name;
  return joined;
}

}  // namespace orvanta
