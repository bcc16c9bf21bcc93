// Launching a child: its standard handles, what it may inherit, its creation, and the job it runs in.
#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "common/utf16.hpp"
#include "process/child.hpp"
#include "process/launch_plan.hpp"
#include "process/windows_system_queries.hpp"

namespace orvanta {

namespace {

// Guards the span in which one launch's inheritable standard handles exist, from their making until
// CreateProcessW has returned, so that no other launch creates a process meanwhile. No other lock is
// taken while it is held.
std::mutex process_creation_lock;

// The child's handle for one stream: null when the stream is inherited and this process has none, which
// is the normal case for a service. Every handle made here is inheritable.
Result<UniqueHandle> make_standard_handle(DWORD stream, std::optional<StdioMode> setting) {
  if (setting.value_or(StdioMode::Inherit) == StdioMode::Null) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    const DWORD access = stream == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE;
    const HANDLE null_device =
        CreateFileW(L"\\\\.\\NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    if (null_device == INVALID_HANDLE_VALUE) {
      return std::unexpected(Error::os(GetLastError()));
    }
    // Held with the other standard handles, whose empty value is null; a successful open is never null.
    return UniqueHandle(null_device);
  }
  const HANDLE own = GetStdHandle(stream);
  if (own == nullptr || own == INVALID_HANDLE_VALUE) {
    return UniqueHandle();
  }
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &duplicate, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return UniqueHandle(duplicate);
}

// The child's standard handles, and the read end of its output pipe when it has one.
struct StandardHandles {
  std::array<UniqueHandle, 3> child;
  UniqueHandle output;
};

// The pipe's buffer: room for a burst of lines while the reader is busy elsewhere.
constexpr DWORD output_pipe_bytes = 65536;

// Standard input, output and error of one child; a failure closes the ones already made. Output and
// error set to Pipe get one pipe between them, each its own inheritable duplicate of the write end, so
// that the child still inherits exactly three handles; the read end is never inheritable.
Result<StandardHandles> make_standard_handles(const Command& command) {
  StandardHandles handles;
  const std::array<std::pair<DWORD, std::optional<StdioMode>>, 3> streams = {{
      {STD_INPUT_HANDLE, command.stdin_setting()},
      {STD_OUTPUT_HANDLE, command.stdout_setting()},
      {STD_ERROR_HANDLE, command.stderr_setting()},
  }};
  UniqueHandle pipe_write;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (streams[i].second == StdioMode::Pipe && streams[i].first != STD_INPUT_HANDLE) {
      if (!pipe_write) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!CreatePipe(&read, &write, nullptr, output_pipe_bytes)) {
          return std::unexpected(Error::os(GetLastError()));
        }
        handles.output.reset(read);
        pipe_write.reset(write);
      }
      HANDLE duplicate = nullptr;
      if (!DuplicateHandle(GetCurrentProcess(), pipe_write.get(), GetCurrentProcess(), &duplicate, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return std::unexpected(Error::os(GetLastError()));
      }
      handles.child[i].reset(duplicate);
      continue;
    }
    auto handle = make_standard_handle(streams[i].first, streams[i].second);
    if (!handle) {
      return std::unexpected(handle.error());
    }
    handles.child[i] = std::move(*handle);
  }
  return handles;
}

// The attribute list of a STARTUPINFOEXW that names the only handles a child inherits. The list points
// into the span it was given, which must outlive it.
class InheritList {
 public:
  InheritList() = default;
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  ~InheritList() {
    if (list_ != nullptr) {
      DeleteProcThreadAttributeList(list_);
    }
  }

  Result<LPPROC_THREAD_ATTRIBUTE_LIST> init(std::span<HANDLE> handles) {
    SIZE_T size = 0;
    // Asking with no buffer fails by design and gives the size the list needs.
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) {
      return std::unexpected(Error::os(GetLastError()));
    }
    storage_ = std::make_unique<std::byte[]>(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      return std::unexpected(Error::os(GetLastError()));
    }
    list_ = list;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                   handles.size_bytes(), nullptr, nullptr)) {
      return std::unexpected(Error::os(GetLastError()));
    }
    return list;
  }

 private:
  std::unique_ptr<std::byte[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A PROCESS_INFORMATION's two handles, owned from the moment CreateProcessW has filled them in.
struct CreatedProcess {
  UniqueHandle process;
  UniqueHandle thread;
  UniqueHandle output;  // the read end of the output pipe, when the command asked for one
};

Result<CreatedProcess> create_process(const LaunchPlan& plan, const Command& command, DWORD extra_flags) {
  const std::wstring application = to_wide(plan.application);
  std::wstring command_line = to_wide(plan.command_line);  // CreateProcessW may write into it

  const std::lock_guard lock(process_creation_lock);
  // Made after the lock is taken and destroyed before it is released.
  auto standard = make_standard_handles(command);
  if (!standard) {
    return std::unexpected(standard.error());
  }
  std::array<HANDLE, 3> inherited{};
  std::size_t inherited_count = 0;
  for (const UniqueHandle& handle : standard->child) {
    if (handle) {
      inherited[inherited_count++] = handle.get();
    }
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(STARTUPINFOW);
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | extra_flags;
  BOOL inherit_handles = FALSE;
  InheritList inherit_list;
  // Inheritance on hands the child every inheritable handle of this process, not just the standard
  // ones: under Wine even a socket from accept is inheritable, and a child holding a client's
  // connection keeps it open for as long as it runs. So the child gets an explicit list of its
  // standard handles and nothing else. The system refuses an empty list, and inheritance on without
  // one would leak everything, so a child with no standard handles inherits nothing at all.
  if (inherited_count > 0) {
    auto attributes = inherit_list.init(std::span(inherited.data(), inherited_count));
    if (!attributes) {
      return std::unexpected(attributes.error());
    }
    startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);  // the record now carries the list
    startup.lpAttributeList = *attributes;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = standard->child[0].get();
    startup.StartupInfo.hStdOutput = standard->child[1].get();
    startup.StartupInfo.hStdError = standard->child[2].get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
    inherit_handles = TRUE;
  }

  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, inherit_handles, flags,
                      nullptr, nullptr, &startup.StartupInfo, &info)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return CreatedProcess{UniqueHandle(info.hProcess), UniqueHandle(info.hThread), std::move(standard->output)};
}

// A supervised child runs its first instruction inside the job, so that nothing it starts can be
// outside it when the job is ended. One that cannot be placed is ended before it ever ran.
Result<void> place_in_job(const CreatedProcess& created, const SpawnOptions& options) {
  DWORD error = ERROR_SUCCESS;
  if (!AssignProcessToJobObject(options.job, created.process.get())) {
    error = GetLastError();
  } else {
    if (options.before_resume) {
      options.before_resume(created.process.get());
    }
    if (ResumeThread(created.thread.get()) == static_cast<DWORD>(-1)) {
      error = GetLastError();
    }
  }
  if (error == ERROR_SUCCESS) {
    return {};
  }
  // The placement's error is the one to report; a failure to end a process that never ran is dropped.
  TerminateProcess(created.process.get(), 1);
  return std::unexpected(Error::os(error));
}

}  // namespace

Result<Child> spawn(const Command& command, const SpawnOptions& options) {
  WindowsSystemQueries windows;
  auto plan =
      plan_launch(command, options.system != nullptr ? *options.system : windows, options.application);
  if (!plan) {
    return std::unexpected(plan.error());
  }
  auto created = create_process(
      *plan, command,
      (options.job != nullptr ? CREATE_SUSPENDED : 0) | (options.without_console ? DETACHED_PROCESS : 0));
  if (!created) {
    return std::unexpected(created.error());
  }
  if (options.job != nullptr) {
    if (auto placed = place_in_job(*created, options); !placed) {
      return std::unexpected(placed.error());
    }
  }
  return Child(std::move(created->process), std::move(created->thread), std::move(created->output));
}

}  // namespace orvanta
