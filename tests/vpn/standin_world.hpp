// What the vpn tests build their cases from: a sandbox folder with a copy of the stand-in child and its
// plans, the stand-in taskkill's log, and a fresh helper state for each test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/utf16.hpp"
#include "process/windows_system_queries.hpp"
#include "support/files.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"
#include "support/watched_process.hpp"
#include "vpn/helper_operations.hpp"
#include "vpn/helper_state.hpp"
#include "vpn/run_record.hpp"
#include "vpn/run_store.hpp"

namespace orvanta::test {

// The stand-in taskkill keeps these next to itself, which is next to the test program.
inline std::filesystem::path taskkill_log() { return program_path().parent_path() / "taskkill.log"; }
inline std::filesystem::path taskkill_hold() { return program_path().parent_path() / "taskkill.hold"; }

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

inline std::vector<TaskkillRun> taskkill_runs() {
  std::vector<TaskkillRun> runs;
  std::istringstream lines(read_file(taskkill_log()).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    const std::size_t last_tab = line.rfind('\t');
    TaskkillRun run{line.substr(0, tab), line.substr(tab + 1, last_tab - tab - 1), false};
    if (last_tab == tab) {
      run.named = line.substr(tab + 1);
    } else {
      const std::string others = line.substr(last_tab + 1);
      run.pinned = !others.empty() && others != "0" && others.front() != '!';
    }
    runs.push_back(run);
  }
  return runs;
}

// "taskkill" /PID <pid> /T /F
inline std::string taskkill_line(std::uint32_t pid) {
  return "\"taskkill\" /PID " + std::to_string(pid) + " /T /F";
}

// While held, every stand-in taskkill waits before it exits.
inline void hold_taskkill(bool held) {
  if (held) {
    EXPECT_TRUE(write_file(taskkill_hold(), "x"));
  } else {
    std::filesystem::remove(taskkill_hold());
  }
}

// The real system, but with the test program's folder as the system folder, where the stand-in
// taskkill is built: taskkill is only ever taken from the system folder.
inline std::shared_ptr<SystemQueries> stand_in_system() {
  class StandInSystem final : public WindowsSystemQueries {
   public:
    Result<std::u16string> system_directory() override {
      return from_wide(program_path().parent_path().wstring());
    }
  };
  return std::make_shared<StandInSystem>();
}

// The store of the record that outlives the process, in memory: the text it holds, its calls in order,
// a failure to give in place of each kind of call, and a hook that runs inside every call, where the
// state holds its store lock. The extras and the last exit are kept, and their calls counted, apart.
class RecordingStore final : public RunStore {
 public:
  Result<std::optional<std::u16string>> load() override {
    return call("load", [&]() -> Result<std::optional<std::u16string>> { return text_; });
  }
  Result<RunExtras> load_extras() override {
    const std::lock_guard lock(mutex_);
    return extras_;
  }
  Result<void> save(const std::u16string& text, const RunExtras& extras) override {
    return call("save", [&]() -> Result<void> {
      text_ = text;
      extras_ = extras;
      return {};
    });
  }
  Result<void> erase() override {
    return call("erase", [&]() -> Result<void> {
      text_.reset();
      extras_ = {};
      return {};
    });
  }
  Result<std::optional<std::u16string>> load_last_exit() override {
    const std::lock_guard lock(mutex_);
    return last_exit_;
  }
  Result<void> save_last_exit(const std::u16string& text) override {
    const std::lock_guard lock(mutex_);
    last_exit_ = text;
    return {};
  }
  [[nodiscard]] RunExtras extras() const {
    const std::lock_guard lock(mutex_);
    return extras_;
  }
  void put_extras(const RunExtras& extras) {
    const std::lock_guard lock(mutex_);
    extras_ = extras;
  }
  [[nodiscard]] std::optional<LastExit> last_exit() const {
    const std::lock_guard lock(mutex_);
    return last_exit_ ? decode_last_exit(utf16_to_utf8(*last_exit_).value_or("")) : std::nullopt;
  }

  [[nodiscard]] std::optional<std::u16string> text() const {
    const std::lock_guard lock(mutex_);
    return text_;
  }
  [[nodiscard]] std::optional<RunRecord> record() const {
    const auto held = text();
    return held ? decode_run_record(*held) : std::nullopt;
  }
  void put(const std::optional<std::u16string>& text) {
    const std::lock_guard lock(mutex_);
    text_ = text;
  }
  [[nodiscard]] std::vector<std::string> calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  // Each call of this kind fails with `error`, and changes nothing.
  void fail(const std::string& kind, const Error& error) {
    const std::lock_guard lock(mutex_);
    failing_.insert_or_assign(kind, error);
  }
  // Runs at the start of every call, outside the store's own lock. Set while no call can run.
  std::function<void(const std::string& kind)> inside;

 private:
  template <class Body>
  auto call(const std::string& kind, Body body) -> decltype(body()) {
    if (inside) {
      inside(kind);
    }
    const std::lock_guard lock(mutex_);
    calls_.push_back(kind);
    if (const auto failing = failing_.find(kind); failing != failing_.end()) {
      return std::unexpected(failing->second);
    }
    return body();
  }

  mutable std::mutex mutex_;  // guards everything below; no other lock is taken inside it
  std::optional<std::u16string> text_;
  RunExtras extras_;
  std::optional<std::u16string> last_exit_;
  std::vector<std::string> calls_;
  std::map<std::string, Error> failing_;
};

inline const HelperResponse stopped_reply{true, "stopped", std::nullopt};
inline const HelperResponse disconnected_reply{true, "OpenVPN stopped", std::nullopt};

// A fresh sandbox, an empty taskkill log and a fresh helper state for each test. Afterwards no
// process named by any id file in the sandbox may still be running (any left is reported and ended).
class VpnTest : public ::testing::Test {
 protected:
  VpnTest() {
    std::filesystem::remove(taskkill_log());
    hold_taskkill(false);
  }

  void TearDown() override {
    state_.reset();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      if (entry.path().extension() != ".pid") {
        continue;
      }
      const auto pid = wait_for_pid(entry.path());
      Watched process(pid);
      // An id can have been given to another process since; only a stand-in from this sandbox counts.
      if (process.running() && process.image().starts_with(utf8(root_))) {
        ADD_FAILURE() << "stand-in " << entry.path().filename() << " (pid " << *pid << ") is still running";
      } else {
        process.release();
      }
    }
  }

  // A stand-in plan in the sandbox; see plan_standin.
  Planned plan(const std::string& name, const PlanEntries& more = {}, const std::filesystem::path& at = {}) {
    return plan_standin(root_, name, more, at);
  }
  // A copy of the stand-in at `at` in the sandbox; its full path as UTF-8.
  std::string copy_standin(const std::filesystem::path& at) {
    const std::filesystem::path copy = root_ / at;
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(standin_path(), copy, std::filesystem::copy_options::overwrite_existing);
    return utf8(copy);
  }
  // Each OpenVPN's log lies beside its plan.
  HelperResponse connect(const Planned& planned) {
    return state_->start_openvpn(standin_, planned.plan, "C:\\vpn\\auth.txt", log_of(planned));
  }
  static std::string log_of(const Planned& planned) { return planned.plan + ".log"; }
  // The disconnect request, as a client makes it.
  HelperResponse disconnect() { return HelperOperations(state_).disconnect(); }

  ScratchDir sandbox_;
  std::filesystem::path root_ = sandbox_.path();
  std::string standin_ = copy_standin("bin\\standin.exe");  // the copy that plays OpenVPN, UTF-8
  std::shared_ptr<RecordingStore> store_ = std::make_shared<RecordingStore>();
  std::shared_ptr<HelperState> state_ = std::make_shared<HelperState>(stand_in_system(), store_);
};

}  // namespace orvanta::test
