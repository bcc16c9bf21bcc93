// The OpenVPN record as it outlives the service's process: its text, and the rule by which the
// process found under its id at the next start is taken to be the recorded one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

// Which process a record names. An id alone can pass to another process once OpenVPN has ended; an id
// together with the creation time cannot.
struct RunIdentity {
  std::uint32_t pid = 0;
  std::uint64_t created = 0;  // the creation time as GetProcessTimes gives it, in FILETIME units
  friend bool operator==(const RunIdentity&, const RunIdentity&) = default;
};

struct RunRecord {
  RunIdentity identity;
  std::u16string image;  // the full image path, as QueryFullProcessImageNameW gives it
  // The value of a handle to OpenVPN's job in OpenVPN's own handle table; 0 when none was given.
  std::uint64_t job = 0;
  friend bool operator==(const RunRecord&, const RunRecord&) = default;
};

// The record as one line of text, fields separated by one space, the image last since it may hold
// spaces:
//   1 <pid> <created> <job> <image>
//   {4242, 133000000000000000, C:\OpenVPN\bin\openvpn.exe, 0x1a4} -> "1 4242 133000000000000000 420
//   C:\OpenVPN\bin\openvpn.exe"
// The leading 1 is the format's version.
[[nodiscard]] std::u16string encode_run_record(const RunRecord& record);
// The record of such a text; nothing for any other text: another version, a number with a sign, a
// leading zero or out of range, an id of 0, a missing or empty image.
[[nodiscard]] std::optional<RunRecord> decode_run_record(std::u16string_view text);

// What the start learned of the process under the recorded id.
struct FoundProcess {
  enum class Outcome {
    Running,  // opened, still running, and its creation time and image read
    Gone,     // no process has that id, or the one that has it has ended
    Unknown,  // an open or a query failed for another reason
  };
  Outcome outcome = Outcome::Unknown;
  std::uint64_t created = 0;
  std::u16string image;
};

enum class Adoption {
  Adopt,  // it is the recorded OpenVPN
  Clear,  // it is not, or is no more: nothing to end, and the record names nothing
  Keep,   // it could not be told: the record stays, so that nothing running is silently forgotten
};

// Adopt only a running process whose creation time and image equal the record's. The image is
// compared exactly: both texts come from the same query on the same process, so any difference means
// another process.
[[nodiscard]] Adoption judge_found(const RunRecord& record, const FoundProcess& found);

}  // namespace orvanta
