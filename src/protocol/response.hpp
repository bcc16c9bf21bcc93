// The reply document and its exact bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

struct HelperResponse {
  bool ok = false;
  std::string message;
  std::optional<std::uint32_t> pid;
  friend bool operator==(const HelperResponse&, const HelperResponse&) = default;
};

// {"ok":true,"message":"stopped","pid":null} followed by one line feed.
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
