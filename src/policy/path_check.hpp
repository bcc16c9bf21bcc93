// The paths of a connect held against the administrator's path lists, as the file system sees them.
#pragma once

#include <windows.h>

#include <expected>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/handle.hpp"
#include "policy/policy_values.hpp"
#include "process/system_queries.hpp"
#include "protocol/request.hpp"

namespace orvanta::policy {

// A file or folder opened for a check, and the path the file system gives it.
struct OpenedPath {
  UniqueFile handle;
  std::u16string final_path;  // GetFinalPathNameByHandleW: \\?\C:\...
  bool directory = false;
};

// Every open the checks make goes through here, so that a test can see which paths were opened.
class PathOpener {
 public:
  virtual ~PathOpener() = default;
  // `exclusive`: nobody may write to or delete the file while the handle is held.
  [[nodiscard]] virtual Result<OpenedPath> open(std::u16string_view path, bool exclusive) = 0;
};

// Opens with identification-level impersonation only, so that a path that leads to a named pipe
// cannot let the pipe's server act as the service's account; folders open as well as files.
class WindowsPathOpener final : public PathOpener {
 public:
  Result<OpenedPath> open(std::u16string_view path, bool exclusive) override;
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
// ("openvpn", "config", "auth", "log"; empty when a policy value itself cannot be used).
struct PathRefusal {
  std::string reason;
  std::string field;
};

// Holds a connect against the path lists, field by field in the order openvpn, config, auth, log,
// and gives the launch or the refusal:
//   1. While any path value is set, on text alone: each field's full path must be a local drive path
//      (no \\server\share, \\.\ or \\?\UNC\), and must lie where the lists allow; the program is
//      resolved by the usual search first, looking at local paths only.
//   2. Only then, for what passed: the file or folder is opened and its final path compared with the
//      final paths of the listed entries, so that case, / and \, .., \\?\ and links all count as the
//      file system counts them. A listed path that does not exist matches nothing.
// A program must be one of the listed programs; config and auth existing files at any depth inside
// a listed folder; log a file (existing or not) whose folder is a listed folder or inside one.
[[nodiscard]] std::expected<AllowedLaunch, PathRefusal> check_connect_paths(const Connect& request,
                                                                            const PathPolicy& policy,
                                                                            SystemQueries& system,
                                                                            PathOpener& opener);

}  // namespace orvanta::policy
