// The record behind HelperState: the recorded OpenVPN, the job that holds its tree, and their locks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>

#include "common/handle.hpp"
#include "process/child.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta {

class HelperState {
 public:
  // Makes every start and stop of OpenVPN one step after another, so that two overlapping connects can
  // never both launch and leave one OpenVPN that nothing records. Held across a connect's stop, launch
  // and record, and across a whole stop including its waits and the taskkill run; `status` never takes it.
  // Lock order: lifecycle_mutex, then record_mutex (and, inside a launch, the process creation lock);
  // it is never taken while either of those is held.
  std::mutex lifecycle_mutex;

  // Guards child, pid and job. Held only for steps that never wait for a process or launch one, so
  // `status` always answers promptly; no other lock is taken while it is held.
  std::mutex record_mutex;
  std::optional<Child> child;
  std::optional<std::uint32_t> pid;  // present exactly when child is
  // The job object of the last launched OpenVPN, which also holds every process OpenVPN started. It
  // outlives `child` when `status` finds that OpenVPN has exited by itself, so that the next stop still
  // ends whatever OpenVPN left running.
  UniqueHandle job;
};

// Ends the recorded OpenVPN and its tree and clears the record. The caller holds lifecycle_mutex.
void stop_recorded_openvpn(HelperState& state);

}  // namespace orvanta
