// The record itself: status and state, which read it, how an ended OpenVPN is settled, and the service
// stop's side of it.
#include "vpn/helper_state.hpp"

#include <utility>
#include <variant>

#include "protocol/replies.hpp"

namespace orvanta {

namespace {

// How long a `state` waits for a status or a state that found OpenVPN ended to finish its last read.
constexpr auto settle_wait = std::chrono::seconds(2);

// When the process ended, as GetProcessTimes gives it; now when it cannot be asked.
std::uint64_t exit_time(HANDLE process) {
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    return system_time_now();
  }
  return (std::uint64_t{exited.dwHighDateTime} << 32) | exited.dwLowDateTime;
}

HelperResponse state_reply(std::optional<std::uint32_t> pid, Phase phase, std::uint64_t since,
                           std::optional<std::string> reason, const std::optional<LastExit>& last_exit) {
  StateReport report{std::string(phase_name(phase)), utc_text(since), std::move(reason), std::nullopt};
  if (last_exit) {
    report.last_exit = ExitReport{last_exit->pid, utc_text(last_exit->at), last_exit->code,
                                  std::string(cause_name(last_exit->cause)), last_exit->detail};
  }
  return replies::state(pid, std::move(report));
}

}  // namespace

HelperState::HelperState(std::shared_ptr<SystemQueries> system, std::shared_ptr<RunStore> store,
                         ExitEventNamer exit_event_names)
    : system_(std::move(system)),
      exit_event_names_(std::move(exit_event_names)),
      started_at_(system_time_now()),
      store_(std::move(store)),
      shutdown_timer_(CreateWaitableTimerW(nullptr, TRUE, nullptr)),
      grace_timer_(CreateWaitableTimerW(nullptr, TRUE, nullptr)) {}

HelperState::Recorded HelperState::take_record() {
  Recorded taken{std::exchange(child_, std::nullopt), std::exchange(run_, std::nullopt), std::move(job_),
                 std::move(exit_event_), std::exchange(watch_, nullptr)};
  if (taken.watch) {
    ending_ = taken.watch;
    ending_since_ = system_time_now();
  }
  return taken;
}

HelperState::Recorded HelperState::take_ended() {
  Recorded taken{std::exchange(child_, std::nullopt), std::exchange(run_, std::nullopt), UniqueHandle(),
                 std::move(exit_event_), std::exchange(watch_, nullptr)};
  settling_ = taken.watch;
  return taken;
}

void HelperState::settle(const std::shared_ptr<RunWatch>& watch, const std::optional<RunIdentity>& run,
                         HANDLE process, bool stopped, std::optional<ExitStatus> code) {
  watch->catch_up(true);
  const RunWatch::Look look = watch->look();
  LastExit exit{watch->pid(), exit_time(process), code, choose_exit_cause(stopped, false, code, look.cause),
                std::nullopt};
  if (look.cause && look.cause->cause == exit.cause) {
    exit.detail = look.cause->detail;
  }
  {
    const std::lock_guard record(record_mutex_);
    last_exit_ = exit;
    if (ending_ == watch) {
      ending_.reset();
    }
    if (settling_ == watch) {
      settling_.reset();
      settled_.notify_all();
    }
  }
  forget_record(run, &exit);
}

HelperResponse HelperState::query_status() {
  Recorded ended;
  ExitStatus code = 0;
  {
    const std::lock_guard record(record_mutex_);
    if (!child_) {
      return replies::stopped();
    }
    const Result<WaitState> waited = child_->try_wait();
    if (!waited) {
      // The query failed, not the process: keep the record, so that a later status asks again and a
      // later stop still ends it.
      return replies::stopped();
    }
    if (std::holds_alternative<StillRunning>(*waited)) {
      return replies::running(run_->pid);
    }
    code = std::get<ExitStatus>(*waited);
    ended = take_ended();
  }
  // Only this status reads the log and waits on the store, and only once for each OpenVPN that ended.
  settle(ended.watch, ended.run, ended.child->process_handle(), false, code);
  return replies::stopped();
}

HelperResponse HelperState::query_state() {
  std::shared_ptr<RunWatch> watch;
  Recorded ended;
  ExitStatus code = 0;
  {
    std::unique_lock record(record_mutex_);
    (void)settled_.wait_for(record, settle_wait, [this] { return !settling_; });
    if (ending_) {
      return state_reply(ending_->pid(), Phase::Stopping, ending_since_, std::nullopt, last_exit_);
    }
    if (!child_) {
      return state_reply(std::nullopt, Phase::Stopped, last_exit_ ? last_exit_->at : started_at_,
                         std::nullopt, last_exit_);
    }
    // Asked first whether OpenVPN has ended, then read: what an ended OpenVPN wrote is all read by the
    // time it is reported.
    const Result<WaitState> waited = child_->try_wait();
    if (waited && std::holds_alternative<ExitStatus>(*waited)) {
      code = std::get<ExitStatus>(*waited);
      ended = take_ended();
    } else {
      watch = watch_;
    }
  }
  if (ended.watch) {
    settle(ended.watch, ended.run, ended.child->process_handle(), false, code);
    const std::lock_guard record(record_mutex_);
    return state_reply(std::nullopt, Phase::Stopped, last_exit_ ? last_exit_->at : started_at_, std::nullopt,
                       last_exit_);
  }
  watch->catch_up(false);
  RunWatch::Look look = watch->look();
  const std::lock_guard record(record_mutex_);
  return state_reply(watch->pid(), look.phase, look.since, std::move(look.reason), last_exit_);
}

void HelperState::begin_shutdown(Clock::time_point deadline, std::chrono::milliseconds grace) {
  {
    const std::lock_guard record(record_mutex_);
    if (stopping_) {
      return;  // the first deadline stands
    }
    stopping_ = true;
    shutdown_grace_ = grace;
  }
  // Relative due times are negative, in units of 100 ns.
  const auto set_after = [](const UniqueHandle& timer, std::chrono::microseconds left) {
    if (timer) {
      LARGE_INTEGER due{};
      due.QuadPart = -std::max<long long>(left.count(), 1) * 10;
      (void)SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE);
    }
  };
  set_after(shutdown_timer_, std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()));
  set_after(grace_timer_, grace);
}

std::chrono::milliseconds HelperState::shutdown_grace() {
  const std::lock_guard record(record_mutex_);
  return shutdown_grace_;
}

bool HelperState::stopping() {
  const std::lock_guard record(record_mutex_);
  return stopping_;
}

bool HelperState::wait_until_idle(Clock::time_point deadline) {
  std::unique_lock record(record_mutex_);
  return idle_.wait_until(record, deadline, [this] { return active_ == 0; });
}

HelperState::Activity::~Activity() {
  const std::lock_guard record(state_.record_mutex_);
  if (--state_.active_ == 0) {
    state_.idle_.notify_all();
  }
}

SpawnOptions HelperState::spawn_options(HANDLE job, const std::u16string* application) const {
  return SpawnOptions{job, system_.get(), application, {}};
}

}  // namespace orvanta
