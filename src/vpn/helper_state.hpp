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
#include "vpn/run_record.hpp"
#include "vpn/run_store.hpp"

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

  // `system` answers program search for every launch; the real system when not given. Without a
  // `store`, the record lives in memory alone.
  explicit HelperState(std::shared_ptr<SystemQueries> system = nullptr,
                       std::shared_ptr<RunStore> store = nullptr);
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
  // Ends the recorded OpenVPN and its whole process tree; returns nothing, swallows every failure.
  void stop_openvpn();

  // The service is stopping. From now on no OpenVPN is launched: a connect that comes gets "the
  // service is stopping", and one that is launching ends its own OpenVPN instead of recording it.
  // Every wait of a stop under way, or of one still to come, ends by `deadline` at the latest. Only
  // the first call counts.
  void begin_shutdown(Clock::time_point deadline);
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

  // Ends what was taken out of the record: the job, OpenVPN, then taskkill for its id; then clears the
  // stored record if it still names that OpenVPN. Takes store_mutex_ only.
  void end_tree(Recorded& taken);
  // Writes the record of a launched OpenVPN that is still suspended in `job`, and hands OpenVPN a
  // handle to its job. Its identity, whether or not it could be kept. Takes store_mutex_ only.
  [[nodiscard]] RunIdentity keep_record(HANDLE process, HANDLE job) noexcept;
  // Clears the stored record if it names `run`: a clear that comes late never takes the record of a
  // newer OpenVPN. Takes store_mutex_ only.
  void forget_record(const std::optional<RunIdentity>& run) noexcept;
  // adopt_recorded, which may run out of memory.
  void adopt_stored();
  [[nodiscard]] SpawnOptions spawn_options(HANDLE job, const std::u16string* application = nullptr) const;

  std::shared_ptr<SystemQueries> system_;

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

  // Guards child_, run_, job_, stopping_ and active_. Held only for steps that never wait for a
  // process, launch one or call the store, so `status` always answers promptly; no other lock is taken while
  // it is held.
  std::mutex record_mutex_;
  std::optional<Child> child_;
  std::optional<RunIdentity> run_;  // present exactly when child_ is
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
};

}  // namespace orvanta
