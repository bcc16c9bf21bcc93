// What OpenVPN writes, told as a phase and an exit cause: bytes and lines in, a story out, no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

enum class Phase { Starting, Connecting, Connected, Reconnecting, Stopping, Stopped };
// "starting", "connecting", "connected", "reconnecting", "stopping", "stopped"
[[nodiscard]] std::string_view phase_name(Phase phase);

// Why an OpenVPN ended, in the order in which they are chosen: the first that applies.
enum class ExitCause {
  Stopped,
  Lost,
  Crashed,
  OptionsError,
  AuthFailed,
  ConnectionFailed,
  FatalError,
  Exited
};
// "stopped", "lost", "crashed", "options-error", "auth-failed", "connection-failed", "fatal-error", "exited"
[[nodiscard]] std::string_view cause_name(ExitCause cause);
[[nodiscard]] std::optional<ExitCause> cause_named(std::string_view name);

// Where a line came from: OpenVPN's log file, or its standard output and error.
enum class Source { Log, Output };

// A cause that OpenVPN's own lines point at, with the text that says why.
struct SeenCause {
  ExitCause cause = ExitCause::Exited;  // OptionsError, AuthFailed, ConnectionFailed or FatalError
  std::optional<std::string> detail;    // already made safe: valid UTF-8, at most 512 bytes
  friend bool operator==(const SeenCause&, const SeenCause&) = default;
};

// Everything read so far of one OpenVPN run. Lines come whole, in the order of their source; the two
// sources may interleave.
//   1. A line matches when, after an optional "YYYY-MM-DD HH:MM:SS " and without a trailing CR, its text
//      equals one of these (the longer form first):
//        "Initialization Sequence Completed With Errors"   -> connected, reason "with-errors"
//        "Initialization Sequence Completed"               -> connected, no reason
//        "SIGUSR1[soft,R] received, process restarting"    -> reconnecting, reason R (none when empty);
//                                                             "hard" in place of "soft" alike
//        "SIGHUP[...] received, process restarting"        -> reconnecting, no reason
//        "Options error:..." (a line beginning so)         -> cause options-error
//        "AUTH: Received control message: AUTH_FAILED"     -> cause auth-failed
//        "All connections have been connect-retry-max (...) times unsuccessful, exiting"
//                                                          -> cause connection-failed
//        "Exiting due to fatal error"                      -> cause fatal-error
//   2. Any line of the log moves Starting on to Connecting: OpenVPN has begun to work.
//   3. Causes seen are forgotten when the phase becomes Connected: a retried login can succeed.
//   4. Reconnecting lasts until a Connected line. Stopping and Stopped are never reached here: only
//      the caller knows that it ends OpenVPN.
class RunStory {
 public:
  // Takes one line, its line feed removed. Whether the phase or the reason changed.
  bool take_line(Source source, std::string_view line);

  [[nodiscard]] Phase phase() const { return phase_; }
  // "with-errors", or the reason of a restart made safe as a detail is; none in any other phase.
  [[nodiscard]] const std::optional<std::string>& reason() const { return reason_; }
  // The first in the cause order among those seen since the last Connected, with its detail:
  //   options-error: the first "Options error:" line, cut before the first " in " that is followed
  //     later in the line by ":<digits>:", so that no word of a file's content is repeated;
  //   connection-failed and fatal-error: the line before "Exiting due to fatal error", without its
  //     timestamp (for connection-failed without that line, its own line);
  //   auth-failed: none.
  [[nodiscard]] std::optional<SeenCause> seen_cause() const;

 private:
  // One cause of the cause order: whether a line pointed at it, and the detail it will be told with.
  struct Noted {
    bool seen = false;
    std::optional<std::string> detail;
  };

  Phase phase_ = Phase::Starting;
  std::optional<std::string> reason_;
  // Since the last Connected.
  Noted options_error_;
  Noted auth_failed_;
  Noted connection_failed_;  // its detail is its own line
  Noted fatal_error_;        // its detail is the line before it in its source
  // The last line of each source (Log, Output), without timestamp and CR, and only as much of it as a
  // detail can show: it is the detail of an "Exiting due to fatal error" that follows.
  std::optional<std::string> last_line_[2];
};

// Splits a byte stream into lines. A line longer than `max_line_bytes` is kept only up to that many
// bytes; the rest of it is read and dropped, so the memory held stays bounded whatever comes.
class LineSplitter {
 public:
  static constexpr std::size_t default_max_line_bytes = 16384;
  explicit LineSplitter(std::size_t max_line_bytes = default_max_line_bytes) : max_line_(max_line_bytes) {}

  // Calls `line(std::string_view)` for every line that `bytes` completes, without its line feed.
  template <class OnLine>
  void feed(std::string_view bytes, OnLine&& line);
  // Forgets a line begun and not yet ended: the reader moved on to another place in the stream.
  void drop_partial() {
    partial_.clear();
    dropping_ = false;
  }

 private:
  // Appends what room is left of `piece` to the line under way.
  void keep(std::string_view piece);

  std::size_t max_line_;
  std::string partial_;
  bool dropping_ = false;  // the line under way passed max_line_; its rest is not kept
};

template <class OnLine>
void LineSplitter::feed(std::string_view bytes, OnLine&& line) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      keep(bytes);
      return;
    }
    const std::string_view piece = bytes.substr(0, end);
    if (partial_.empty() && !dropping_) {
      // A line whole in one read is handed on where it lies, without a copy.
      line(piece.substr(0, max_line_));
    } else {
      keep(piece);
      line(std::string_view(partial_));
      drop_partial();
    }
    bytes.remove_prefix(end + 1);
  }
}

// The first and the last 8 KiB of a byte stream of any length, nothing in between.
class OutputKeeper {
 public:
  static constexpr std::size_t kept_bytes = 8192;
  void write(std::string_view bytes);
  [[nodiscard]] const std::string& head() const { return head_; }  // the first min(total, 8 KiB)
  // The last bytes after the head, at most 8 KiB of them.
  [[nodiscard]] std::string tail() const;
  [[nodiscard]] std::uint64_t total() const { return total_; }

 private:
  std::string head_;
  std::string ring_;  // kept_bytes once full; ring_start_ is its oldest byte
  std::size_t ring_start_ = 0;
  std::uint64_t total_ = 0;
};

// The exit cause, the first that applies: stopped, lost, crashed (a code of 0xC0000000 or above),
// then the cause the lines point at, then exited.
[[nodiscard]] ExitCause choose_exit_cause(bool stopped_by_service, bool lost,
                                          std::optional<std::uint32_t> code,
                                          const std::optional<SeenCause>& seen);

// Invalid UTF-8 replaced, one U+FFFD per maximal invalid subpart; then cut to at most `max_bytes` on
// a character boundary.
[[nodiscard]] std::string safe_text(std::string_view bytes, std::size_t max_bytes = 512);

// A FILETIME count (100 ns since 1601-01-01 UTC) as "YYYY-MM-DDTHH:MM:SSZ", truncated to the second.
[[nodiscard]] std::string utc_text(std::uint64_t filetime);

// How the last OpenVPN ended, as the service keeps it across its own restarts.
struct LastExit {
  std::uint32_t pid = 0;
  std::uint64_t at = 0;  // FILETIME units
  std::optional<std::uint32_t> code;
  ExitCause cause = ExitCause::Exited;
  std::optional<std::string> detail;
  friend bool operator==(const LastExit&, const LastExit&) = default;
};
// One line of text, the detail last since it may hold spaces:
//   1 <pid> <at> <code or -> <cause> [<detail>]
// with no space after the cause when there is no detail, and one when there is (it may be empty).
//   {4242, 134414634750000000, 1, OptionsError, "Options error: x"}
//     -> "1 4242 134414634750000000 1 options-error Options error: x"
[[nodiscard]] std::string encode_last_exit(const LastExit& exit);
// The exit of such a text; nothing for any other: another version, a number with a sign, a leading
// zero or out of range, a pid of 0, an unknown cause, a detail that safe_text would change.
[[nodiscard]] std::optional<LastExit> decode_last_exit(std::string_view text);

}  // namespace orvanta
