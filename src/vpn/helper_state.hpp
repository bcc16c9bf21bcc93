// The one record of the OpenVPN process the service runs, and the operations on it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "common/handle.hpp"
#include "process/child.hpp"
#include "protocol/response.hpp"

namespace orvanta {

// Shared by reference count between the service main, the control handler and every connection
// worker. Releasing the last reference closes the recorded handles and leaves OpenVPN running.
class HelperState {
 public:
  HelperState() = default;
  HelperState(const HelperState&) = delete;
  HelperState& operator=(const HelperState&) = delete;

  // connect: stop the recorded OpenVPN, launch a new one into a job of its own, and record it.
  [[nodiscard]] HelperResponse start_openvpn(const std::string& openvpn, const std::string& config,
                                             const std::string& auth, const std::string& log);
  // status: "running" with the recorded id, or "stopped".
  [[nodiscard]] HelperResponse query_status();
  // Ends the recorded OpenVPN and its whole process tree; returns nothing, swallows every failure.
  void stop_openvpn();

 private:
  // What a stop takes out of the record under record_mutex_ and then works on without it.
  struct Recorded {
    std::optional<Child> child;
    std::optional<std::uint32_t> pid;
    UniqueHandle job;
  };

  // Ends the recorded OpenVPN and its tree and clears the record. The caller holds lifecycle_mutex_.
  void stop_recorded_openvpn();
  [[nodiscard]] Recorded take_record();

  // Makes every start and stop of OpenVPN one step after another, so that two overlapping connects can
  // never both launch and leave one OpenVPN that nothing records. Held across a connect's stop, launch
  // and record, and across a whole stop including its waits and the taskkill run; `status` never takes it.
  // Lock order: lifecycle_mutex_, then record_mutex_ (and, inside a launch, the process creation lock);
  // it is never taken while either of those is held.
  std::mutex lifecycle_mutex_;

  // Guards child_, pid_ and job_. Held only for steps that never wait for a process or launch one, so
  // `status` always answers promptly; no other lock is taken while it is held.
  std::mutex record_mutex_;
  std::optional<Child> child_;
  std::optional<std::uint32_t> pid_;  // present exactly when child_ is
  // The job object of the last launched OpenVPN, which also holds every process OpenVPN started. It
  // outlives child_ when `status` finds that OpenVPN has exited by itself, so that the next stop still
  // ends whatever OpenVPN left running.
  UniqueHandle job_;
};

}  // namespace orvanta
