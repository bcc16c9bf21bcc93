// Program search, path conversion and batch detection, over the system seam.
#include "process/program_search.hpp"

#include "common/utf16.hpp"
#include "process/launch_errors.hpp"
#include "process/path_rules.hpp"

namespace orvanta {

namespace {

// Below this many units (NUL included) a drive or share path fits every legacy API as it is.
constexpr std::size_t legacy_directory_limit = 248;
// MAX_PATH: a longer path cannot lose its verbatim prefix.
constexpr std::size_t max_path = 260;

bool is_ascii_letter(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z');
}

// "C:" alone, or "C:" followed by a separator.
bool is_drive_absolute(std::u16string_view path) {
  return path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == u':' &&
         (path.size() == 2 || is_path_separator(path[2]));
}

// \\?\C:\... or \\?\UNC\...: the verbatim forms that may have a plain twin.
std::optional<std::u16string> unprefixed_form(std::u16string_view path) {
  if (path.starts_with(u"\\\\?\\UNC\\")) {
    return u"\\\\" + std::u16string(path.substr(8));
  }
  const std::u16string_view rest = path.substr(std::min<std::size_t>(path.size(), 4));
  if (has_verbatim_prefix(path) && rest.size() >= 3 && is_ascii_letter(rest[0]) && rest[1] == u':' &&
      rest[2] == u'\\') {
    return std::u16string(rest);
  }
  return std::nullopt;
}

// The verbatim form of an absolute path that reached the legacy limit.
std::u16string with_verbatim_prefix(std::u16string full) {
  if (full.starts_with(u"\\\\.\\")) {
    return u"\\\\?\\" + full.substr(4);
  }
  if (full.starts_with(u"\\\\") && !has_any_verbatim_prefix(full)) {
    return u"\\\\?\\UNC\\" + full.substr(2);
  }
  if (is_drive_absolute(full)) {
    return u"\\\\?\\" + full;
  }
  return full;
}

// The existence test of the search: a candidate that cannot be converted does not exist.
std::optional<std::u16string> existing(std::u16string_view candidate, SystemQueries& system) {
  auto converted = to_user_path(candidate, system);
  if (converted && system.exists(*converted)) {
    return std::move(*converted);
  }
  return std::nullopt;
}

// Where a bare name is looked for, in order; a directory the system cannot tell is skipped.
std::vector<std::u16string> search_directories(SystemQueries& system) {
  std::vector<std::u16string> directories;
  if (auto own = system.own_executable()) {
    if (auto parent = parent_directory(*own)) {
      directories.push_back(std::move(*parent));
    }
  }
  if (auto directory = system.system_directory()) {
    directories.push_back(std::move(*directory));
  }
  if (auto directory = system.windows_directory()) {
    directories.push_back(std::move(*directory));
  }
  if (auto path = system.path_variable()) {
    for (auto& entry : split_path_variable(*path)) {
      directories.push_back(std::move(entry));
    }
  }
  return directories;
}

}  // namespace

// 1. A NUL anywhere fails with "strings passed to WinAPI cannot contain NULs".
// 2. More than 260 units: used unchanged.
// 3. \\?\X:\... and \\?\UNC\... lose the prefix when the plain form is already its own full path
//    (\\?\C:\a\b -> C:\a\b), else stay as they are (\\?\C:\a\..\b stays).
// 4. Used unchanged: other verbatim or \??\ paths, the empty path, and below 248 units a path that starts
//    with "X:" plus a separator or nothing, or with two separators (C:/x, \\host\share\x).
// 5. Anything else, every relative path included, is made absolute against the current directory; at 248
//    units or more it gets a prefix: C:\... -> \\?\C:\..., \\.\... -> \\?\..., \\host\... -> \\?\UNC\host\...
Result<std::u16string> to_user_path(std::u16string_view path, SystemQueries& system) {
  if (path.find(u'\0') != std::u16string_view::npos) {
    return std::unexpected(Error::fixed(launch_error::nul_in_path));
  }
  const std::size_t units = path.size() + 1;
  if (units > max_path) {
    return std::u16string(path);
  }
  if (auto plain = unprefixed_form(path)) {
    auto full = system.full_path_name(*plain);
    if (!full) {
      return std::unexpected(full.error());
    }
    return *full == *plain ? std::move(*plain) : std::u16string(path);
  }
  if (has_any_verbatim_prefix(path) || path.empty()) {
    return std::u16string(path);
  }
  const bool share = path.size() >= 2 && is_path_separator(path[0]) && is_path_separator(path[1]);
  if (units < legacy_directory_limit && (is_drive_absolute(path) || share)) {
    return std::u16string(path);
  }
  auto full = system.full_path_name(path);
  if (!full) {
    return std::unexpected(full.error());
  }
  if (full->size() + 1 >= legacy_directory_limit) {
    return with_verbatim_prefix(std::move(*full));
  }
  return std::move(*full);
}

// 0. A double quote anywhere: "program path contains a quote". The program text is written between
//    quotes on the command line unescaped, so a quote in it would end argv[0] there and let the rest
//    of the text stand as arguments; no Windows file name can hold one.
// 1. Empty, or ending in a separator: "program path has no file name".
// 2. A text with / or \ anywhere is a path and is not searched for:
//    C:\ovpn\openvpn.EXE -> itself, unchecked; C:\ovpn\openvpn -> C:\ovpn\openvpn.exe if that exists,
//    else C:\ovpn\openvpn for CreateProcessW to report on.
// 3. A bare name with a NUL fails with "nul byte found in provided data". Without a full stop it gets
//    ".exe" (taskkill -> taskkill.exe; open.vpn stays). It is looked for in the executable's own directory,
//    the system directory, the Windows directory and the PATH entries, in that order; the first candidate
//    that exists (a directory counts) wins, and none is "program not found". With the system
//    directory alone to search, only that directory is looked in.
Result<std::u16string> resolve_program(std::string_view program, SystemQueries& system,
                                       ProgramSearch search) {
  const std::u16string text = utf8_to_utf16(program);
  if (text.find(u'"') != std::u16string::npos) {
    return std::unexpected(Error::fixed(launch_error::quote_in_program));
  }
  if (!names_a_file(text)) {
    return std::unexpected(Error::fixed(launch_error::no_file_name));
  }
  if (contains_separator(text)) {
    if (ends_with_ascii_nocase(text, u".exe")) {
      return to_user_path(text, system);
    }
    if (auto with_exe = existing(text + u".exe", system)) {
      return std::move(*with_exe);
    }
    return to_user_path(text, system);
  }
  if (text.find(u'\0') != std::u16string::npos) {
    return std::unexpected(Error::fixed(launch_error::nul_in_data));
  }
  const bool has_extension = text.find(u'.') != std::u16string::npos;
  std::vector<std::u16string> directories;
  if (search == ProgramSearch::Standard) {
    directories = search_directories(system);
  } else if (auto system_directory = system.system_directory()) {
    directories.push_back(std::move(*system_directory));
  }
  for (const std::u16string& directory : directories) {
    std::u16string candidate = join_path(directory, text);
    if (!has_extension) {
      candidate += u".exe";
    }
    if (auto found = existing(candidate, system)) {
      return std::move(*found);
    }
  }
  return std::unexpected(Error::fixed(launch_error::program_not_found));
}

// The system trims trailing dots and spaces from a name, so "run.bat. " runs as run.bat: the last four
// units are read from the full path, except for a verbatim path, which the system takes as it stands.
Result<bool> is_batch_file(std::u16string_view application, SystemQueries& system) {
  if (has_any_verbatim_prefix(application)) {
    return has_batch_extension(application);
  }
  auto full = system.full_path_name(application);
  if (!full) {
    return std::unexpected(full.error());
  }
  return has_batch_extension(*full);
}

}  // namespace orvanta
