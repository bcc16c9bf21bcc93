// Checking a connect's paths: first on their text, then, for what passed, as opened files.
#include "policy/path_check.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

#include "common/utf16.hpp"
#include "policy/path_text.hpp"
#include "process/path_rules.hpp"
#include "process/program_search.hpp"

namespace orvanta::policy {

namespace {

using Refusal = std::unexpected<std::string>;

// The field a reason names is its first word ("config is not ..."); a policy value's name is none.
std::unexpected<PathRefusal> refused(std::string reason) {
  const std::string first = reason.substr(0, reason.find(' '));
  const bool names_a_field = first == "openvpn" || first == "config" || first == "auth" || first == "log";
  return std::unexpected(PathRefusal{std::move(reason), names_a_field ? first : std::string()});
}

// Program search that never looks at a network or device path: whether a candidate exists is not
// even asked there, since asking is already reaching out with the service's account.
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
    const auto full = system_.full_path_name(path);
    return full && !is_network_or_device(*full) && system_.exists(path);
  }

 private:
  SystemQueries& system_;
};

// A listed entry, as its text compares and as the file system gives it once opened.
struct Entry {
  std::u16string full;  // comparable full path; empty when the entry is not a local path
};

std::vector<Entry> full_paths(const PathList& list, SystemQueries& system) {
  std::vector<Entry> entries;
  for (const std::u16string& text : list.entries) {
    const auto full = system.full_path_name(text);
    entries.push_back({full && !is_network_or_device(*full) ? comparable_path(*full) : std::u16string()});
  }
  return entries;
}

// The comparable full path of a request field that is a local path.
std::expected<std::u16string, std::string> local_full_path(std::string_view field, std::string_view text,
                                                           SystemQueries& system) {
  const std::u16string path = utf8_to_utf16(text);
  const auto full = path.find(u'\0') == std::u16string::npos
                        ? system.full_path_name(path)
                        : Result<std::u16string>(std::unexpected(Error::os(0)));
  if (!full) {
    return Refusal(std::string(field) + " is not a path");
  }
  if (is_network_or_device(*full)) {
    return Refusal(std::string(field) + " is a network or device path");
  }
  return comparable_path(*full);
}

std::string unusable(const char* value, const PathList& list) {
  return std::string(value) + " cannot be used: " + list.problem;
}

// The final path of an opened listed entry, comparable; empty when it cannot be opened (a listed path
// that does not exist matches nothing) or is not what the rule wants.
std::u16string opened_entry(const Entry& entry, bool directory, PathOpener& opener) {
  if (entry.full.empty()) {
    return {};
  }
  auto opened = opener.open(entry.full, false);
  if (!opened || opened->directory != directory) {
    return {};
  }
  return comparable_path(opened->final_path);
}

// The program, if a list names it: the same text, then the same file.
std::expected<std::optional<OpenedPath>, std::string> check_program(const std::u16string& application,
                                                                    const std::vector<Entry>& listed,
                                                                    PathOpener& opener) {
  const std::string refusal = "openvpn is not one of the programs in OpenVpnPrograms";
  std::vector<const Entry*> named;
  for (const Entry& entry : listed) {
    if (!entry.full.empty() && same_path(application, entry.full)) {
      named.push_back(&entry);
    }
  }
  if (named.empty()) {
    return Refusal(refusal);
  }
  auto opened = opener.open(application, true);
  if (!opened || opened->directory) {
    return Refusal(refusal);
  }
  const std::u16string final_path = comparable_path(opened->final_path);
  for (const Entry* entry : named) {
    const std::u16string listed_final = opened_entry(*entry, false, opener);
    if (!listed_final.empty() && same_path(final_path, listed_final)) {
      return std::optional<OpenedPath>(std::move(*opened));
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

bool text_is_placed(const PlacedField& field, const Entry& entry) {
  return !entry.full.empty() && !field.where.empty() && is_within(field.where, entry.full, field.log);
}

std::u16string opened_place(const PlacedField& field, PathOpener& opener) {
  auto opened = opener.open(field.full, false);
  if (opened) {
    if (opened->directory) {
      return {};
    }
    const std::u16string final_path = comparable_path(opened->final_path);
    return field.log ? parent_directory(final_path).value_or(u"") : final_path;
  }
  if (!field.log || opened.error() != Error::os(ERROR_FILE_NOT_FOUND)) {
    return {};
  }
  const auto folder = parent_directory(field.full);
  if (!folder) {
    return {};
  }
  auto opened_folder = opener.open(*folder, false);
  if (!opened_folder || !opened_folder->directory) {
    return {};
  }
  return comparable_path(opened_folder->final_path);
}

bool file_is_placed(const PlacedField& field, const std::vector<Entry>& listed, PathOpener& opener) {
  const std::u16string final_place = opened_place(field, opener);
  if (final_place.empty()) {
    return false;
  }
  for (const Entry& entry : listed) {
    if (!text_is_placed(field, entry)) {
      continue;  // only what passed on its text is opened
    }
    const std::u16string listed_final = opened_entry(entry, true, opener);
    if (!listed_final.empty() && is_within(final_place, listed_final, field.log)) {
      return true;
    }
  }
  return false;
}

std::string misplaced(const PlacedField& field) {
  return field.log ? "log is not in a folder in LogDirectories"
                   : std::string(field.name) + " is not a file in a folder in ConfigDirectories";
}

}  // namespace

std::expected<AllowedLaunch, PathRefusal> check_connect_paths(const Connect& request,
                                                              const PathPolicy& policy, SystemQueries& system,
                                                              PathOpener& opener) {
  if (!policy.any()) {
    return AllowedLaunch{};
  }
  using State = PathList::State;
  // 1. On text alone. The program text is looked at as written and as resolved.
  LocalOnly local(system);
  if (auto program_text = local_full_path("openvpn", request.openvpn, local); !program_text) {
    return refused(program_text.error());
  }
  std::vector<PlacedField> placed;
  for (const auto& [name, text, log] :
       {std::tuple{"config", &request.config, false}, std::tuple{"auth", &request.auth, false},
        std::tuple{"log", &request.log, true}}) {
    auto full = local_full_path(name, *text, local);
    if (!full) {
      return refused(full.error());
    }
    std::u16string where = log ? parent_directory(*full).value_or(u"") : *full;
    placed.push_back({name, std::move(*full), log, std::move(where)});
  }
  AllowedLaunch allowed;
  if (auto application = resolve_program(request.openvpn, local); application) {
    if (auto full = local.full_path_name(*application); full && !is_network_or_device(*full)) {
      allowed.application = std::move(*full);
    }
  }
  const std::vector<Entry> programs = full_paths(policy.programs, local);
  const std::vector<Entry> configs = full_paths(policy.configs, local);
  const std::vector<Entry> logs = full_paths(policy.logs, local);
  if (policy.programs.state == State::Unusable) {
    return refused(unusable("OpenVpnPrograms", policy.programs));
  }
  const std::u16string application = comparable_path(allowed.application);
  if (policy.programs.state == State::Listed &&
      (allowed.application.empty() || std::ranges::none_of(programs, [&](const Entry& e) {
         return !e.full.empty() && same_path(application, e.full);
       }))) {
    return refused("openvpn is not one of the programs in OpenVpnPrograms");
  }
  for (const PlacedField& field : placed) {
    const PathList& list = field.log ? policy.logs : policy.configs;
    if (list.state == State::Unusable) {
      return refused(unusable(field.log ? "LogDirectories" : "ConfigDirectories", list));
    }
    if (list.state == State::Listed && std::ranges::none_of(field.log ? logs : configs, [&](const Entry& e) {
          return text_is_placed(field, e);
        })) {
      return refused(misplaced(field));
    }
  }
  // 2. As opened.
  if (policy.programs.state == State::Listed) {
    auto program = check_program(application, programs, opener);
    if (!program) {
      return refused(program.error());
    }
    allowed.application = (*program)->final_path;
    allowed.program = std::move(*program);
  }
  for (const PlacedField& field : placed) {
    const PathList& list = field.log ? policy.logs : policy.configs;
    if (list.state == State::Listed && !file_is_placed(field, field.log ? logs : configs, opener)) {
      return refused(misplaced(field));
    }
  }
  return allowed;
}

Result<OpenedPath> WindowsPathOpener::open(std::u16string_view path, bool exclusive) {
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
  return OpenedPath{std::move(file), from_wide(final_path),
                    (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
}

}  // namespace orvanta::policy
