// connect: stop whatever runs, launch OpenVPN into a job of its own, and record it.
#include <functional>
#include <utility>

#include "common/utf16.hpp"
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
                                          const std::string& auth, const std::string& log,
                                          const std::u16string* application,
                                          const std::function<bool()>& superseded) {
  const auto overtaken = [&] { return superseded && superseded(); };
  const std::lock_guard connecting(connect_mutex_);
  Recorded previous;
  {
    const std::lock_guard record(record_mutex_);
    if (stopping_) {
      return replies::service_stopping();
    }
    ++active_;
    previous = take_record();
  }
  const Activity counted(*this);
  // From here on `status` answers "stopped" until the new OpenVPN is recorded.
  end_tree(previous, connect_grace);
  if (stopping()) {
    return replies::service_stopping();  // the stop came while the old one was being ended
  }
  if (overtaken()) {
    return replies::superseded();  // so did a later request
  }

  Result<UniqueHandle> job = create_openvpn_job();
  if (!job) {
    return replies::start_failed(job.error());
  }
  Result<ExitEvent> exit_event = create_exit_event(exit_event_names_);
  if (!exit_event) {
    return replies::start_failed(exit_event.error());
  }
  // Truncated, and closed again, before OpenVPN opens it: whatever the log holds from now on is this
  // run's.
  std::optional<std::u16string> read_log = prepare_log(log);
  const RunExtras extras{read_log.value_or(std::u16string()), exit_event->name};
  const auto watch = std::make_shared<RunWatch>(std::move(read_log), Phase::Starting);
  // Written while OpenVPN is still suspended, so that no OpenVPN ever runs without a record that
  // outlives this process.
  std::optional<RunIdentity> run;
  SpawnOptions options = spawn_options(job->get(), application);
  // OpenVPN's output goes to its pipe; a console would only add a process to its job.
  options.without_console = true;
  options.before_resume = [&](HANDLE process) {
    run = keep_record(process, job->get(), extras);
    watch->begin(run->pid, run->created);
  };
  const std::string event_name = utf16_to_utf8(exit_event->name).value_or(std::string());
  Result<Child> child = spawn(openvpn_command(openvpn, config, auth, log, event_name), options);
  if (!child) {
    forget_record(run);  // it was written if the launch failed only at the resume
    return replies::start_failed(child.error());
  }
  // Nothing between the launch and the record can fail: the output's reader, should it not start,
  // leaves the pipe to close.
  const std::uint32_t pid = child->id();
  watch->read_output(child->take_output());
  Recorded launched{std::move(*child), run.value_or(RunIdentity{pid, 0}), std::move(*job),
                    std::move(exit_event->handle), watch};
  {
    const std::lock_guard record(record_mutex_);
    if (!stopping_ && !overtaken()) {
      child_ = std::move(launched.child);
      run_ = launched.run;
      job_ = std::move(launched.job);
      exit_event_ = std::move(launched.exit_event);
      watch_ = std::move(launched.watch);
      return replies::openvpn_started(pid);
    }
  }
  // The service began to stop while this one was launching, or a later request came; the stop, or the
  // later disconnect, may already have looked at the record, so the launch is undone here.
  end_tree(launched, connect_grace);
  return stopping() ? replies::service_stopping() : replies::superseded();
}

}  // namespace orvanta
