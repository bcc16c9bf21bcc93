// OpenVPN's story as its real lines tell it, and the texts and buffers the reader stands on.
#include "vpn/openvpn_story.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "support/allocation_meter.hpp"

namespace orvanta {

void PrintTo(Phase phase, std::ostream* out) { *out << phase_name(phase); }
void PrintTo(const SeenCause& seen, std::ostream* out) {
  *out << cause_name(seen.cause) << " " << (seen.detail ? "\"" + *seen.detail + "\"" : "(no detail)");
}

namespace {

using namespace std::string_literals;

// What OpenVPN 2.6.14 wrote, run with the service's command line against a local server: the files the
// stand-in OpenVPN replays. What it wrote to standard output goes to the output (see story_of).
std::string transcript(const std::string& name) {
  std::ifstream file(ORVANTA_OPENVPN_TRANSCRIPTS "/" + name, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  return name.ends_with(".stdout") ? std::string(1, '\0') + text : text;
}

// Feeds lines as OpenVPN's bytes arrive, in small reads that split lines and line ends, the log first
// and each NUL handing what follows to the other source (as the fuzzer reads its seeds). Checks that
// take_line says exactly when the phase or the reason changed.
RunStory story_of(std::string_view fed, std::string_view line_end) {
  RunStory story;
  LineSplitter splitters[2];
  for (std::size_t at = 0, source = 0; at <= fed.size(); source = 1 - source) {
    const std::size_t end = std::min(fed.find('\0', at), fed.size());
    std::string bytes;
    for (const char c : fed.substr(at, end - at)) {
      bytes.append(c == '\n' ? line_end : std::string_view(&c, 1));
    }
    for (std::size_t i = 0; i < bytes.size(); i += 7) {
      splitters[source].feed(std::string_view(bytes).substr(i, 7), [&](std::string_view line) {
        const auto [phase, reason] = std::pair(story.phase(), story.reason());
        const bool changed = story.take_line(static_cast<Source>(source), line);
        EXPECT_EQ(changed, story.phase() != phase || story.reason() != reason) << line;
      });
    }
    at = end + 1;
  }
  return story;
}

TEST(RunStory, TellsWhatOpenVpnsLinesSay) {
  using enum Phase;
  using Cause = ExitCause;
  const auto seen = [](Cause cause, std::optional<std::string> text = {}) { return SeenCause{cause, text}; };
  const auto options = [&](std::string detail) { return seen(Cause::OptionsError, std::move(detail)); };
  constexpr auto no = std::nullopt;
  const std::string up = "Initialization Sequence Completed\n", fatal = "Exiting due to fatal error\n";
  const std::string tls = "TLS Error: TLS handshake failed", restarting = "] received, process restarting\n";
  const std::string auth = "AUTH: Received control message: AUTH_FAILED\n";
  const std::string retry_max = "All connections have been connect-retry-max (2) times unsuccessful, exiting";
  // Lines, each ended by a line feed, and the phase, reason and cause they tell.
  const std::tuple<std::string, Phase, std::optional<std::string>, std::optional<SeenCause>> rows[] = {
      {transcript("good.log"), Connected, no, no},
      {transcript("authfail.log"), Connecting, no, seen(Cause::AuthFailed)},
      {transcript("unreach.log"), Reconnecting, "tls-error", seen(Cause::ConnectionFailed, retry_max)},
      {transcript("noauth.log"), Connecting, no,
       options(
           "Options error: --auth-user-pass fails with 'nosuch.txt': No such file or directory (errno=2)")},
      {transcript("optserr.stdout"), Starting, no,
       options("Options error: Unrecognized option or missing or extra parameter(s)")},
      {transcript("noconf.stdout"), Starting, no,
       options("Options error: In [CMD-LINE]:1: Error opening configuration file: nosuch.conf")},
      // The other lines a client meets; a line on the output counts as one of the log does.
      {"2026-12-11 11:51:15 Initialization Sequence Completed With Errors\n", Connected, "with-errors", no},
      {"2026-12-11 11:52:00 SIGUSR1[soft,ping-restart" + restarting, Reconnecting, "ping-restart", no},
      {"\0"s + up, Connected, no, no},
      // A reason follows the last line that gives one, or none.
      {"SIGUSR1[soft,tls-error" + restarting + "SIGUSR1[hard,x" + restarting, Reconnecting, "x", no},
      {"SIGUSR1[soft,ping-restart" + restarting + "SIGHUP[hard," + restarting, Reconnecting, no, no},
      {"SIGUSR1[soft," + restarting, Reconnecting, no, no},
      {"Initialization Sequence Completed With Errors\n" + up, Connected, no, no},
      // Causes: a retried login that succeeds forgets its failure; the detail of a fatal error is the
      // line before it in its own source; the first in the order of causes wins, whatever came first.
      {auth + "SIGUSR1[soft,auth-failure" + restarting + up, Connected, no, no},
      {up + "2026-12-11 11:51:30 " + tls + "\n\0Use --help\n\0"s + fatal, Connected, no,
       seen(Cause::FatalError, tls)},
      {fatal, Connecting, no, seen(Cause::FatalError)},
      {"2026-12-11 11:51:36 " + retry_max + "\n", Connecting, no, seen(Cause::ConnectionFailed, retry_max)},
      {retry_max + "\nClosing TUN/TAP interface\n" + fatal, Connecting, no,
       seen(Cause::ConnectionFailed, "Closing TUN/TAP interface")},
      {auth + tls + "\n" + fatal + "\0Options error: x\n"s, Connecting, no, options("Options error: x")},
      {auth + retry_max + "\n" + fatal, Connecting, no, seen(Cause::AuthFailed)},
      // An options error is cut before the first " in " that a ":<line>:" follows.
      {"Options error: a in b in c.conf:x:4: d\n", Connecting, no, options("Options error: a")},
      {"Options error: a in :4:\n", Connecting, no, options("Options error: a")},
      {"Options error: a:4: in b:: c:4 d\n", Connecting, no, options("Options error: a:4: in b:: c:4 d")},
      {"Options error: \xFF in b.conf:4: c\n", Connecting, no, options("Options error: \xEF\xBF\xBD")},
      // Near misses are only lines.
      {"Initialization Sequence Completed \n", Connecting, no, no},
      {"2026-12-11 11:51:15  Initialization Sequence Completed\n", Connecting, no, no},
      {"2026-12-1x 11:51:15 Initialization Sequence Completed\n", Connecting, no, no},
      {"SIGUSR1[term,tls-error" + restarting, Connecting, no, no},
      {" Options error: x\n", Connecting, no, no},
  };
  for (const auto& [fed, phase, reason, cause] : rows) {
    for (const std::string_view line_end : {"\r\n", "\n"}) {
      SCOPED_TRACE(fed.substr(0, 80) + (line_end == "\n" ? " (LF)" : " (CR LF)"));
      const RunStory story = story_of(fed, line_end);
      EXPECT_EQ(story.phase(), phase);
      EXPECT_EQ(story.reason(), reason);
      EXPECT_EQ(story.seen_cause(), cause);
    }
  }
}

TEST(Texts, AreWhatTheServiceKeepsAndClientsRead) {
  const std::string fffd = "\xEF\xBF\xBD", a510(510, 'a'), a511(511, 'a');
  const SeenCause auth{ExitCause::AuthFailed, std::nullopt};
  const auto first_cause = [](bool stopped, bool lost, std::uint32_t code, std::optional<SeenCause> seen) {
    return std::string(cause_name(choose_exit_cause(stopped, lost, code, seen)));
  };
  std::string names;
  for (int i = 0; i <= static_cast<int>(Phase::Stopped); ++i) {
    names.append(phase_name(static_cast<Phase>(i))) += ' ';
  }
  for (int i = 0; i <= static_cast<int>(ExitCause::Exited); ++i) {
    names.append(cause_name(static_cast<ExitCause>(i))) += ' ';
    EXPECT_EQ(cause_named(cause_name(static_cast<ExitCause>(i))), static_cast<ExitCause>(i));
  }
  const std::pair<std::string, std::string> cases[] = {
      {names,
       "starting connecting connected reconnecting stopping stopped "
       "stopped lost crashed options-error auth-failed connection-failed fatal-error exited "},
      // One U+FFFD per maximal invalid subpart: Unicode's own example (chapter 3), then the second bytes
      // that E0, ED, F0 and F4 narrow, and bytes that begin nothing.
      {safe_text("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
       "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
      {safe_text("\xE0\x80\xED\xA0\xF0\x8F\xF4\x90\xC0\xF5\xF0\x9F\x98\x80"),
       fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + "\xF0\x9F\x98\x80"},
      // The default cut of a detail, 512 bytes, never splits a character or a replacement.
      {safe_text(a511 + "\xC3\xA9"), a511},
      {safe_text(a510 + "\xC3\xA9"), a510 + "\xC3\xA9"},
      {safe_text(a511 + "\x80"), a511},
      // The first cause that applies: stopped, lost, crashed (an NTSTATUS error), then what was seen.
      {first_cause(true, true, 0xC0000005u, auth), "stopped"},
      {first_cause(false, true, 0xC0000005u, auth), "lost"},
      {first_cause(false, false, 0xC0000000u, auth), "crashed"},
      {first_cause(false, false, 0xBFFFFFFFu, auth), "auth-failed"},
      {first_cause(false, false, 0xBFFFFFFFu, std::nullopt), "exited"},
      // A FILETIME as UTC, and a leap day.
      {utc_text(134414634750000000), "2026-12-11T11:51:15Z"},
      {utc_text(133536816000000000), "2024-02-29T12:00:00Z"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(text, expected);
  }
}

TEST(LastExit, ReadsBackOnlyWhatItsWriterWrote) {
  const LastExit exit{4242, 134414634750000000, 1, ExitCause::OptionsError, "Options error: x in y"};
  const std::string_view text = "1 4242 134414634750000000 1 options-error Options error: x in y";
  EXPECT_EQ(encode_last_exit(exit), text);
  EXPECT_EQ(decode_last_exit(text), exit);
  EXPECT_EQ(decode_last_exit("1 1 0 - stopped"), (LastExit{1, 0, {}, ExitCause::Stopped, {}}));
  EXPECT_EQ(decode_last_exit("1 4294967296 1 1 exited"), std::nullopt);   // past a 32-bit process id
  EXPECT_EQ(decode_last_exit("1 1 1 1 fatal-error \xFF"), std::nullopt);  // a detail safe_text did not make
}

// Bytes in which a byte out of place shows: a long pseudo-random sequence, with no line feed in it
// (each byte has its high bit set).
std::string stream_of(std::size_t size) {
  std::string bytes(size, '\0');
  std::minstd_rand random;
  std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random() | 0x80); });
  return bytes;
}

TEST(OutputKeeper, KeepsExactlyTheFirstAndLastBytes) {
  constexpr std::size_t kept = OutputKeeper::kept_bytes;
  const std::string all = stream_of(16 << 20);
  for (const std::size_t total : {std::size_t{1}, kept, kept + 1, 3 * kept + 1, all.size()}) {
    // Writes of many sizes in turn, small and larger than what is kept, so that the ring wraps anywhere.
    for (const std::vector<std::size_t>& pieces :
         {std::vector<std::size_t>{total}, {3}, {7, 4093, 1, kept + 1, 65537, kept - 1, kept}}) {
      OutputKeeper keeper;
      const std::string_view bytes = std::string_view(all).substr(0, total);
      {
        const test::AllocationMeter meter;
        for (std::size_t at = 0, i = 0; at < total; at += pieces[i++ % pieces.size()]) {
          keeper.write(bytes.substr(at, pieces[i % pieces.size()]));
        }
        EXPECT_LE(meter.peak_bytes(), 2 * kept + 64);
      }
      const std::size_t head = std::min(total, kept), tail = std::min(total - head, kept);
      SCOPED_TRACE(::testing::Message() << total << " bytes, first piece " << pieces[0]);
      EXPECT_EQ(keeper.total(), total);
      EXPECT_EQ(keeper.head(), bytes.substr(0, head));
      EXPECT_EQ(keeper.tail(), bytes.substr(total - tail));
    }
  }
}

TEST(LineSplitter, KeepsALineOnlyUpToItsCap) {
  // Sixteen MiB before a line feed hold no more than the default cap, read at once or in pieces that
  // do not divide it, so that a line growing by doubling would pass it.
  const std::string fed = stream_of(16 << 20) + "\nnext\n";
  const std::string_view cut = std::string_view(fed).substr(0, LineSplitter::default_max_line_bytes);
  for (const std::size_t piece : {fed.size(), std::size_t{5000}}) {
    LineSplitter splitter;
    std::size_t lines = 0;
    const auto check = [&](std::string_view line) { EXPECT_EQ(line, lines++ == 0 ? cut : "next"); };
    {
      const test::AllocationMeter meter;
      for (std::size_t at = 0; at < fed.size(); at += piece) {
        splitter.feed(std::string_view(fed).substr(at, piece), check);
      }
      EXPECT_LE(meter.peak_bytes(), LineSplitter::default_max_line_bytes + 64);
    }
    // A line begun and forgotten leaves nothing of itself, not even a cut.
    splitter.feed(std::string_view(fed).substr(0, 20000), check);
    splitter.drop_partial();
    splitter.feed("next\n", check);
    EXPECT_EQ(lines, 3u) << "read in pieces of " << piece;
  }
}

}  // namespace
}  // namespace orvanta
