// Checking a connect's paths in one pass: the policy, the text rule, full paths, the program, the
// listed entries, text comparisons, opened files, and what the log may never be.
#include "policy/path_check.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "common/utf16.hpp"
#include "policy/path_text.hpp"
#include "process/path_rules.hpp"
#include "process/program_search.hpp"
#include "process/windows_system_queries.hpp"

namespace orvanta::policy {

namespace {

using Refusal = std::unexpected<std::string>;
using State = PathList::State;

// The field a reason names is its first word ("config is not ..."); a policy value's name is none.
std::unexpected<PathRefusal> refused(std::string reason) {
  const std::string first = reason.substr(0, reason.find(' '));
  const bool names_a_field = first == "openvpn" || first == "config" || first == "auth" || first == "log";
  return std::unexpected(PathRefusal{std::move(reason), names_a_field ? first : std::string()});
}

// 1. All three lists, usable, or none: a program list alone lets a client's configuration run scripts
// as SYSTEM, folder lists alone let any program run.
std::optional<PathRefusal> policy_refusal(const PathPolicy& policy) {
  const std::array<std::pair<const PolicyValue*, const PathList*>, 3> lists = {
      {{&open_vpn_programs, &policy.programs},
       {&config_directories, &policy.configs},
       {&log_directories, &policy.logs}}};
  std::string missing;
  bool several = false;
  for (const auto& [value, list] : lists) {
    if (list->state == State::Absent) {
      several = !missing.empty();
      missing += (several ? " and " : "") + std::string(value->name);
    }
  }
  if (!missing.empty()) {
    return PathRefusal{"the policy is incomplete: " + missing + (several ? " are" : " is") +
                           " not set (a lock-down needs all three of OpenVpnPrograms, ConfigDirectories "
                           "and LogDirectories)",
                       {},
                       true};
  }
  for (const auto& [value, list] : lists) {
    if (list->state == State::Unusable) {
      return PathRefusal{std::string(value->name) + " cannot be used: " + list->problem, {}};
    }
  }
  return std::nullopt;
}

// 2. The text rule's reason, or nothing when the text may go on.
std::optional<std::string> text_refusal(std::string_view field, std::u16string_view text) {
  switch (classify_path_text(text, field == "openvpn")) {
    case PathText::NetworkOrDevice:
      return std::string(field) + " is a network or device path";
    case PathText::Relative:
      return std::string(field) + " is a relative path";
    case PathText::NotPlain:
      return std::string(field) + " is not a plain local path";
    case PathText::Drive:
    case PathText::VerbatimDrive:
    case PathText::BareName:
      break;
  }
  return std::nullopt;
}

// 3. The comparable full path of a text that passed the text rule: GetFullPathNameW of a drive path,
// or the part after \\?\ when that is already its own full path. A device name (C:\cfg\con) comes
// out as \\.\con here.
std::expected<std::u16string, std::string> checked_full_path(std::string_view field, std::u16string_view text,
                                                             SystemQueries& system) {
  const std::u16string_view plain = without_verbatim_prefix(text);
  const auto full = system.full_path_name(plain);
  if (!full) {
    return Refusal(std::string(field) + " is not a path");
  }
  if (is_network_or_device(*full)) {
    return Refusal(std::string(field) + " is a network or device path");
  }
  if (plain.size() != text.size() && *full != plain) {
    return Refusal(std::string(field) + " is not a plain local path");
  }
  return comparable_path(*full);
}

bool is_plain_local(std::u16string_view text) {
  const PathText kind = classify_path_text(text, false);
  return kind == PathText::Drive || kind == PathText::VerbatimDrive;
}

// 4. Program search that never asks about a network or device path, since asking is already
// reaching out with the service's account; a candidate is asked about by its full path alone.
class LocalOnly final : public SystemQueries {
 public:
  explicit LocalOnly(SystemQueries& system) : system_(system) {}
  Result<std::u16string> own_executable() override { return system_.own_executable(); }
  Result<std::u16string> system_directory() override { return system_.system_directory(); }
  Result<std::u16string> windows_directory() override { return system_.windows_directory(); }
  std::optional<std::u16string> path_variable() override { return system_.path_variable(); }
  Result<std::u16string> full_path_name(std::u16string_view path) override {
    return system_.full_path_name(path);
  }
  bool exists(std::u16string_view path) override {
    if (!is_plain_local(path)) {
      return false;
    }
    const auto full = checked_full_path({}, path, system_);
    return full && system_.exists(*full);
  }

 private:
  SystemQueries& system_;
};

// The comparable full path of the program the launch would start: a bare name as the search finds it,
// a path from its checked full path (with .exe tried as the search does). Empty when none is found.
std::u16string program_path(const std::string& text, const std::u16string& full, SystemQueries& system) {
  LocalOnly local(system);
  const std::optional<std::string> searched = full.empty() ? std::optional(text) : utf16_to_utf8(full);
  if (!searched) {
    return {};
  }
  const auto found = resolve_program(*searched, local);
  if (!found || !is_plain_local(*found)) {
    return {};
  }
  return checked_full_path({}, *found, local).value_or(u"");
}

// 5. A listed entry: the texts a request may match, and the path it is opened by.
struct Entry {
  std::u16string full;                // comparable full path; empty when it is not a plain local path
  std::vector<std::u16string> forms;  // full, and its long and 8.3 forms where they differ
};

std::vector<Entry> listed_entries(const PathList& list, SystemQueries& system, FileProbe& probe) {
  std::vector<Entry> entries;
  for (const std::u16string& text : list.entries) {
    Entry entry;
    if (is_plain_local(text)) {
      entry.full = checked_full_path({}, text, system).value_or(u"");
    }
    if (!entry.full.empty()) {
      entry.forms.push_back(entry.full);
      for (const auto& form : {probe.long_form(entry.full), probe.short_form(entry.full)}) {
        if (form && std::ranges::none_of(entry.forms, [&](const auto& f) { return same_path(f, *form); })) {
          entry.forms.push_back(comparable_path(*form));
        }
      }
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

// 6. Whether a text matches one of the entry's forms: the same path, or within it.
bool names_entry(const std::u16string& path, const Entry& entry) {
  return std::ranges::any_of(entry.forms, [&](const auto& form) { return same_path(path, form); });
}
bool within_entry(const std::u16string& path, const Entry& entry, bool folder_itself) {
  return !path.empty() && std::ranges::any_of(entry.forms, [&](const auto& form) {
    return is_within(path, form, folder_itself);
  });
}

// 7. The final path of an opened listed entry, comparable; empty when it cannot be opened (a listed path
// that does not exist matches nothing) or is not what the rule wants.
std::u16string opened_entry(const Entry& entry, bool directory, FileProbe& probe) {
  if (entry.full.empty()) {
    return {};
  }
  auto opened = probe.open(entry.full, false);
  if (!opened || opened->directory != directory) {
    return {};
  }
  return comparable_path(opened->final_path);
}

// The program, if a list names it: the same text, then the same file.
std::expected<OpenedPath, std::string> check_program(const std::u16string& application,
                                                     const std::vector<Entry>& listed, FileProbe& probe) {
  const std::string refusal = "openvpn is not one of the programs in OpenVpnPrograms";
  std::vector<const Entry*> named;
  for (const Entry& entry : listed) {
    if (!application.empty() && names_entry(application, entry)) {
      named.push_back(&entry);
    }
  }
  if (named.empty()) {
    return Refusal(refusal);
  }
  auto opened = probe.open(application, true);
  if (!opened || opened->directory) {
    return Refusal(refusal);
  }
  const std::u16string final_path = comparable_path(opened->final_path);
  for (const Entry* entry : named) {
    const std::u16string listed_final = opened_entry(*entry, false, probe);
    if (!listed_final.empty() && same_path(final_path, listed_final)) {
      return std::move(*opened);
    }
  }
  return Refusal(refusal);
}

// A path that must lie in one of the listed folders: its text first, then the opened file's (or, for
// a log that does not exist yet, its folder's) final path.
struct PlacedField {
  std::string_view name;
  std::u16string full;
  bool log = false;      // may not exist yet; its folder may be the listed folder itself
  std::u16string where;  // what must lie in a listed folder: the file, or for a log its folder
};

// Where a placed field is, as opened.
struct Place {
  std::u16string where;  // final path of what must lie in a listed folder
  std::u16string file;   // final path of the file, or for a log to be made its folder's and its name
  std::optional<FileIdentity> identity;  // when the file exists
};

std::optional<Place> opened_place(const PlacedField& field, FileProbe& probe) {
  auto opened = probe.open(field.full, false);
  if (opened) {
    if (opened->directory) {
      return std::nullopt;
    }
    const std::u16string final_path = comparable_path(opened->final_path);
    return Place{field.log ? parent_directory(final_path).value_or(u"") : final_path, final_path,
                 opened->identity};
  }
  if (!field.log || opened.error() != Error::os(ERROR_FILE_NOT_FOUND)) {
    return std::nullopt;
  }
  const auto folder = parent_directory(field.full);
  if (!folder) {
    return std::nullopt;
  }
  auto opened_folder = probe.open(*folder, false);
  if (!opened_folder || !opened_folder->directory) {
    return std::nullopt;
  }
  const std::u16string folder_final = comparable_path(opened_folder->final_path);
  const std::u16string name = field.full.substr(field.full.find_last_of(u"\\/") + 1);
  return Place{folder_final, join_path(folder_final, name), std::nullopt};
}

std::optional<Place> placed_in(const PlacedField& field, const std::vector<Entry>& listed, FileProbe& probe) {
  auto place = opened_place(field, probe);
  if (!place || place->where.empty()) {
    return std::nullopt;
  }
  for (const Entry& entry : listed) {
    if (!within_entry(field.where, entry, field.log)) {
      continue;  // only what passed on its text is opened
    }
    const std::u16string listed_final = opened_entry(entry, true, probe);
    if (!listed_final.empty() && is_within(place->where, listed_final, field.log)) {
      return place;
    }
  }
  return std::nullopt;
}

std::string misplaced(const PlacedField& field) {
  return field.log ? "log is not in a folder in LogDirectories"
                   : std::string(field.name) + " is not a file in a folder in ConfigDirectories";
}

// A folder the log may not lie in, as the file system names it, or as written when it cannot be
// opened (a listed program not installed yet).
std::u16string folder_final(const std::u16string& folder, FileProbe& probe) {
  auto opened = probe.open(folder, false);
  return opened && opened->directory ? comparable_path(opened->final_path) : comparable_path(folder);
}

// 9. Why the log may not be where it is: a file of the connection or of the program, or where the
// configurations, the programs or the service itself live.
std::optional<std::string> log_refusal(const Place& log, const Place& config, const Place& auth,
                                       const OpenedPath& program, const std::vector<Entry>& configs,
                                       const std::vector<Entry>& programs, SystemQueries& system,
                                       FileProbe& probe) {
  if (log.identity) {
    for (const auto& [name, identity] :
         {std::pair{"config", config.identity}, std::pair{"auth", auth.identity},
          std::pair{"openvpn", std::optional(program.identity)}}) {
      if (identity == log.identity) {
        return std::string("log is the same file as ") + name;
      }
    }
  }
  for (const Entry& entry : configs) {
    if (!entry.full.empty() && is_within(log.file, folder_final(entry.full, probe))) {
      return "log is in a folder in ConfigDirectories";
    }
  }
  for (const Entry& entry : programs) {
    const auto folder = parent_directory(entry.full);
    if (folder && is_within(log.file, folder_final(*folder, probe))) {
      return "log is in the folder of a program in OpenVpnPrograms";
    }
  }
  if (is_within(log.file, comparable_path(parent_directory(program.final_path).value_or(u"")))) {
    return "log is in the folder of a program in OpenVpnPrograms";
  }
  const auto own = system.own_executable();
  const auto own_folder = own ? parent_directory(*own) : std::nullopt;
  if (own_folder && is_within(log.file, folder_final(*own_folder, probe))) {
    return "log is in the service's own folder";
  }
  return std::nullopt;
}

}  // namespace

std::expected<AllowedLaunch, PathRefusal> check_connect_paths(const Connect& request,
                                                              const PathPolicy& policy, SystemQueries& system,
                                                              FileProbe& probe) {
  if (!policy.any()) {
    return AllowedLaunch{};
  }
  // 1. The policy itself.
  if (auto refusal = policy_refusal(policy)) {
    return std::unexpected(std::move(*refusal));
  }
  // 2. The text rule, all four fields before anything is asked of the system.
  struct Field {
    std::string_view name;
    const std::string* text;
    std::u16string text16;
    std::u16string full;
  };
  std::array<Field, 4> fields = {{{"openvpn", &request.openvpn, {}, {}},
                                  {"config", &request.config, {}, {}},
                                  {"auth", &request.auth, {}, {}},
                                  {"log", &request.log, {}, {}}}};
  for (Field& field : fields) {
    field.text16 = utf8_to_utf16(*field.text);
    if (auto refusal = text_refusal(field.name, field.text16)) {
      return refused(std::move(*refusal));
    }
  }
  // 3. Full paths; a bare program name has none until it is found.
  for (Field& field : fields) {
    if (classify_path_text(field.text16, field.name == "openvpn") == PathText::BareName) {
      continue;
    }
    auto full = checked_full_path(field.name, field.text16, system);
    if (!full) {
      return refused(std::move(full.error()));
    }
    field.full = std::move(*full);
  }
  // 4. The program.
  const std::u16string application = program_path(request.openvpn, fields[0].full, system);
  // 5. The listed entries.
  const std::vector<Entry> programs = listed_entries(policy.programs, system, probe);
  const std::vector<Entry> configs = listed_entries(policy.configs, system, probe);
  const std::vector<Entry> logs = listed_entries(policy.logs, system, probe);
  // 6. On text.
  if (application.empty() ||
      std::ranges::none_of(programs, [&](const Entry& e) { return names_entry(application, e); })) {
    return refused("openvpn is not one of the programs in OpenVpnPrograms");
  }
  std::vector<PlacedField> placed;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const bool log = fields[i].name == "log";
    std::u16string where = log ? parent_directory(fields[i].full).value_or(u"") : fields[i].full;
    placed.push_back({fields[i].name, fields[i].full, log, std::move(where)});
  }
  for (const PlacedField& field : placed) {
    if (std::ranges::none_of(field.log ? logs : configs,
                             [&](const Entry& e) { return within_entry(field.where, e, field.log); })) {
      return refused(misplaced(field));
    }
  }
  // 7. A link as the log, looked at on its own name, before anything is opened.
  if (const auto link = probe.is_link(placed[2].full); !link || *link) {
    return refused("log is a symbolic link or junction");
  }
  // 8. As opened.
  auto program = check_program(application, programs, probe);
  if (!program) {
    return refused(program.error());
  }
  std::vector<Place> places;
  for (const PlacedField& field : placed) {
    auto place = placed_in(field, field.log ? logs : configs, probe);
    if (!place) {
      return refused(misplaced(field));
    }
    places.push_back(std::move(*place));
  }
  // 9. What the log may never be.
  if (auto refusal =
          log_refusal(places[2], places[0], places[1], *program, configs, programs, system, probe)) {
    return refused(std::move(*refusal));
  }
  AllowedLaunch allowed;
  allowed.application = program->final_path;
  allowed.program = std::move(*program);
  return allowed;
}

Result<OpenedPath> WindowsFileProbe::open(std::u16string_view path, bool exclusive) {
  const std::wstring wide = to_wide(path);
  const DWORD share = exclusive ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Backup semantics let a folder be opened; the quality of service keeps a pipe's server from acting
  // as the service's account, should a path lead to one.
  UniqueFile file(CreateFileW(wide.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                              nullptr));
  if (!file) {
    return std::unexpected(Error::os(GetLastError()));
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.get(), &information)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  std::wstring final_path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(file.get(), final_path.data(), static_cast<DWORD>(final_path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      return std::unexpected(Error::os(GetLastError()));
    }
    if (length < final_path.size()) {
      final_path.resize(length);
      break;
    }
    final_path.resize(length);
  }
  const FileIdentity identity{
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
  return OpenedPath{std::move(file), from_wide(final_path),
                    (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, identity};
}

Result<std::u16string> WindowsFileProbe::long_form(std::u16string_view path) { return long_path_name(path); }

// The attributes of the last part itself: GetFileAttributesW does not follow a link there.
Result<bool> WindowsFileProbe::is_link(std::u16string_view path) {
  const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return false;
    }
    return std::unexpected(Error::os(error));
  }
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

Result<std::u16string> WindowsFileProbe::short_form(std::u16string_view path) {
  return short_path_name(path);
}

}  // namespace orvanta::policy
