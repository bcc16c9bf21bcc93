// Ending the recorded OpenVPN together with every process it started.
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
constexpr DWORD job_poll_ms = 5;

bool job_has_processes(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                 nullptr)) {
    return false;  // nothing to learn from a job that cannot be asked; the stop goes on
  }
  return accounting.ActiveProcesses != 0;
}

// Waits, until the deadline at most, for OpenVPN and then for the last process of its job to end.
void wait_for_tree(const std::optional<Child>& openvpn, HANDLE job) {
  const ULONGLONG deadline = GetTickCount64() + tree_exit_wait_ms;
  const auto remaining = [deadline] {
    const ULONGLONG now = GetTickCount64();
    return static_cast<DWORD>(now < deadline ? deadline - now : 0);
  };
  if (openvpn) {
    (void)openvpn->wait_for(remaining());
  }
  if (job != nullptr) {
    while (job_has_processes(job) && remaining() > 0) {
      Sleep(job_poll_ms);
    }
  }
}

// Every outcome is ignored: taskkill only backs up the job, which has already ended the tree.
void run_taskkill(std::uint32_t pid) {
  Result<Child> taskkill = spawn(taskkill_command(pid));
  if (!taskkill) {
    return;
  }
  const Result<WaitState> waited = taskkill->wait_for(taskkill_wait_ms);
  if (waited && std::holds_alternative<StillRunning>(*waited)) {
    (void)taskkill->kill();
    (void)taskkill->wait_for(static_cast<DWORD>(tree_exit_wait_ms));
  }
}

}  // namespace

HelperState::Recorded HelperState::take_record() {
  const std::lock_guard record(record_mutex_);
  return {std::exchange(child_, std::nullopt), std::exchange(pid_, std::nullopt), std::move(job_)};
}

void HelperState::stop_recorded_openvpn() {
  // From here on `status` answers "stopped"; the rest runs without the record lock.
  Recorded taken = take_record();

  // The job reaches every process OpenVPN started, also where taskkill cannot (missing, failing, or
  // without /T). Killing the Child as well ends OpenVPN even if the job could not be ended.
  if (taken.job) {
    (void)TerminateJobObject(taken.job.get(), 1);
  }
  if (taken.child) {
    (void)taken.child->kill();
  }
  wait_for_tree(taken.child, taken.job.get());

  // taken.child still holds OpenVPN's process handle, and an id is not given to another process while
  // a handle to its process is open: taskkill can only meet our OpenVPN under this id.
  if (taken.pid) {
    run_taskkill(*taken.pid);
  }
  // Releasing `taken` closes the handles.
}

void HelperState::stop_openvpn() {
  const std::lock_guard lifecycle(lifecycle_mutex_);
  stop_recorded_openvpn();
}

}  // namespace orvanta
