// connect: stop whatever runs, launch OpenVPN into a job of its own, and record it.
#include <utility>

#include "protocol/replies.hpp"
#include "vpn/commands.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

namespace {

// Each OpenVPN gets a job of its own so that a stop can end every process OpenVPN started, whatever
// taskkill manages. No limit is set. KILL_ON_JOB_CLOSE in particular stays off: when the service lets
// go of its state, OpenVPN is to keep running, as it does when a Child is released.
Result<UniqueHandle> create_openvpn_job() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return job;
}

}  // namespace

HelperResponse HelperState::start_openvpn(const std::string& openvpn, const std::string& config,
                                          const std::string& auth, const std::string& log) {
  // Stop, launch and record are one step for other starts and stops: no second connect can launch in
  // between and have its OpenVPN displaced from the record.
  const std::lock_guard lifecycle(lifecycle_mutex_);
  stop_recorded_openvpn();

  Result<UniqueHandle> job = create_openvpn_job();
  if (!job) {
    return replies::start_failed(job.error());
  }
  Result<Child> child = spawn(openvpn_command(openvpn, config, auth, log), SpawnOptions{job->get()});
  if (!child) {
    return replies::start_failed(child.error());
  }
  const std::uint32_t pid = child->id();

  const std::lock_guard record(record_mutex_);
  child_ = std::move(*child);
  pid_ = pid;
  job_ = std::move(*job);
  return replies::openvpn_started(pid);
}

}  // namespace orvanta
