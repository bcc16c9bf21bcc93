// The record's text and the match rule; no Windows API.
#include "vpn/run_record.hpp"

#include <limits>

namespace orvanta {

namespace {

constexpr std::u16string_view format_version = u"1";

void append_decimal(std::u16string& text, std::uint64_t value) {
  char16_t digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    text.push_back(digits[--count]);
  }
  text.push_back(u' ');
}

// Takes "<digits> " off the front of `rest`: at least one digit, no leading zero, at most `maximum`.
std::optional<std::uint64_t> take_decimal(std::u16string_view& rest, std::uint64_t maximum) {
  const std::size_t space = rest.find(u' ');
  if (space == std::u16string_view::npos || space == 0 || (space > 1 && rest.front() == u'0')) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char16_t digit : rest.substr(0, space)) {
    if (digit < u'0' || digit > u'9') {
      return std::nullopt;
    }
    const auto next = static_cast<std::uint64_t>(digit - u'0');
    if (value > (maximum - next) / 10) {
      return std::nullopt;
    }
    value = value * 10 + next;
  }
  rest.remove_prefix(space + 1);
  return value;
}

}  // namespace

std::u16string encode_run_record(const RunRecord& record) {
  std::u16string text(format_version);
  text.push_back(u' ');
  append_decimal(text, record.identity.pid);
  append_decimal(text, record.identity.created);
  append_decimal(text, record.job);
  text.append(record.image);
  return text;
}

std::optional<RunRecord> decode_run_record(std::u16string_view text) {
  if (!text.starts_with(format_version) || text.substr(format_version.size(), 1) != u" ") {
    return std::nullopt;
  }
  std::u16string_view rest = text.substr(format_version.size() + 1);
  constexpr auto any = std::numeric_limits<std::uint64_t>::max();
  const auto pid = take_decimal(rest, std::numeric_limits<std::uint32_t>::max());
  const auto created = take_decimal(rest, any);
  const auto job = take_decimal(rest, any);
  if (!pid || *pid == 0 || !created || !job || rest.empty()) {
    return std::nullopt;
  }
  return RunRecord{{static_cast<std::uint32_t>(*pid), *created}, std::u16string(rest), *job};
}

Adoption judge_found(const RunRecord& record, const FoundProcess& found) {
  switch (found.outcome) {
    case FoundProcess::Outcome::Running:
      return found.created == record.identity.created && found.image == record.image ? Adoption::Adopt
                                                                                     : Adoption::Clear;
    case FoundProcess::Outcome::Gone:
      return Adoption::Clear;
    case FoundProcess::Outcome::Unknown:
      break;
  }
  return Adoption::Keep;
}

}  // namespace orvanta
