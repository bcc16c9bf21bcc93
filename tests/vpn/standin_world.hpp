// What the vpn tests build their cases from: a sandbox folder with a copy of the stand-in child, its
// plans and the ids it writes, the stand-in taskkill's log, and handles that watch stand-in processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/handle.hpp"
#include "vpn/helper_operations.hpp"
#include "vpn/helper_state.hpp"

namespace orvanta::vpn_test {

std::string utf8(const std::filesystem::path& path);
std::filesystem::path path_from_utf8(const std::string& text);

// One stand-in run: its plan and the files it writes.
struct Planned {
  std::string plan;  // full path, UTF-8: the `config` text that makes the stand-in follow it
  std::filesystem::path pid_out;
  std::filesystem::path argv_out;
};

// The id a stand-in writes once it is ready; 0 when none appeared within 10 s.
DWORD wait_for_pid(const std::filesystem::path& pid_out);
// The argument vector a stand-in recorded.
std::vector<std::string> read_argv(const std::filesystem::path& argv_out);

// A handle on a process, opened while its id is surely its own; ends the process if a test leaves it.
class Watched {
 public:
  explicit Watched(DWORD pid);
  ~Watched();
  Watched(Watched&&) = default;
  [[nodiscard]] bool opened() const { return static_cast<bool>(process_); }
  [[nodiscard]] bool running() const { return !ends_within(0); }
  [[nodiscard]] bool ends_within(DWORD milliseconds) const;
  [[nodiscard]] std::string image() const;  // empty when it cannot be asked
  void terminate();
  void release();  // lets go of the process without ending it

 private:
  UniqueHandle process_;
};

struct TaskkillRun {
  std::string command_line;
  std::string named;  // image path of what the /PID id named, or "!open N" / "!image N"
  // Whether some other handle to that process was open, so that the id could not have been given to
  // another process. Telling only where the test itself holds no handle to OpenVPN.
  bool pinned = false;
  friend bool operator==(const TaskkillRun&, const TaskkillRun&) = default;
  friend std::ostream& operator<<(std::ostream& out, const TaskkillRun& run) {
    return out << "{" << run.command_line << " | " << run.named << (run.pinned ? " | pinned}" : " | loose}");
  }
};
std::vector<TaskkillRun> taskkill_runs();
std::string taskkill_line(std::uint32_t pid);  // "taskkill" /PID <pid> /T /F
// While held, every stand-in taskkill waits before it exits.
void hold_taskkill(bool held);

inline const HelperResponse stopped_reply{true, "stopped", std::nullopt};
inline const HelperResponse disconnected_reply{true, "OpenVPN stopped", std::nullopt};

// The real system, but with the test program's folder as the system folder, where the stand-in
// taskkill is built: taskkill is only ever taken from the system folder.
std::shared_ptr<SystemQueries> stand_in_system();

// A fresh sandbox, an empty taskkill log and a fresh helper state for each test. Afterwards no
// process named by any id file in the sandbox may still be running (any left is reported and ended).
class VpnTest : public ::testing::Test {
 protected:
  VpnTest();
  ~VpnTest() override;
  void TearDown() override;

  // A plan in the sandbox (at `at` when given) that writes <name>.pid and <name>.argv; `lines` add to it.
  Planned plan(const std::string& name, const std::vector<std::string>& lines = {},
               const std::filesystem::path& at = {});
  // A copy of the stand-in at `at` in the sandbox; its full path as UTF-8.
  std::string copy_standin(const std::filesystem::path& at);
  HelperResponse connect(const Planned& planned);
  // The disconnect request, as a client makes it.
  HelperResponse disconnect() { return HelperOperations(state_).disconnect(); }

  std::filesystem::path root_;
  std::string standin_;  // the sandbox's stand-in copy that plays OpenVPN, UTF-8
  std::shared_ptr<HelperState> state_ = std::make_shared<HelperState>(stand_in_system());
};

}  // namespace orvanta::vpn_test
