// The reply document and its exact bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

// How the last OpenVPN ended, as a `state` reply tells it.
struct ExitReport {
  std::uint32_t pid = 0;
  std::string at;  // YYYY-MM-DDTHH:MM:SSZ
  std::optional<std::uint32_t> code;
  std::string cause;
  std::optional<std::string> detail;
  friend bool operator==(const ExitReport&, const ExitReport&) = default;
};

// The members a `state` reply carries after `pid`.
struct StateReport {
  std::string phase;
  std::string since;  // YYYY-MM-DDTHH:MM:SSZ
  std::optional<std::string> reason;
  std::optional<ExitReport> last_exit;
  friend bool operator==(const StateReport&, const StateReport&) = default;
};

struct HelperResponse {
  bool ok = false;
  std::string message;
  std::optional<std::uint32_t> pid;
  std::optional<StateReport> state = std::nullopt;  // only in the reply to `state`
  friend bool operator==(const HelperResponse&, const HelperResponse&) = default;
};

// {"ok":true,"message":"stopped","pid":null} followed by one line feed; a reply with a state report
// has its members after pid, every one always present:
//   ,"phase":"stopped","since":"...","reason":null,"last_exit":{"pid":4242,"at":"...","code":1,
//   "cause":"options-error","detail":"..."}
[[nodiscard]] std::string encode_response(const HelperResponse& response);

// The same bytes, handed to `write` in order in pieces of a little over `piece_bytes`, so that a long
// message is never held twice; stops, with false, at the first piece `write` does not take.
bool write_response(const HelperResponse& response, std::size_t piece_bytes,
                    const std::function<bool(std::string_view)>& write);

// The same pieces, each made only when it is asked for, so that a reply can be sent by whoever gets to
// it next without a thread waiting on it. The response must outlive its pieces.
class ResponsePieces {
 public:
  ResponsePieces(const HelperResponse& response, std::size_t piece_bytes)
      : response_(&response), piece_bytes_(piece_bytes) {}

  // The next piece; empty once every byte has been given.
  [[nodiscard]] std::string_view next();

 private:
  enum class Stage { Head, Message, Done };
  const HelperResponse* response_;
  std::size_t piece_bytes_;
  Stage stage_ = Stage::Head;
  std::size_t message_taken_ = 0;
  std::string piece_;
};

}  // namespace orvanta
