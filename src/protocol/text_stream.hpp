// The byte stream the JSON reader pulls the request text from, with the positions our errors need.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvanta::protocol {

// A read-only RapidJSON input stream over the request text.
//
// RapidJSON copies its own string streams into locals while it reads a token, so their Tell() lags
// behind inside handler calls. This stream is never copied (StreamTraits keeps the default, no copy
// optimisation), so Tell() in a handler is the live point just after the token that was read.
//
// It also remembers the offset of the last byte the reader looked at: when the reader gives up, that
// is the byte that did not fit, and the error's point is just after it.
class TextStream {
 public:
  using Ch = char;

  explicit TextStream(std::string_view text) : text_(text) {}
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  // The reader takes '\0' for the end of the text; a NUL byte inside the text looks the same to it,
  // so the error mapping tells the two apart with last_peek() against the length.
  [[nodiscard]] Ch Peek() const {
    last_peek_ = position_;
    return position_ < text_.size() ? text_[position_] : '\0';
  }
  Ch Take() {
    if (position_ >= text_.size()) {
      return '\0';
    }
    return text_[position_++];
  }
  [[nodiscard]] std::size_t Tell() const { return position_; }
  [[nodiscard]] std::size_t last_peek() const { return last_peek_; }

  // The writing half of the stream concept; only in-place parsing uses it, which we never ask for.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  mutable std::size_t last_peek_ = 0;
};

}  // namespace orvanta::protocol
