// Ending the recorded OpenVPN together with every process it started.
#include <array>
#include <chrono>
#include <new>
#include <utility>
#include <variant>

#include "vpn/commands.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

namespace {

// How long a stop waits for the terminated tree to be gone. Termination cannot be undone once it has
// been issued, so this wait only confirms it; a process that outlasts it is stuck in the kernel, and
// waiting on would hold up every connect, disconnect and service stop behind it. On expiry the stop
// goes on as if the tree had ended: it runs taskkill, releases the handles and clears the record.
constexpr ULONGLONG tree_exit_wait_ms = 5000;
// How long taskkill may run before the stop ends it and goes on.
constexpr DWORD taskkill_wait_ms = 10000;
// How long a taskkill that was ended may take to be gone.
constexpr DWORD ended_taskkill_wait_ms = 2000;
constexpr DWORD job_poll_ms = 5;
constexpr int job_settle_looks = 40;

bool job_has_processes(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                 nullptr)) {
    return false;  // nothing to learn from a job that cannot be asked; the stop goes on
  }
  return accounting.ActiveProcesses != 0;
}

// Waits for the process to end, at most `milliseconds`, and no longer than until the shutdown timer
// goes off (when there is one). Whether the process has ended.
bool ends_within(HANDLE process, HANDLE shutdown_timer, DWORD milliseconds) {
  const std::array<HANDLE, 2> handles{process, shutdown_timer};
  const DWORD count = shutdown_timer != nullptr ? 2 : 1;
  return WaitForMultipleObjects(count, handles.data(), FALSE, milliseconds) == WAIT_OBJECT_0;
}

// Waits, until the deadline at most, for OpenVPN and then for the last process of its job to end.
void wait_for_tree(const std::optional<Child>& openvpn, HANDLE job, HANDLE shutdown_timer) {
  const ULONGLONG deadline = GetTickCount64() + tree_exit_wait_ms;
  const auto remaining = [deadline] {
    const ULONGLONG now = GetTickCount64();
    return static_cast<DWORD>(now < deadline ? deadline - now : 0);
  };
  if (openvpn) {
    (void)ends_within(openvpn->process_handle(), shutdown_timer, remaining());
  }
  if (job != nullptr) {
    while (job_has_processes(job) && remaining() > 0) {
      // The shutdown timer serves as the pause between looks; once it has gone off, no more looks.
      if (shutdown_timer != nullptr ? WaitForSingleObject(shutdown_timer, job_poll_ms) == WAIT_OBJECT_0
                                    : (Sleep(job_poll_ms), false)) {
        return;
      }
    }
  }
}

// Every outcome is ignored: taskkill only backs up the job, which has already ended the tree.
void run_taskkill(std::uint32_t pid, const SpawnOptions& options, HANDLE shutdown_timer) {
  Result<Child> taskkill = spawn(taskkill_command(pid), options);
  if (!taskkill) {
    return;
  }
  if (!ends_within(taskkill->process_handle(), shutdown_timer, taskkill_wait_ms)) {
    (void)taskkill->kill();
    (void)taskkill->wait_for(ended_taskkill_wait_ms);
  }
}

// Whether the job holds no process, or soon none: the system takes an ended process out of its job's
// count a moment after the process itself is signalled.
bool job_empties(HANDLE job) {
  for (int look = 0; job_has_processes(job); ++look) {
    if (look == job_settle_looks) {
      return false;
    }
    Sleep(job_poll_ms);
  }
  return true;
}

// Waits at most `grace` for OpenVPN to end by itself, and no longer than the shutdown's deadline or
// its grace allow. Whether it has ended.
bool ends_by_itself(HANDLE process, std::chrono::milliseconds grace, HANDLE shutdown_timer,
                    HANDLE grace_timer) {
  std::array<HANDLE, 3> handles{process};
  DWORD count = 1;
  for (const HANDLE timer : {shutdown_timer, grace_timer}) {
    if (timer != nullptr) {
      handles[count++] = timer;
    }
  }
  return WaitForMultipleObjects(count, handles.data(), FALSE, static_cast<DWORD>(grace.count())) ==
         WAIT_OBJECT_0;
}

}  // namespace

void HelperState::end_tree(Recorded& taken, std::chrono::milliseconds grace) {
  // Whether OpenVPN had already ended is asked first: one that ended before the stop began was not
  // ended by the service, and its own lines say why.
  std::optional<ExitStatus> code;
  bool ended_before = false;
  if (taken.child) {
    if (const Result<WaitState> waited = taken.child->try_wait();
        waited && std::holds_alternative<ExitStatus>(*waited)) {
      code = std::get<ExitStatus>(*waited);
      ended_before = true;
    } else if (taken.exit_event && grace.count() > 0 && SetEvent(taken.exit_event.get()) &&
               ends_by_itself(taken.child->process_handle(), grace, shutdown_timer_.get(),
                              grace_timer_.get())) {
      // It ran its own exit path: its routes and DNS changes are undone.
      if (const Result<WaitState> ended = taken.child->try_wait();
          ended && std::holds_alternative<ExitStatus>(*ended)) {
        code = std::get<ExitStatus>(*ended);
      }
    }
  }
  // What OpenVPN started may outlive it; only an empty job needs no more.
  const bool tree_ended = code && taken.job && job_empties(taken.job.get());
  if (!tree_ended) {
    // The job reaches every process OpenVPN started, also where taskkill cannot (missing, failing, or
    // without /T). Killing the Child as well ends OpenVPN even if the job could not be ended.
    if (taken.job) {
      (void)TerminateJobObject(taken.job.get(), 1);
    }
    if (taken.child) {
      (void)taken.child->kill();
    }
    wait_for_tree(taken.child, taken.job.get(), shutdown_timer_.get());

    // taken.child still holds OpenVPN's process handle, and an id is not given to another process while
    // a handle to its process is open: taskkill can only meet our OpenVPN under this id.
    if (taken.run) {
      try {
        run_taskkill(taken.run->pid, spawn_options(nullptr), shutdown_timer_.get());
      } catch (const std::bad_alloc&) {
        // No memory to start taskkill with: the job has ended the tree all the same.
      }
    }
  }
  if (taken.watch && taken.child) {
    settle(taken.watch, taken.run, taken.child->process_handle(), !ended_before, code);
  } else {
    forget_record(taken.run);
  }
  // Releasing `taken` closes the handles.
}

void HelperState::stop_openvpn(std::chrono::milliseconds grace) {
  Recorded taken;
  {
    const std::lock_guard record(record_mutex_);
    ++active_;
    // From here on `status` answers "stopped", and `state` "stopping" until the tree has ended; the rest
    // runs without the record lock.
    taken = take_record();
  }
  const Activity counted(*this);
  end_tree(taken, grace);
}

}  // namespace orvanta
