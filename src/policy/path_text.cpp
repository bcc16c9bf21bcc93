// Local or not, same or inside: decided on the text of full and final paths.
#include "policy/path_text.hpp"

namespace orvanta::policy {

namespace {

bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }
bool is_ascii_letter(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z');
}
char16_t ascii_lower(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? char16_t(unit + (u'a' - u'A')) : unit;
}

// "C:" followed by a separator.
bool is_drive_path(std::u16string_view path) {
  return path.size() >= 3 && is_ascii_letter(path[0]) && path[1] == u':' && is_separator(path[2]);
}

bool same_unit(char16_t a, char16_t b) {
  return ascii_lower(a) == ascii_lower(b) || (is_separator(a) && is_separator(b));
}

}  // namespace

std::u16string_view without_verbatim_prefix(std::u16string_view path) {
  if (path.starts_with(u"\\\\?\\") && is_drive_path(path.substr(4))) {
    return path.substr(4);
  }
  return path;
}

PathText classify_path_text(std::u16string_view text, bool bare_name_allowed) {
  if (text.empty() || text.find(u'\0') != std::u16string_view::npos) {
    return PathText::NotPlain;
  }
  if (bare_name_allowed && text.find_first_of(u"\\/:") == std::u16string_view::npos) {
    return PathText::BareName;
  }
  const std::u16string_view plain = without_verbatim_prefix(text);
  if (is_drive_path(plain)) {
    if (plain.find(u':', 2) != std::u16string_view::npos) {
      return PathText::NotPlain;
    }
    return plain.size() == text.size() ? PathText::Drive : PathText::VerbatimDrive;
  }
  if ((text.size() >= 2 && is_separator(text[0]) && is_separator(text[1])) || text.starts_with(u"\\??\\")) {
    return PathText::NetworkOrDevice;
  }
  return PathText::Relative;
}

bool is_network_or_device(std::u16string_view full_path) {
  return !is_drive_path(without_verbatim_prefix(full_path));
}

std::u16string comparable_path(std::u16string_view path) {
  std::u16string_view plain = without_verbatim_prefix(path);
  // A drive's root keeps its separator: C:\ stays C:\.
  while (plain.size() > 3 && is_separator(plain.back())) {
    plain.remove_suffix(1);
  }
  return std::u16string(plain);
}

bool same_path(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_unit(a[i], b[i])) {
      return false;
    }
  }
  return true;
}

bool is_within(std::u16string_view path, std::u16string_view folder, bool folder_itself) {
  if (same_path(path, folder)) {
    return folder_itself;
  }
  // A root such as C:\ already ends in its separator.
  const bool folder_ends_in_separator = !folder.empty() && is_separator(folder.back());
  const std::size_t prefix = folder.size() + (folder_ends_in_separator ? 0 : 1);
  return path.size() > prefix && same_path(path.substr(0, folder.size()), folder) &&
         (folder_ends_in_separator || is_separator(path[folder.size()]));
}

}  // namespace orvanta::policy
