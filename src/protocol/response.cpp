// The reply bytes, written by hand: their form is fixed to the byte and no JSON writer gives it.
#include "protocol/response.hpp"

#include <algorithm>
#include <charconv>

namespace orvanta {
namespace {

bool needs_escape(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || c == '"' || c == '\\';
}

// Escapes: " and \ get a backslash; 0x08 0x09 0x0A 0x0C 0x0D have their short forms; every other
// byte below 0x20 is \u00xx in lower-case hex. Everything else, '/' and 0x7F included, stays. The
// bytes between escapes are copied a run at a time: a reply that quotes a long request is megabytes,
// all of it encoded on the thread that serves every connection.
void append_escaped(std::string& out, std::string_view text) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  for (auto run = text.begin(); run != text.end();) {
    const auto escaped = std::find_if(run, text.end(), needs_escape);
    out.append(run, escaped);
    if (escaped == text.end()) {
      break;
    }
    const auto byte = static_cast<unsigned char>(*escaped);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 0x0F];
    }
    run = escaped + 1;
  }
}

void append_number(std::string& out, std::uint32_t value) {
  char digits[10];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void append_string(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

template <class T, class Append>
void append_optional(std::string& out, const std::optional<T>& value, Append append) {
  if (value) {
    append(out, *value);
  } else {
    out += "null";
  }
}

// Short and bounded (a detail is at most 512 bytes), so written as one piece.
void append_state(std::string& out, const StateReport& state) {
  out += ",\"phase\":";
  append_string(out, state.phase);
  out += ",\"since\":";
  append_string(out, state.since);
  out += ",\"reason\":";
  append_optional(out, state.reason, append_string);
  out += ",\"last_exit\":";
  append_optional(out, state.last_exit, [](std::string& to, const ExitReport& exit) {
    to += "{\"pid\":";
    append_number(to, exit.pid);
    to += ",\"at\":";
    append_string(to, exit.at);
    to += ",\"code\":";
    append_optional(to, exit.code, append_number);
    to += ",\"cause\":";
    append_string(to, exit.cause);
    to += ",\"detail\":";
    append_optional(to, exit.detail, append_string);
    to += '}';
  });
}

}  // namespace

std::string_view ResponsePieces::next() {
  piece_.clear();
  if (stage_ == Stage::Done) {
    return {};
  }
  if (stage_ == Stage::Head) {
    piece_.reserve(128);
    piece_ += "{\"ok\":";
    piece_ += response_->ok ? "true" : "false";
    piece_ += ",\"message\":\"";
    stage_ = Stage::Message;
  }
  // An escaped byte takes at most six; the piece is handed on once it holds `piece_bytes`.
  const std::string_view message = response_->message;
  while (message_taken_ < message.size()) {
    const std::string_view slice = message.substr(message_taken_, piece_bytes_);
    append_escaped(piece_, slice);
    message_taken_ += slice.size();
    if (piece_.size() >= piece_bytes_) {
      return piece_;
    }
  }
  piece_ += "\",\"pid\":";
  append_optional(piece_, response_->pid, append_number);
  if (response_->state) {
    append_state(piece_, *response_->state);
  }
  piece_ += "}\n";
  stage_ = Stage::Done;
  return piece_;
}

bool write_response(const HelperResponse& response, std::size_t piece_bytes,
                    const std::function<bool(std::string_view)>& write) {
  ResponsePieces pieces(response, piece_bytes);
  for (std::string_view piece = pieces.next(); !piece.empty(); piece = pieces.next()) {
    if (!write(piece)) {
      return false;
    }
  }
  return true;
}

std::string encode_response(const HelperResponse& response) {
  std::string out;
  out.reserve(128);
  (void)write_response(response, std::string::npos, [&out](std::string_view piece) {
    out += piece;
    return true;
  });
  return out;
}

}  // namespace orvanta
