// connect: stop whatever runs, launch OpenVPN into a job of its own, and record it.
#include <functional>
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

HelperResponse service_stopping() { return replies::service_stopping(); }

}  // namespace

HelperResponse HelperState::start_openvpn(const std::string& openvpn, const std::string& config,
                                          const std::string& auth, const std::string& log,
                                          const std::u16string* application,
                                          const std::function<bool()>& superseded) {
  const auto overtaken = [&] { return superseded && superseded(); };
  const std::lock_guard connecting(connect_mutex_);
  Recorded previous;
  {
    const std::lock_guard record(record_mutex_);
    if (stopping_) {
      return service_stopping();
    }
    ++active_;
    previous = {std::exchange(child_, std::nullopt), std::exchange(run_, std::nullopt), std::move(job_)};
  }
  const Activity counted(*this);
  // From here on `status` answers "stopped" until the new OpenVPN is recorded.
  end_tree(previous);
  if (stopping()) {
    return service_stopping();  // the stop came while the old one was being ended
  }
  if (overtaken()) {
    return replies::superseded();  // so did a later request
  }

  Result<UniqueHandle> job = create_openvpn_job();
  if (!job) {
    return replies::start_failed(job.error());
  }
  // Written while OpenVPN is still suspended, so that no OpenVPN ever runs without a record that
  // outlives this process.
  std::optional<RunIdentity> run;
  SpawnOptions options = spawn_options(job->get(), application);
  options.before_resume = [&](HANDLE process) { run = keep_record(process, job->get()); };
  Result<Child> child = spawn(openvpn_command(openvpn, config, auth, log), options);
  if (!child) {
    forget_record(run);  // it was written if the launch failed only at the resume
    return replies::start_failed(child.error());
  }
  // Nothing between the launch and the record allocates, so no failure can come between them.
  const std::uint32_t pid = child->id();
  Recorded launched{std::move(*child), run.value_or(RunIdentity{pid, 0}), std::move(*job)};
  {
    const std::lock_guard record(record_mutex_);
    if (!stopping_ && !overtaken()) {
      child_ = std::move(launched.child);
      run_ = launched.run;
      job_ = std::move(launched.job);
      return replies::openvpn_started(pid);
    }
  }
  // The service began to stop while this one was launching, or a later request came; the stop, or the
  // later disconnect, may already have looked at the record, so the launch is undone here.
  end_tree(launched);
  return stopping() ? service_stopping() : replies::superseded();
}

}  // namespace orvanta
