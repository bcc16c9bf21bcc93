// The first reading phase, driven by the JSON reader's events as it goes from left to right.
#include "protocol/document.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include <rapidjson/reader.h>

#include "protocol/error_position.hpp"
#include "protocol/fields.hpp"
#include "protocol/json_text.hpp"
#include "protocol/number_literal.hpp"
#include "protocol/syntax_error.hpp"
#include "protocol/text_stream.hpp"

namespace orvanta::protocol {
namespace {

// Numbers arrive as their literal so that we classify them (and keep "-0" apart from "0"); the reader
// stops after the top-level value so that trailing bytes wait for the second phase; and it rejects
// invalid UTF-8 and raw control characters inside strings.
constexpr unsigned read_flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseStopWhenDoneFlag |
                                rapidjson::kParseNumbersAsStringsFlag;

// The top-level value is level 1. The reader descends recursively and has no limit of its own; this
// one bounds its stack use too.
constexpr std::size_t max_depth = 127;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The memory behind the reader's working stack. RapidJSON's own allocator answers a failed allocation
// with a null pointer that the reader then writes through; this one throws std::bad_alloc, which ends
// the one request that asked for the memory. It goes through operator new, like every other
// allocation of a request.
class ThrowingAllocator {
 public:
  void* Malloc(std::size_t size) { return size == 0 ? nullptr : ::operator new(size); }
  void* Realloc(void* original, std::size_t original_size, std::size_t new_size) {
    if (new_size == 0) {
      Free(original);
      return nullptr;
    }
    void* grown = ::operator new(new_size);
    if (original != nullptr) {
      std::memcpy(grown, original, original_size < new_size ? original_size : new_size);
      Free(original);
    }
    return grown;
  }
  static void Free(void* block) { ::operator delete(block); }
};

using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ThrowingAllocator>;

std::optional<Tag> tag_named(std::string_view name) {
  if (name == "connect") {
    return Tag::Connect;
  }
  if (name == "disconnect") {
    return Tag::Disconnect;
  }
  if (name == "status") {
    return Tag::Status;
  }
  if (name == "state") {
    return Tag::State;
  }
  return std::nullopt;
}

// Receives the reader's events. Returning false stops the reader; the reason is in error().
//
// 1. Top level: an object or array sets the form; any other value is "invalid type".
// 2. Object form, level 1: the key "cmd" announces the tag (a second one is "duplicate field"); the
//    value of a connect field name goes to the connect rules; every other member is dropped.
// 3. Array form, level 1: the first element is the tag; the others are counted and the first four kept.
// 4. The tag is resolved as soon as it is read: a string names a variant or is an unknown variant;
//    anything else is "invalid type".
// 5. Deeper levels only count the depth; their values are read for syntax and then dropped.
// 6. When level 1 closes without a tag: "missing field `cmd`".
class DocumentHandler {
 public:
  // `text` is what the client sent; the stream may read a copy of it with some number literals
  // rewritten, of the same length, so positions and literals are always taken from `text`.
  DocumentHandler(std::string_view text, const TextStream& stream) : text_(text), stream_(stream) {}

  bool Null() { return on_scalar(ValueKind::Null, {}); }
  bool Bool(bool b) { return on_scalar(ValueKind::Boolean, b ? "true" : "false"); }
  // With numbers read as literals, only RawNumber is called.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }

  bool RawNumber(const char*, rapidjson::SizeType length, bool) {
    const std::size_t end = stream_.Tell();
    // The reader ends a number after a leading 0 even when digits follow ("01"); JSON forbids that.
    if (end < text_.size() && is_digit(text_[end])) {
      return fail(error_at("invalid number", text_, end + 1));
    }
    auto value = number_value(text_.substr(end - length, length));
    if (!value) {
      return fail(error_at("number out of range", text_, end));
    }
    return on_scalar(value->kind, value->text);
  }

  bool String(const char* content, rapidjson::SizeType length, bool) {
    const std::string_view decoded(content, length);
    if (!check_surrogates(decoded)) {
      return false;
    }
    return on_scalar(ValueKind::String, decoded);
  }

  bool Key(const char* content, rapidjson::SizeType length, bool) {
    const std::string_view key(content, length);
    if (!check_surrogates(key)) {
      return false;
    }
    if (depth_ != 1) {
      return true;
    }
    if (key != "cmd") {
      member_field_ = connect_field(key);
      member_is_token_ = key == "token";
      return true;
    }
    if (tag_) {
      return fail(error_at("duplicate field `cmd`", text_, point_after_duplicate_key()));
    }
    expecting_tag_ = true;
    return true;
  }

  bool StartObject() { return on_open(ValueKind::Map); }
  bool StartArray() { return on_open(ValueKind::Sequence); }
  bool EndObject(rapidjson::SizeType) { return on_close(); }
  bool EndArray(rapidjson::SizeType) { return on_close(); }

  [[nodiscard]] bool failed() const { return error_.has_value(); }
  // The error text of a long value can be several times the request's size: it is moved, not copied.
  [[nodiscard]] RequestError take_error() { return std::move(*error_); }

  // Valid once the reader has finished without a fault.
  [[nodiscard]] Document take_document() {
    Document document;
    document.tag = tag_.value_or(Tag::Status);
    if (sequence_form_) {
      document.body = std::move(elements_);
    } else {
      document.body = std::move(members_);
    }
    document.end = end_;
    if (token_members_ == 1) {
      document.token = std::move(token_);
    }
    return document;
  }

 private:
  bool fail(RequestError error) {
    error_ = std::move(error);
    return false;
  }

  bool check_surrogates(std::string_view decoded) {
    if (!holds_surrogate(decoded)) {
      return true;
    }
    // The closing quote is the byte just before the reader's position.
    auto error = lone_trailing_surrogate(text_, stream_.Tell() - 1);
    return fail(error ? std::move(*error)
                      : error_at("lone trailing surrogate in hex escape", text_, stream_.Tell()));
  }

  // `text` is what a Value of this kind holds; it is copied only where the value is kept.
  bool on_scalar(ValueKind kind, std::string_view text) {
    if (depth_ == 0) {
      return fail(
          error_at(invalid_type(kind, text, "internally tagged enum HelperRequest"), text_, stream_.Tell()));
    }
    if (depth_ == 1) {
      return on_top_level_value(kind, text, stream_.Tell());
    }
    return true;
  }

  bool on_open(ValueKind kind) {
    if (depth_ == max_depth) {
      return fail(error_at("recursion limit exceeded", text_, stream_.Tell()));
    }
    if (depth_ == 0) {
      sequence_form_ = kind == ValueKind::Sequence;
      expecting_tag_ = sequence_form_;
    } else if (depth_ == 1) {
      // A tag of this kind is reported before its bracket, which counts as not read.
      if (!on_top_level_value(kind, {}, stream_.Tell() - 1)) {
        return false;
      }
    }
    ++depth_;
    return true;
  }

  bool on_close() {
    --depth_;
    if (depth_ > 0) {
      return true;
    }
    if (!tag_) {
      return fail(error_at("missing field `cmd`", text_, stream_.Tell()));
    }
    end_ = stream_.Tell();
    return true;
  }

  // A member value of the object form or an element of the array form; `point` is where a fault in
  // the tag would be reported.
  bool on_top_level_value(ValueKind kind, std::string_view text, std::size_t point) {
    if (expecting_tag_) {
      expecting_tag_ = false;
      return resolve_tag(kind, text, point);
    }
    if (sequence_form_) {
      if (elements_.count < elements_.head.size()) {
        elements_.head[elements_.count] = Value{kind, std::string(text)};
      }
      ++elements_.count;
    } else if (member_field_) {
      take_connect_member(members_, *member_field_, Value{kind, std::string(text)});
    } else if (member_is_token_ && ++token_members_ == 1 && kind == ValueKind::String) {
      token_ = std::string(text);
    }
    return true;
  }

  bool resolve_tag(ValueKind kind, std::string_view text, std::size_t point) {
    if (kind != ValueKind::String) {
      return fail(error_at(invalid_type(kind, text, "variant identifier"), text_, point));
    }
    tag_ = tag_named(text);
    if (!tag_) {
      // Made in one piece, since the value can be as long as the request.
      constexpr std::string_view head = "unknown variant `";
      constexpr std::string_view tail = "`, expected one of `connect`, `disconnect`, `status`, `state`";
      std::string description;
      description.reserve(head.size() + text.size() + tail.size());
      description.append(head).append(text).append(tail);
      return fail(error_at(std::move(description), text_, point));
    }
    return true;
  }

  // Just after the key's closing quote and the white space after it, and after a '}' that follows.
  [[nodiscard]] std::size_t point_after_duplicate_key() const {
    std::size_t point = stream_.Tell();
    while (point < text_.size() && is_json_white_space(text_[point])) {
      ++point;
    }
    if (point < text_.size() && text_[point] == '}') {
      ++point;
    }
    return point;
  }

  std::string_view text_;
  const TextStream& stream_;
  std::size_t depth_ = 0;
  bool sequence_form_ = false;
  bool expecting_tag_ = false;
  std::optional<Tag> tag_;
  std::optional<std::size_t> member_field_;  // the connect field whose value comes next (object form)
  bool member_is_token_ = false;             // the "token" member's value comes next (object form)
  std::size_t token_members_ = 0;
  std::optional<std::string> token_;  // the first token member's value, when it is a string
  ObjectBody members_;
  SequenceBody elements_;
  std::size_t end_ = 0;
  std::optional<RequestError> error_;
};

// The reader refuses a literal whose value overflows at its first digit past the range; the fault is
// the whole literal, so its point is just after its last digit (1e4000 -> column 6). A literal that
// breaks the grammar further on ("1" and 400 zeros, then ".x") is that syntax fault instead.
RequestError too_large(std::string_view text, std::size_t start) {
  const NumberScan scan = scan_number(text, start);
  if (scan.fault) {
    return syntax_error(text, *scan.fault, scan.fault_at);
  }
  return error_at("number out of range", text, scan.end);
}

}  // namespace

std::expected<Document, RequestError> read_document(std::string_view text) {
  const std::optional<std::string> rewritten = with_large_literals_as_zeros(text);
  TextStream stream(rewritten ? std::string_view(*rewritten) : text);
  DocumentHandler handler(text, stream);
  // Room for the longest token from the start: a decoded string or a number literal is never longer
  // than the text, and a working stack that grows keeps its old and new block at once.
  Reader reader(nullptr, text.size() + 1);
  const rapidjson::ParseResult result = reader.Parse<read_flags>(stream, handler);
  if (handler.failed()) {
    return std::unexpected(handler.take_error());
  }
  if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
    return std::unexpected(too_large(text, result.Offset()));
  }
  if (result.IsError()) {
    return std::unexpected(syntax_error(text, result.Code(), stream.last_peek()));
  }
  return handler.take_document();
}

}  // namespace orvanta::protocol
