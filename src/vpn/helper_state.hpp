// The one record of the OpenVPN process the service runs, and the operations on it.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/handle.hpp"
#include "process/child.hpp"
#include "process/system_queries.hpp"
#include "protocol/response.hpp"
#include "vpn/exit_event.hpp"
#include "vpn/openvpn_story.hpp"
#include "vpn/run_record.hpp"
#include "vpn/run_store.hpp"
#include "vpn/run_watch.hpp"

namespace orvanta {

// Shared by reference count between the service main, the control handler and every connection
// worker. Releasing the last reference closes the recorded handles and leaves OpenVPN running.
//
// Every OpenVPN that a connect launches is recorded before that connect returns, or ended by it: none
// is ever left running that no later stop can reach.
//
// With a store, the record also outlives the process: it is written there while the new OpenVPN is
// still suspended, cleared once its tree has ended or `status` has found it ended, and read back once
// at start by adopt_recorded. The store is never asked to answer a request; the record in memory is.
class HelperState {
 public:
  using Clock = std::chrono::steady_clock;

  // How long each stop lets OpenVPN end by itself, through its exit event, before it is forced.
  static constexpr std::chrono::milliseconds disconnect_grace{5'000};
  static constexpr std::chrono::milliseconds connect_grace{5'000};

  // `system` answers program search for every launch; the real system when not given. Without a
  // `store`, the record lives in memory alone. `exit_event_names` names each OpenVPN's exit event; a
  // random name when not given.
  explicit HelperState(std::shared_ptr<SystemQueries> system = nullptr,
                       std::shared_ptr<RunStore> store = nullptr, ExitEventNamer exit_event_names = nullptr);
  HelperState(const HelperState&) = delete;
  HelperState& operator=(const HelperState&) = delete;

  // connect: stop the recorded OpenVPN, launch a new one into a job of its own, and record it. An
  // `application` that an administrator's policy has checked is started in place of what the program
  // text would be resolved to. Once `superseded` says so (it is asked under record_mutex_, so it takes
  // no lock of this state), a later request has come: the connect ends what it launched, as at a stop.
  [[nodiscard]] HelperResponse start_openvpn(const std::string& openvpn, const std::string& config,
                                             const std::string& auth, const std::string& log,
                                             const std::u16string* application = nullptr,
                                             const std::function<bool()>& superseded = {});
  // status: "running" with the recorded id, or "stopped".
  [[nodiscard]] HelperResponse query_status();
  // state: the phase OpenVPN's own lines tell, and how the last OpenVPN ended.
  [[nodiscard]] HelperResponse query_state();
  // Ends the recorded OpenVPN and its whole process tree; returns nothing, swallows every failure.
  // OpenVPN is first asked to end by itself through its exit event, and forced once `grace` has passed
  // (at once with a grace of 0, or when it has no event).
  void stop_openvpn(std::chrono::milliseconds grace);

  // The service is stopping. From now on no OpenVPN is launched: a connect that comes gets "the
  // service is stopping", and one that is launching ends its own OpenVPN instead of recording it.
  // Every wait of a stop under way, or of one still to come, ends by `deadline` at the latest, and no
  // stop gives OpenVPN longer than `grace` from now to end by itself. Only the first call counts.
  void begin_shutdown(Clock::time_point deadline, std::chrono::milliseconds grace);
  // The grace the service's own stop gives OpenVPN: the one begin_shutdown was given.
  [[nodiscard]] std::chrono::milliseconds shutdown_grace();
  // Whether begin_shutdown has been called.
  [[nodiscard]] bool stopping();
  // Waits until no connect or stop is under way; false when `deadline` came first.
  [[nodiscard]] bool wait_until_idle(Clock::time_point deadline);

  // Called once at start, before the first request: records the OpenVPN that the stored record names,
  // if it still runs; clears a record that names no such process; keeps, and reports, one that cannot
  // be checked.
  void adopt_recorded() noexcept;

 private:
  // What a stop takes out of the record under record_mutex_ and then works on without it.
  struct Recorded {
    std::optional<Child> child;
    std::optional<RunIdentity> run;
    UniqueHandle job;
    UniqueHandle exit_event;  // set to ask OpenVPN to end by itself; empty when it cannot be reached
    std::shared_ptr<RunWatch> watch;
  };
  // A connect or a stop under way. The caller has counted it in active_, in the same hold of
  // record_mutex_ in which it looked at stopping_ or took the record; this gives the count back.
  class Activity {
   public:
    explicit Activity(HelperState& state) : state_(state) {}
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;
    ~Activity();

   private:
    HelperState& state_;
  };

  // Every stop: asks OpenVPN to end through its event and waits `grace` for it, then ends the job,
  // OpenVPN and, unless OpenVPN ended by itself leaving an empty job, runs taskkill for its id; reads
  // the last of its log, keeps how it ended, and clears the stored record if it still names that
  // OpenVPN. Takes store_mutex_, and record_mutex_ briefly.
  void end_tree(Recorded& taken, std::chrono::milliseconds grace);
  // An OpenVPN found ended, by itself or by a stop: its last read, how it ended, and the record
  // cleared. `stopped` when the service had begun to end it; `code` when it ended by itself.
  void settle(const std::shared_ptr<RunWatch>& watch, const std::optional<RunIdentity>& run, HANDLE process,
              bool stopped, std::optional<ExitStatus> code);
  // Writes the record of a launched OpenVPN that is still suspended in `job`, and hands OpenVPN a
  // handle to its job. Its identity, whether or not it could be kept. Takes store_mutex_ only.
  [[nodiscard]] RunIdentity keep_record(HANDLE process, HANDLE job, const RunExtras& extras) noexcept;
  // Clears the stored record if it names `run`: a clear that comes late never takes the record of a
  // newer OpenVPN. With `exit`, keeps it as the last exit first. Takes store_mutex_ only.
  void forget_record(const std::optional<RunIdentity>& run, const LastExit* exit = nullptr) noexcept;
  // Under record_mutex_: the record taken out for a stop, which `state` reports as stopping until the
  // stop has settled it. The job goes too.
  [[nodiscard]] Recorded take_record();
  // Under record_mutex_: the recorded OpenVPN, found ended by itself, taken out to be settled. Its job
  // stays, since what it started may still run and the next stop ends it.
  [[nodiscard]] Recorded take_ended();
  // adopt_recorded, which may run out of memory.
  void adopt_stored();
  [[nodiscard]] SpawnOptions spawn_options(HANDLE job, const std::u16string* application = nullptr) const;

  std::shared_ptr<SystemQueries> system_;
  ExitEventNamer exit_event_names_;
  const std::uint64_t started_at_;  // FILETIME units: the stopped phase's start before any run

  // Makes connects one after another, so that two overlapping connects can never both launch and
  // leave one OpenVPN that nothing records. Held across a connect's stop, launch and record. Stops
  // never take it: a disconnect or a service stop never waits behind a connect. The service's
  // requests never queue on it: ConnectTurns lets one connect through at a time, and keeps the one
  // that waits as a record; it guards callers that come here directly.
  // Lock order: connect_mutex_, then record_mutex_ (and, inside a launch, the process creation lock),
  // or connect_mutex_, then store_mutex_.
  std::mutex connect_mutex_;

  std::shared_ptr<RunStore> store_;  // null when the record lives in memory alone
  // Guards the stored record: every call into store_, so that a compare and its clear are one step and
  // a write never comes between them. Registry calls may be slow, so it is never taken while
  // record_mutex_ is held, nor record_mutex_ while it is; no other lock is taken inside it.
  std::mutex store_mutex_;

  // Guards child_, run_, job_, exit_event_, watch_, ending_, last_exit_, stopping_ and active_. Held
  // only for steps that never wait for a process, launch one, read a file or call the store, so
  // `status` always answers promptly; no other lock is taken while it is held.
  std::mutex record_mutex_;
  std::optional<Child> child_;
  std::optional<RunIdentity> run_;   // present exactly when child_ is
  UniqueHandle exit_event_;          // with child_, when OpenVPN can be asked to end
  std::shared_ptr<RunWatch> watch_;  // present exactly when child_ is
  // The run a stop is ending, until its tree has ended: `state` says stopping.
  std::shared_ptr<RunWatch> ending_;
  std::uint64_t ending_since_ = 0;
  // The run that a status or a state found ended by itself, until its last read is done; a `state`
  // meanwhile waits for it, so that it never reports the exit before.
  std::shared_ptr<RunWatch> settling_;
  std::condition_variable settled_;    // notified, under record_mutex_, when settling_ is cleared
  std::optional<LastExit> last_exit_;  // how the OpenVPN that ended last in this boot ended
  // The job object of the last launched OpenVPN, which also holds every process OpenVPN started. It
  // outlives child_ when `status` finds that OpenVPN has exited by itself, so that the next stop still
  // ends whatever OpenVPN left running.
  UniqueHandle job_;
  bool stopping_ = false;
  // Connects and stops under way; a connect counts from its check of stopping_ on, in the same hold of
  // the lock, so that an idle state after begin_shutdown stays idle.
  std::size_t active_ = 0;
  std::condition_variable idle_;  // notified, under record_mutex_, when active_ drops to 0

  // A manual-reset waitable timer, set by begin_shutdown to go off at its deadline. Every wait of a
  // stop waits on it too. Null only when it could not be made; the waits then keep their own bounds.
  UniqueHandle shutdown_timer_;
  // The same, set to go off when the shutdown's grace ends: every stop's wait for OpenVPN to end by
  // itself waits on it too.
  UniqueHandle grace_timer_;
  std::chrono::milliseconds shutdown_grace_{0};  // guarded by record_mutex_
};

}  // namespace orvanta
