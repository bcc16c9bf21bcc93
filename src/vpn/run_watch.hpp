// One OpenVPN run as the service follows it: its output pipe, read as it comes, and its log, read when
// someone asks, both told as a phase and a cause by the run's story.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/handle.hpp"
#include "vpn/openvpn_story.hpp"

namespace orvanta {

// Now, in FILETIME units (100 ns since 1601, UTC).
[[nodiscard]] std::uint64_t system_time_now();

// What the log a connect names is to the service: the full path of a disk file that this run's
// OpenVPN will write from its start (an existing one is truncated here, and closed again, since
// OpenVPN opens its log sharing read only), or nothing when it is not to be read: not a disk file
// (NUL, a pipe), or one that could not be opened to truncate. Opened with identification-level
// security, so that a pipe's server never acts as the service's account.
[[nodiscard]] std::optional<std::u16string> prepare_log(const std::string& log);

// Shared by the record, the thread that reads the output pipe, and whoever asks; the last one frees it.
class RunWatch : public std::enable_shared_from_this<RunWatch> {
 public:
  // An adopted run whose record names no log starts as Connecting: there is nothing to tell that it is
  // not.
  RunWatch(std::optional<std::u16string> log, Phase first);
  RunWatch(const RunWatch&) = delete;
  RunWatch& operator=(const RunWatch&) = delete;

  // Whose run this is: its id and its creation time, when its phase began. Called once, before the
  // watch is shared; made apart from the constructor so that nothing allocates between a launch and
  // its record.
  void begin(std::uint32_t pid, std::uint64_t launched) noexcept {
    pid_ = pid;
    since_ = launched;
  }

  // Starts the thread that reads the pipe until its last write end has closed: OpenVPN and whatever
  // inherited the pipe have ended. It reads whatever comes, so OpenVPN never blocks on a full pipe,
  // and it waits in ReadFile, so nothing wakes while nothing is written.
  void read_output(UniqueHandle pipe);

  // Reads what is new in the log. With `last`, OpenVPN has ended: what it wrote to the pipe is taken
  // in first, waiting a moment for the pipe to end, so that this read misses nothing it wrote.
  void catch_up(bool last);

  struct Look {
    Phase phase = Phase::Starting;
    std::uint64_t since = 0;  // FILETIME units
    std::optional<std::string> reason;
    std::optional<SeenCause> cause;
  };
  [[nodiscard]] Look look() const;

  [[nodiscard]] std::uint32_t pid() const { return pid_; }
  // The log's full path when it is read; empty when it is not.
  [[nodiscard]] std::u16string log_path() const { return log_.value_or(std::u16string()); }

 private:
  void pump(HANDLE pipe);
  void take_output(std::string_view bytes, bool end);
  void read_log();
  // Feeds lines of one source to the story, and notes when its phase changed. Under story_mutex_.
  template <class Feed>
  void tell(Feed&& feed);

  std::uint32_t pid_ = 0;
  const std::optional<std::u16string> log_;
  const Phase first_;  // what a run whose story has not begun is taken to be doing

  // Serialises the log's readers and guards where they stopped; taken before story_mutex_, never inside
  // it. Held across the file's reads, which the pipe's reader never waits for.
  std::mutex read_mutex_;
  std::uint64_t log_offset_ = 0;
  LineSplitter log_lines_;

  // Guards everything below. Held only while bytes already read are told, never across I/O; no other
  // lock is taken inside it.
  mutable std::mutex story_mutex_;
  RunStory story_;
  std::uint64_t since_ = 0;
  OutputKeeper output_;
  LineSplitter output_lines_;
  bool output_ended_ = false;
  std::condition_variable output_end_;  // notified when output_ended_ is set
};

}  // namespace orvanta
