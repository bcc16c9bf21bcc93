// The reader of OpenVPN's lines, and the texts of what it learned; no Windows API.
#include "vpn/openvpn_story.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace orvanta {

namespace {

constexpr std::size_t detail_bytes = 512;

constexpr std::array<std::string_view, 6> phase_names = {"starting",     "connecting", "connected",
                                                         "reconnecting", "stopping",   "stopped"};
constexpr std::array<std::string_view, 8> cause_names = {"stopped",       "lost",        "crashed",
                                                         "options-error", "auth-failed", "connection-failed",
                                                         "fatal-error",   "exited"};

static_assert(phase_names.size() == static_cast<std::size_t>(Phase::Stopped) + 1);
static_assert(cause_names.size() == static_cast<std::size_t>(ExitCause::Exited) + 1);

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The line without its "YYYY-MM-DD HH:MM:SS " when it begins with one, digits exactly where the
// zeros of the shape are.
std::string_view without_timestamp(std::string_view line) {
  constexpr std::string_view shape = "0000-00-00 00:00:00 ";
  if (line.size() < shape.size()) {
    return line;
  }
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '0' ? !is_digit(line[i]) : line[i] != shape[i]) {
      return line;
    }
  }
  return line.substr(shape.size());
}

// The middle of `text` when it begins with `prefix` and ends with `suffix`, the two apart.
std::optional<std::string_view> between(std::string_view text, std::string_view prefix,
                                        std::string_view suffix) {
  if (text.size() < prefix.size() + suffix.size() || !text.starts_with(prefix) || !text.ends_with(suffix)) {
    return std::nullopt;
  }
  return text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
}

// The reason of a line that says OpenVPN restarts (empty for none); nothing for any other line.
//   "SIGUSR1[soft,tls-error] received, process restarting" -> "tls-error"
//   "SIGHUP[hard,] received, process restarting"           -> ""
std::optional<std::string_view> restart_reason(std::string_view text) {
  constexpr std::string_view restarting = "] received, process restarting";
  for (const std::string_view prefix : {"SIGUSR1[soft,", "SIGUSR1[hard,"}) {
    if (const auto reason = between(text, prefix, restarting)) {
      return reason;
    }
  }
  if (between(text, "SIGHUP[", restarting)) {
    return std::string_view();
  }
  return std::nullopt;
}

// Where the last ":<digits>:" of the text begins, or npos.
std::size_t last_line_number(std::string_view text) {
  std::size_t found = std::string_view::npos;
  std::size_t i = text.find(':');
  while (i != std::string_view::npos) {
    std::size_t end = i + 1;
    while (end < text.size() && is_digit(text[end])) {
      ++end;
    }
    if (end > i + 1 && end < text.size() && text[end] == ':') {
      found = i;
    }
    // The closing colon may open the next mark: ":4:5:".
    i = text.find(':', i + 1);
  }
  return found;
}

// An "Options error:" line told without what it quotes of a file. OpenVPN names the place of a bad
// line as "in <file>:<line>:" and then repeats the line, which may be a secret of the config:
//   1. find the first " in " (lower case) that a ":<digits>:" follows later in the line;
//   2. cut the line where it begins; without one, keep it whole.
//   "Options error: Unrecognized option ... parameter(s) in bad.conf:4: bogus-option (2.6.14)"
//     -> "Options error: Unrecognized option ... parameter(s)"
//   "Options error: In [CMD-LINE]:1: Error opening configuration file: nosuch.conf" -> whole
std::string_view options_error_text(std::string_view text) {
  const std::size_t mark = last_line_number(text);
  if (mark == std::string_view::npos) {
    return text;
  }
  constexpr std::string_view in = " in ";
  const std::size_t cut = text.find(in);
  return cut != std::string_view::npos && cut + in.size() <= mark ? text.substr(0, cut) : text;
}

// A well-formed UTF-8 character, or else a maximal invalid subpart, the bytes that one U+FFFD
// replaces.
struct Piece {
  std::size_t size;
  bool valid;
};

// What begins `bytes`. A maximal invalid subpart is a lead byte and the continuation bytes it could
// still take, up to the first byte that cannot continue it (Unicode 15, table 3-7; the WHATWG UTF-8
// decoder replaces the same bytes):
//   "\xE2\x82\xAC"   -> a character of 3
//   "\xE2\x82" "A"   -> a subpart of 2, then "A"
//   "\xE0\x80"       -> a subpart of 1 (E0 goes on only with A0..BF), then one of 1 for 80
//   "\xC0", "\xF5"   -> a subpart of 1 each: bytes that begin nothing
Piece first_piece(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return {1, true};
  }
  std::size_t length = 0;
  unsigned char low = 0x80;   // the range of the second byte, which is narrower after E0, ED, F0, F4
  unsigned char high = 0xBF;  // (the overlong forms and the surrogates, and past U+10FFFF)
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size() || byte(i) < low || byte(i) > high) {
      return {i, false};
    }
    low = 0x80;
    high = 0xBF;
  }
  return {length, true};
}

void append_digits(std::string& text, std::uint64_t value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  text.append(static_cast<std::size_t>(std::max(0, width - count)), '0');
  while (count > 0) {
    text.push_back(digits[--count]);
  }
}

// Takes "<digits>" off the front of `rest`, up to the next space or the end: at least one digit, no
// leading zero, at most `maximum`.
std::optional<std::uint64_t> take_decimal(std::string_view& rest, std::uint64_t maximum) {
  const std::size_t size = std::min(rest.find(' '), rest.size());
  if (size == 0 || (size > 1 && rest.front() == '0')) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char digit : rest.substr(0, size)) {
    if (!is_digit(digit)) {
      return std::nullopt;
    }
    const auto next = static_cast<std::uint64_t>(digit - '0');
    if (value > (maximum - next) / 10) {
      return std::nullopt;
    }
    value = value * 10 + next;
  }
  rest.remove_prefix(size);
  return value;
}

// Takes " " off the front of `rest`.
bool take_space(std::string_view& rest) {
  if (!rest.starts_with(' ')) {
    return false;
  }
  rest.remove_prefix(1);
  return true;
}

}  // namespace

std::string_view phase_name(Phase phase) { return phase_names[static_cast<std::size_t>(phase)]; }

std::string_view cause_name(ExitCause cause) { return cause_names[static_cast<std::size_t>(cause)]; }

std::optional<ExitCause> cause_named(std::string_view name) {
  const auto found = std::find(cause_names.begin(), cause_names.end(), name);
  if (found == cause_names.end()) {
    return std::nullopt;
  }
  return static_cast<ExitCause>(found - cause_names.begin());
}

bool RunStory::take_line(Source source, std::string_view line) {
  if (line.ends_with('\r')) {
    line.remove_suffix(1);
  }
  const std::string_view text = without_timestamp(line);

  bool changed = false;
  const auto move_to = [&](Phase next, std::optional<std::string> reason) {
    changed = changed || next != phase_ || reason != reason_;
    phase_ = next;
    reason_ = std::move(reason);
  };
  if (source == Source::Log && phase_ == Phase::Starting) {
    move_to(Phase::Connecting, std::nullopt);
  }

  const auto connect = [&](std::optional<std::string> reason) {
    move_to(Phase::Connected, std::move(reason));
    options_error_ = auth_failed_ = connection_failed_ = fatal_error_ = Noted{};
  };

  if (text == "Initialization Sequence Completed With Errors") {
    connect("with-errors");
  } else if (text == "Initialization Sequence Completed") {
    connect(std::nullopt);
  } else if (const auto restart = restart_reason(text)) {
    move_to(Phase::Reconnecting,
            restart->empty() ? std::nullopt : std::optional<std::string>(safe_text(*restart)));
  } else if (text.starts_with("Options error:")) {
    if (!options_error_.seen) {
      options_error_ = {true, safe_text(options_error_text(text))};
    }
  } else if (text == "AUTH: Received control message: AUTH_FAILED") {
    auth_failed_.seen = true;
  } else if (between(text, "All connections have been connect-retry-max (",
                     ") times unsuccessful, exiting")) {
    if (!connection_failed_.seen) {
      connection_failed_ = {true, safe_text(text)};
    }
  } else if (text == "Exiting due to fatal error") {
    if (!fatal_error_.seen) {
      const auto& before = last_line_[static_cast<std::size_t>(source)];
      fatal_error_ = {true, before ? std::optional<std::string>(safe_text(*before)) : std::nullopt};
    }
  }

  // safe_text decides what it keeps of a text within the first detail_bytes and the one character
  // that may straddle them, so this much of a line is all a detail can show.
  last_line_[static_cast<std::size_t>(source)] = text.substr(0, detail_bytes + 4);
  return changed;
}

std::optional<SeenCause> RunStory::seen_cause() const {
  if (options_error_.seen) {
    return SeenCause{ExitCause::OptionsError, options_error_.detail};
  }
  if (auth_failed_.seen) {
    return SeenCause{ExitCause::AuthFailed, std::nullopt};
  }
  if (connection_failed_.seen) {
    return SeenCause{ExitCause::ConnectionFailed,
                     fatal_error_.detail ? fatal_error_.detail : connection_failed_.detail};
  }
  if (fatal_error_.seen) {
    return SeenCause{ExitCause::FatalError, fatal_error_.detail};
  }
  return std::nullopt;
}

void LineSplitter::keep(std::string_view piece) {
  const std::size_t taken = std::min(piece.size(), max_line_ - partial_.size());
  if (partial_.size() + taken > partial_.capacity()) {
    // At the cap at once: growing by doubling would pass it.
    partial_.reserve(max_line_);
  }
  partial_.append(piece.substr(0, taken));
  dropping_ = dropping_ || taken < piece.size();
}

void OutputKeeper::write(std::string_view bytes) {
  total_ += bytes.size();
  if (head_.size() < kept_bytes) {
    head_.reserve(kept_bytes);
    const std::size_t taken = std::min(bytes.size(), kept_bytes - head_.size());
    head_.append(bytes.substr(0, taken));
    bytes.remove_prefix(taken);
  }
  if (bytes.size() >= kept_bytes) {
    ring_.assign(bytes.substr(bytes.size() - kept_bytes));
    ring_start_ = 0;
    return;
  }
  if (ring_.size() < kept_bytes) {
    ring_.reserve(kept_bytes);
    const std::size_t taken = std::min(bytes.size(), kept_bytes - ring_.size());
    ring_.append(bytes.substr(0, taken));
    bytes.remove_prefix(taken);
  }
  // Full: the new bytes take the place of the oldest, wrapping at most once.
  while (!bytes.empty()) {
    const std::size_t taken = std::min(bytes.size(), kept_bytes - ring_start_);
    std::copy_n(bytes.data(), taken, ring_.data() + ring_start_);
    ring_start_ = (ring_start_ + taken) % kept_bytes;
    bytes.remove_prefix(taken);
  }
}

std::string OutputKeeper::tail() const {
  std::string text;
  text.reserve(ring_.size());
  text.append(ring_, ring_start_);
  text.append(ring_, 0, ring_start_);
  return text;
}

ExitCause choose_exit_cause(bool stopped_by_service, bool lost, std::optional<std::uint32_t> code,
                            const std::optional<SeenCause>& seen) {
  if (stopped_by_service) {
    return ExitCause::Stopped;
  }
  if (lost) {
    return ExitCause::Lost;
  }
  // NTSTATUS error codes (an access violation is 0xC0000005): the process did not choose to end.
  if (code && *code >= 0xC0000000u) {
    return ExitCause::Crashed;
  }
  return seen ? seen->cause : ExitCause::Exited;
}

std::string safe_text(std::string_view bytes, std::size_t max_bytes) {
  constexpr std::string_view replacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(std::min(bytes.size(), max_bytes));
  std::size_t at = 0;
  std::size_t valid_from = 0;  // a run of well-formed characters is copied at once, when it ends
  while (at < bytes.size()) {
    const Piece piece = first_piece(bytes.substr(at));
    if (text.size() + (at - valid_from) + (piece.valid ? piece.size : replacement.size()) > max_bytes) {
      break;
    }
    at += piece.size;
    if (!piece.valid) {
      text.append(bytes.substr(valid_from, at - piece.size - valid_from));
      text.append(replacement);
      valid_from = at;
    }
  }
  text.append(bytes.substr(valid_from, at - valid_from));
  return text;
}

// Days are counted from 0000-03-01 of the proleptic Gregorian calendar, so that a leap day is the
// last day of its year and each 400 years ("era") have the same 146097 days (the usual
// civil-from-days arithmetic). 1601-01-01 is day 584694 of that count.
std::string utc_text(std::uint64_t filetime) {
  const std::uint64_t seconds = filetime / 10'000'000;
  const std::uint64_t days = seconds / 86400 + 584694;
  const std::uint64_t of_day = seconds % 86400;

  const std::uint64_t era = days / 146097;
  const std::uint64_t day_of_era = days % 146097;                                         // [0, 146096]
  const std::uint64_t year_of_era =                                                       // [0, 399]
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;  // leap days out
  const std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::uint64_t month_from_march = (5 * day_of_year + 2) / 153;  // [0, 11]
  const std::uint64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  const std::uint64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const std::uint64_t year = era * 400 + year_of_era + (month <= 2 ? 1 : 0);

  std::string text;
  append_digits(text, year, 4);
  text.push_back('-');
  append_digits(text, month, 2);
  text.push_back('-');
  append_digits(text, day, 2);
  text.push_back('T');
  append_digits(text, of_day / 3600, 2);
  text.push_back(':');
  append_digits(text, of_day / 60 % 60, 2);
  text.push_back(':');
  append_digits(text, of_day % 60, 2);
  text.push_back('Z');
  return text;
}

std::string encode_last_exit(const LastExit& exit) {
  std::string text = "1 ";
  append_digits(text, exit.pid, 0);
  text.push_back(' ');
  append_digits(text, exit.at, 0);
  text.push_back(' ');
  if (exit.code) {
    append_digits(text, *exit.code, 0);
  } else {
    text.push_back('-');
  }
  text.push_back(' ');
  text.append(cause_name(exit.cause));
  if (exit.detail) {
    text.push_back(' ');
    text.append(*exit.detail);
  }
  return text;
}

std::optional<LastExit> decode_last_exit(std::string_view text) {
  if (!text.starts_with("1 ")) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(2);
  LastExit exit;
  const auto pid = take_decimal(rest, std::numeric_limits<std::uint32_t>::max());
  if (!pid || *pid == 0 || !take_space(rest)) {
    return std::nullopt;
  }
  exit.pid = static_cast<std::uint32_t>(*pid);
  const auto at = take_decimal(rest, std::numeric_limits<std::uint64_t>::max());
  if (!at || !take_space(rest)) {
    return std::nullopt;
  }
  exit.at = *at;
  if (rest.starts_with("- ")) {
    rest.remove_prefix(1);
  } else {
    const auto code = take_decimal(rest, std::numeric_limits<std::uint32_t>::max());
    if (!code) {
      return std::nullopt;
    }
    exit.code = static_cast<std::uint32_t>(*code);
  }
  if (!take_space(rest)) {
    return std::nullopt;
  }
  const std::size_t name_end = std::min(rest.find(' '), rest.size());
  const auto cause = cause_named(rest.substr(0, name_end));
  if (!cause) {
    return std::nullopt;
  }
  exit.cause = *cause;
  rest.remove_prefix(name_end);
  if (take_space(rest)) {
    // A detail is always kept as safe_text made it; any other is not this writer's.
    if (safe_text(rest) != rest) {
      return std::nullopt;
    }
    exit.detail = std::string(rest);
  }
  return exit;
}

}  // namespace orvanta
