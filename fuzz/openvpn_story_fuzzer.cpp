// Arbitrary bytes as OpenVPN's two streams: whatever they hold, the story told is one the service can
// pass on, and the texts and the kept output keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vpn/openvpn_story.hpp"

namespace {

using namespace orvanta;

void require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool is_safe(const std::string& text) { return safe_text(text) == text; }

// The story after one more line: a phase the reader may reach, a reason only where one belongs, a
// cause only of those the lines point at, every text safe.
void check_story(const RunStory& story, Phase before) {
  const Phase phase = story.phase();
  require(phase != Phase::Stopping && phase != Phase::Stopped);
  require(phase != Phase::Starting || before == Phase::Starting);
  if (const auto& reason = story.reason()) {
    require(phase == Phase::Connected || phase == Phase::Reconnecting);
    require(!reason->empty() && is_safe(*reason));
  }
  if (const auto seen = story.seen_cause()) {
    require(seen->cause >= ExitCause::OptionsError && seen->cause <= ExitCause::FatalError);
    require(!seen->detail || is_safe(*seen->detail));
    require(seen->cause != ExitCause::AuthFailed || !seen->detail);
    require(seen->cause != ExitCause::OptionsError || seen->detail->starts_with("Options error:"));
    require(choose_exit_cause(false, false, std::nullopt, seen) == seen->cause);
  }
}

// The text made safe: valid (safe again unchanged), as long as fits, and decided within the first
// 512 + 4 bytes, which is all the reader keeps of a line that a later one may need.
void check_safe_text(std::string_view bytes) {
  const std::string whole = safe_text(bytes, std::string::npos);
  require(safe_text(whole, std::string::npos) == whole);
  const std::string cut = safe_text(bytes);
  require(cut.size() <= 512 && whole.starts_with(cut) &&
          (cut.size() == whole.size() || cut.size() + 4 > 512));
  require(safe_text(bytes.substr(0, 516)) == cut);
}

// The bytes written five times over, in pieces whose sizes the bytes choose, so that a few KiB pass
// the head and wrap the tail.
void check_output_keeper(std::string_view bytes) {
  std::string all;
  OutputKeeper keeper;
  for (int round = 0; round < 5; ++round) {
    all.append(bytes);
    for (std::size_t at = 0, i = 0; at < bytes.size(); ++i) {
      const std::size_t piece = 1 + static_cast<unsigned char>(bytes[i % bytes.size()]) * 41u;
      keeper.write(bytes.substr(at, piece));
      at += piece;
    }
  }
  const std::size_t head = std::min(all.size(), OutputKeeper::kept_bytes);
  const std::size_t tail = std::min(all.size() - head, OutputKeeper::kept_bytes);
  require(keeper.total() == all.size());
  require(keeper.head() == std::string_view(all).substr(0, head));
  require(keeper.tail() == std::string_view(all).substr(all.size() - tail));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Each NUL byte hands the bytes after it to the other source, so that the two interleave. The
  // output's small cap cuts lines often; the log's is the default.
  RunStory story;
  LineSplitter splitters[2] = {LineSplitter(), LineSplitter(100)};
  const std::size_t caps[2] = {LineSplitter::default_max_line_bytes, 100};
  int source = 0;
  for (std::size_t at = 0; at <= size;) {
    const std::size_t end = std::min(bytes.find('\0', at), size);
    splitters[source].feed(bytes.substr(at, end - at), [&](std::string_view line) {
      require(line.size() <= caps[source] && line.find('\n') == std::string_view::npos);
      const Phase phase = story.phase();
      const std::optional<std::string> reason = story.reason();
      const bool changed = story.take_line(static_cast<Source>(source), line);
      require(changed == (story.phase() != phase || story.reason() != reason));
      check_story(story, phase);
    });
    source = 1 - source;
    at = end + 1;
  }

  check_safe_text(bytes);
  if (size > 0) {
    check_output_keeper(bytes);
  }

  // A stored last exit reads back only as written, and what the story told is stored as it is.
  if (const auto exit = decode_last_exit(bytes)) {
    require(encode_last_exit(*exit) == bytes);
  }
  const auto seen = story.seen_cause();
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 8); ++i) {
    at = at << 8 | data[i];
  }
  const LastExit exit{static_cast<std::uint32_t>(at) | 1, at,
                      size % 2 ? std::optional<std::uint32_t>(at >> 32) : std::nullopt,
                      choose_exit_cause(false, false, std::nullopt, seen),
                      seen ? seen->detail : std::nullopt};
  require(decode_last_exit(encode_last_exit(exit)) == exit);
  require(utc_text(at).size() >= 20 && utc_text(at).ends_with('Z'));
  return 0;
}
