// The record that outlives the service's process: written while a new OpenVPN is still suspended,
// cleared once it has ended, and read back once at start to adopt the OpenVPN that is still running.
#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/failure_log.hpp"
#include "common/utf16.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

namespace {

void report_not_kept(const Error& error) {
  report_failure(Failure::RunRecord, "the OpenVPN record could not be kept", error_text(error));
}

// What OpenVPN's handle to its job allows: ending the job and asking it which processes it holds,
// which is all that a later process of the service does with it.
constexpr DWORD given_job_access = JOB_OBJECT_QUERY | JOB_OBJECT_TERMINATE;
// What a recorded OpenVPN is opened for at start: waiting for it, ending it, asking its creation time
// and image, and taking its job handle back out of it.
constexpr DWORD adopted_access =
    SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_DUP_HANDLE;
// The most process ids read from a job whose membership is checked by its list; OpenVPN's tree is a
// handful of processes.
constexpr std::size_t max_listed_processes = 65536;

Result<std::uint64_t> creation_time(HANDLE process) {
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

Result<std::u16string> image_path(HANDLE process) {
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process, 0, image.data(), &size)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return from_wide(std::wstring_view(image.data(), size));
}

// The record of a launched OpenVPN, which is handed a handle to its job. A job's name is gone once
// the last handle to it closes, even while its processes live on, so after this process has died only
// a handle that OpenVPN itself holds can reach the job again. It is a handle given, not inherited:
// OpenVPN still inherits nothing but its three standard handles, never learns of this one, and passes
// it on to nothing it starts, since it is not inheritable.
Result<RunRecord> describe(HANDLE process, HANDLE job) {
  const Result<std::uint64_t> created = creation_time(process);
  if (!created) {
    return std::unexpected(created.error());
  }
  Result<std::u16string> image = image_path(process);
  if (!image) {
    return std::unexpected(image.error());
  }
  HANDLE given = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), job, process, &given, given_job_access, FALSE, 0)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return RunRecord{{GetProcessId(process), *created},
                   std::move(*image),
                   static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(given))};
}

// Whether the job's list of process ids holds `pid`.
bool listed_in_job(HANDLE job, DWORD pid) {
  static_assert(offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) == sizeof(ULONG_PTR));
  std::size_t capacity = 64;
  for (;;) {
    // The two counts fill the first element; the ids follow.
    std::vector<ULONG_PTR> storage(1 + capacity);
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(storage.data());
    const auto bytes = static_cast<DWORD>(storage.size() * sizeof(ULONG_PTR));
    if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, bytes, nullptr)) {
      const std::span ids(storage.data() + 1,
                          std::min<std::size_t>(list->NumberOfProcessIdsInList, capacity));
      return std::ranges::find(ids, ULONG_PTR{pid}) != ids.end();
    }
    if (GetLastError() != ERROR_MORE_DATA || capacity >= max_listed_processes) {
      return false;
    }
    capacity = std::max<std::size_t>(capacity * 2, list->NumberOfAssignedProcesses);
  }
}

// Whether the process is in the job. Windows answers IsProcessInJob for a process opened with
// PROCESS_QUERY_LIMITED_INFORMATION; Wine 8 refuses such a handle with ERROR_ACCESS_DENIED, leaving
// the answer unset, since it asks for PROCESS_QUERY_INFORMATION. A refused call is therefore answered
// from the job's list of process ids. The id names this process alone: its handle is held.
bool job_holds(HANDLE job, HANDLE process) {
  BOOL member = FALSE;
  if (IsProcessInJob(process, job, &member)) {
    return member != FALSE;
  }
  return listed_in_job(job, GetProcessId(process));
}

// OpenVPN's job, taken back out of OpenVPN; empty when the handle cannot be taken or is not a job
// that holds OpenVPN, and its stop then has taskkill alone.
UniqueHandle take_job_back(HANDLE openvpn, std::uint64_t value) {
  HANDLE job = nullptr;
  if (value == 0 || !DuplicateHandle(openvpn, reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)),
                                     GetCurrentProcess(), &job, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  UniqueHandle taken(job);
  return job_holds(taken.get(), openvpn) ? std::move(taken) : UniqueHandle();
}

// The process under a recorded id, opened, with what the match rule needs; `why` is set when the
// outcome is Unknown.
struct Lookup {
  FoundProcess found;
  UniqueHandle process;
  std::optional<Error> why;
};

Lookup look_up(std::uint32_t pid) {
  Lookup lookup;
  lookup.process.reset(OpenProcess(adopted_access, FALSE, pid));
  if (!lookup.process) {
    const DWORD error = GetLastError();
    // OpenProcess names a missing process by an invalid parameter.
    lookup.found.outcome =
        error == ERROR_INVALID_PARAMETER ? FoundProcess::Outcome::Gone : FoundProcess::Outcome::Unknown;
    lookup.why = Error::os(error);
    return lookup;
  }
  const DWORD waited = WaitForSingleObject(lookup.process.get(), 0);
  if (waited == WAIT_OBJECT_0) {
    lookup.found.outcome = FoundProcess::Outcome::Gone;
    return lookup;
  }
  if (waited != WAIT_TIMEOUT) {
    lookup.why = Error::os(GetLastError());
    return lookup;
  }
  Result<std::uint64_t> created = creation_time(lookup.process.get());
  Result<std::u16string> image =
      created ? image_path(lookup.process.get()) : std::unexpected(created.error());
  if (!image) {
    lookup.why = image.error();
    return lookup;
  }
  lookup.found = {FoundProcess::Outcome::Running, *created, std::move(*image)};
  return lookup;
}

}  // namespace

RunIdentity HelperState::keep_record(HANDLE process, HANDLE job, const RunExtras& extras) noexcept {
  RunIdentity run{GetProcessId(process), creation_time(process).value_or(0)};
  if (!store_) {
    return run;
  }
  try {
    const Result<RunRecord> record = describe(process, job);
    Result<void> kept = record ? Result<void>() : std::unexpected(record.error());
    if (record) {
      run.created = record->identity.created;
      const std::u16string text = encode_run_record(*record);
      const std::lock_guard stored(store_mutex_);
      kept = store_->save(text, extras);
    }
    if (!kept) {
      // The connect goes on: the record in memory is what requests are answered from.
      report_not_kept(kept.error());
    }
  } catch (const std::bad_alloc&) {
    // No memory for the record: OpenVPN runs on with the record in memory alone.
  }
  return run;
}

void HelperState::forget_record(const std::optional<RunIdentity>& run, const LastExit* exit) noexcept {
  if (!store_ || !run) {
    return;
  }
  try {
    std::optional<Error> failed;
    {
      const std::lock_guard stored(store_mutex_);
      // Kept first: a record cleared without its exit would leave the next start to call it lost.
      if (exit) {
        if (Result<void> kept = store_->save_last_exit(utf8_to_utf16(encode_last_exit(*exit))); !kept) {
          failed = kept.error();
        }
      }
      const Result<std::optional<std::u16string>> text = store_->load();
      if (!text) {
        failed = text.error();
      } else if (const auto record = *text ? decode_run_record(**text) : std::nullopt;
                 record && record->identity == *run) {
        if (Result<void> erased = store_->erase(); !erased) {
          failed = erased.error();
        }
      }
    }
    if (failed) {
      report_not_kept(*failed);
    }
  } catch (const std::bad_alloc&) {
    // No memory to read the record with: it stays, and the next start finds its process gone.
  }
}

void HelperState::adopt_recorded() noexcept {
  if (!store_) {
    return;
  }
  try {
    adopt_stored();
  } catch (const std::bad_alloc&) {
    // No memory to adopt with: the record stays for the next start, and OpenVPN runs on unreached.
  }
}

void HelperState::adopt_stored() {
  std::optional<LastExit> last_exit;
  {
    const std::lock_guard stored(store_mutex_);
    // How the last OpenVPN of this boot ended, whether or not one runs now.
    if (const Result<std::optional<std::u16string>> exit = store_->load_last_exit(); exit && *exit) {
      last_exit =
          utf16_to_utf8(**exit).and_then([](const std::string& text) { return decode_last_exit(text); });
    }
  }
  if (last_exit) {
    const std::lock_guard recorded(record_mutex_);
    last_exit_ = last_exit;
  }
  std::optional<RunRecord> record;
  RunExtras extras;
  {
    const std::lock_guard stored(store_mutex_);
    const Result<std::optional<std::u16string>> text = store_->load();
    if (!text) {
      report_not_kept(text.error());  // kept: it may name an OpenVPN that runs
      return;
    }
    if (!*text) {
      return;
    }
    record = decode_run_record(**text);
    if (!record) {
      // It names no process that could be checked, and nothing could ever reach one through it.
      const Result<void> erased = store_->erase();
      report_not_kept(erased ? Error::fixed("the stored record is unreadable") : erased.error());
      return;
    }
    // A version-1 record has none; a store that cannot give them leaves the stop forced and the
    // phase unknown, as for a version-1 record.
    extras = store_->load_extras().value_or(RunExtras{});
  }
  Lookup lookup = look_up(record->identity.pid);
  switch (judge_found(*record, lookup.found)) {
    case Adoption::Keep:
      report_not_kept(lookup.why.value_or(Error::fixed("the recorded process cannot be checked")));
      return;
    case Adoption::Clear: {
      // Nothing is ended: it is not, or is no more, our OpenVPN. It ended while the service was down,
      // unless the exit kept already is its own (the service died between keeping it and clearing).
      if (last_exit && last_exit->pid == record->identity.pid) {
        forget_record(record->identity);
        return;
      }
      const LastExit lost{record->identity.pid, system_time_now(), std::nullopt, ExitCause::Lost,
                          std::nullopt};
      {
        const std::lock_guard recorded(record_mutex_);
        last_exit_ = lost;
      }
      forget_record(record->identity, &lost);
      return;
    }
    case Adoption::Adopt:
      break;
  }
  UniqueHandle job = take_job_back(lookup.process.get(), record->job);
  // Without the event's name (a version-1 record), or with an event gone, the stop forces.
  UniqueHandle exit_event = extras.exit_event ? open_exit_event(*extras.exit_event) : UniqueHandle();
  // A version-2 record names the log it reads, or none (empty); with no word of it at all, OpenVPN is
  // taken to be connecting, since nothing can tell.
  std::optional<std::u16string> log;
  if (extras.log && !extras.log->empty()) {
    log = extras.log;
  }
  const auto watch =
      std::make_shared<RunWatch>(std::move(log), extras.log ? Phase::Starting : Phase::Connecting);
  watch->begin(record->identity.pid, record->identity.created);
  Child adopted(std::move(lookup.process), UniqueHandle());
  // Before the first request, so nothing is recorded yet.
  const std::lock_guard recorded(record_mutex_);
  child_ = std::move(adopted);
  run_ = record->identity;
  job_ = std::move(job);
  exit_event_ = std::move(exit_event);
  watch_ = watch;
}

}  // namespace orvanta
