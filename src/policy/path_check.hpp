// The paths of a connect held against the administrator's path lists, as the file system sees them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "policy/policy_values.hpp"
#include "process/system_queries.hpp"
#include "protocol/request.hpp"

namespace orvanta::policy {

// The file a handle is open on, as the file system tells files apart: two names of one file (a hard
// link) have the same identity.
struct FileIdentity {
  std::uint32_t volume = 0;  // the volume's serial number
  std::uint64_t index = 0;   // the file's index on it
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// A file or folder opened for a check, and the path the file system gives it.
struct OpenedPath {
  UniqueFile handle;
  std::u16string final_path;  // GetFinalPathNameByHandleW: \\?\C:\...
  bool directory = false;
  FileIdentity identity;
};

// Every open and every lookup of another name for a path that the checks make goes through here (the
// rest they ask of SystemQueries), so that a test can see what was opened and asked.
class FileProbe {
 public:
  virtual ~FileProbe() = default;
  // `exclusive`: nobody may write to or delete the file while the handle is held.
  [[nodiscard]] virtual Result<OpenedPath> open(std::u16string_view path, bool exclusive) = 0;
  // GetLongPathNameW and GetShortPathNameW: the path with each part in its long or its 8.3 name.
  [[nodiscard]] virtual Result<std::u16string> long_form(std::u16string_view path) = 0;
  [[nodiscard]] virtual Result<std::u16string> short_form(std::u16string_view path) = 0;
  // Whether the path's last part is itself a reparse point (a symbolic link, a junction), whether or
  // not what it points to exists; false when nothing is there.
  [[nodiscard]] virtual Result<bool> is_link(std::u16string_view path) = 0;
};

// Opens with identification-level impersonation only, so that a path that leads to a named pipe
// cannot let the pipe's server act as the service's account; folders open as well as files.
class WindowsFileProbe final : public FileProbe {
 public:
  Result<OpenedPath> open(std::u16string_view path, bool exclusive) override;
  Result<std::u16string> long_form(std::u16string_view path) override;
  Result<std::u16string> short_form(std::u16string_view path) override;
  Result<bool> is_link(std::u16string_view path) override;
};

// What a connect goes on with once its paths are allowed.
struct AllowedLaunch {
  // The executable to start, resolved (and, with a program list, opened and checked): the launch
  // takes it as it is and searches no more. Empty when no path value is set.
  std::u16string application;
  // With a program list: the program held open, without write or delete sharing, until the launch.
  std::optional<OpenedPath> program;
};

// Why a connect's paths are refused: the reason, naming the field and the rule, and the field
// ("openvpn", "config", "auth", "log"; empty when a policy value itself is missing or unusable).
struct PathRefusal {
  std::string reason;
  std::string field;
  bool incomplete = false;  // some of the three lists are set, not all
};

// Holds a connect against the path lists, in one pass from top to bottom; the first rule broken
// refuses it:
//   1. The policy: while any of OpenVpnPrograms, ConfigDirectories and LogDirectories is set, all three
//      must be, and usable.
//   2. The text rule, on each field's text as sent, before anything is asked of the system: only
//      plain local paths (classify_path_text); the program may also be a bare name.
//   3. Each path's full path (GetFullPathNameW); every later probe and open uses it, never the text.
//   4. The program as the launch would find it: a bare name by the program search, which probes
//      local paths only.
//   5. The listed entries: their full paths, and the long and 8.3 forms of those, since a client may
//      write either (C:\PROGRA~1\...); the client's text itself is never expanded.
//   6. On text: the program must be a listed program, config and auth must lie at any depth inside a
//      listed config folder, the log's folder must be a listed log folder or inside one.
//   7. The log is never a link or junction itself, dangling or not: an open follows it, so a dangling
//      one passes for a new file, and OpenVPN, as SYSTEM, would then make the file it points to.
//   8. Only then, for what passed: the file or folder is opened and its final path compared with the
//      final paths of the entries it matched, so that case, / and \, .., \\?\ and links all count as
//      the file system counts them. A listed path that does not exist matches nothing.
//   9. The log is never a file of the connection or of the program (the same file as config, auth or
//      openvpn) nor inside a config folder, a listed program's folder or the service's own folder:
//      OpenVPN opens its log as SYSTEM and truncates it.
[[nodiscard]] std::expected<AllowedLaunch, PathRefusal> check_connect_paths(const Connect& request,
                                                                            const PathPolicy& policy,
                                                                            SystemQueries& system,
                                                                            FileProbe& probe);

}  // namespace orvanta::policy
