// The record itself: status, which only reads it, and the service stop's side of it.
#include "vpn/helper_state.hpp"

#include <utility>
#include <variant>

#include "protocol/replies.hpp"

namespace orvanta {

HelperState::HelperState(std::shared_ptr<SystemQueries> system, std::shared_ptr<RunStore> store)
    : system_(std::move(system)),
      store_(std::move(store)),
      shutdown_timer_(CreateWaitableTimerW(nullptr, TRUE, nullptr)) {}

HelperResponse HelperState::query_status() {
  std::optional<RunIdentity> ended;
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
    // OpenVPN has ended. Its job stays recorded: what OpenVPN started may still run, and the next stop
    // ends it.
    child_.reset();
    ended = std::exchange(run_, std::nullopt);
  }
  // Only this status waits on the store, and only once for each OpenVPN that ended.
  forget_record(ended);
  return replies::stopped();
}

void HelperState::begin_shutdown(Clock::time_point deadline) {
  {
    const std::lock_guard record(record_mutex_);
    if (stopping_) {
      return;  // the first deadline stands
    }
    stopping_ = true;
  }
  if (shutdown_timer_) {
    // Relative due times are negative, in units of 100 ns.
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    LARGE_INTEGER due{};
    due.QuadPart = -std::max<long long>(left.count(), 1) * 10;
    (void)SetWaitableTimer(shutdown_timer_.get(), &due, 0, nullptr, nullptr, FALSE);
  }
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
