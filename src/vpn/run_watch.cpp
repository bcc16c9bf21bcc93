// Following one OpenVPN run: the output pipe's reader thread, the log read on demand, and the story
// both feed.
#include "vpn/run_watch.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

#include "common/utf16.hpp"

namespace orvanta {

namespace {

constexpr DWORD identification_only = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// More new log than this (the first read after an adoption, a long quiet spell) is skipped but for its
// last lines: the phase is in what OpenVPN wrote last.
constexpr std::uint64_t max_log_read = 1 << 20;
constexpr DWORD read_chunk = 65536;
// How long the last read waits for the output pipe to end once OpenVPN has: the pipe ends at once
// unless something OpenVPN started holds it, and then it may never.
constexpr auto output_end_wait = std::chrono::milliseconds(500);

UniqueFile open_log(const std::wstring& path, DWORD access) {
  UniqueFile file(CreateFileW(path.c_str(), access, share_all, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | identification_only, nullptr));
  if (file && GetFileType(file.get()) != FILE_TYPE_DISK) {
    file.reset();
  }
  return file;
}

}  // namespace

std::uint64_t system_time_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

std::optional<std::u16string> prepare_log(const std::string& log) {
  const std::wstring wide = to_wide(log);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) {
      return std::nullopt;
    }
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  UniqueFile file(CreateFileW(full.c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | identification_only, nullptr));
  if (!file) {
    // A log that is not there yet is this run's from its first byte.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? std::optional(from_wide(full)) : std::nullopt;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !SetEndOfFile(file.get())) {
    return std::nullopt;
  }
  return from_wide(full);
}

RunWatch::RunWatch(std::optional<std::u16string> log, Phase first) : log_(std::move(log)), first_(first) {}

void RunWatch::read_output(UniqueHandle pipe) {
  try {
    std::thread([self = shared_from_this(), owned = std::move(pipe)] { self->pump(owned.get()); }).detach();
  } catch (const std::exception&) {
    // No thread to read with: the pipe's read end closes with `pipe`, and OpenVPN's writes to it fail
    // rather than block. Nothing more will come of it.
    take_output({}, true);
  }
}

void RunWatch::pump(HANDLE pipe) {
  try {
    std::vector<char> buffer(read_chunk);
    DWORD got = 0;
    // A write of no bytes completes a read of none; only the pipe's end stops the reader.
    while (ReadFile(pipe, buffer.data(), read_chunk, &got, nullptr)) {
      take_output(std::string_view(buffer.data(), got), false);
    }
  } catch (const std::exception&) {
    // Out of memory: the reader stops, and the pipe's read end closes with its owner.
  }
  take_output({}, true);
}

template <class Feed>
void RunWatch::tell(Feed&& feed) {
  const Phase before = story_.phase();
  const std::optional<std::string> reason_before = story_.reason();
  feed();
  if (story_.phase() != before || story_.reason() != reason_before) {
    since_ = system_time_now();
  }
}

void RunWatch::take_output(std::string_view bytes, bool end) {
  const std::lock_guard story(story_mutex_);
  tell([&] {
    output_.write(bytes);
    const auto line = [this](std::string_view text) { story_.take_line(Source::Output, text); };
    output_lines_.feed(bytes, line);
    if (end) {
      output_lines_.feed("\n", line);  // a last line without its line feed is still a line
    }
  });
  if (end && !output_ended_) {
    output_ended_ = true;
    output_end_.notify_all();
  }
}

void RunWatch::catch_up(bool last) {
  if (last) {
    std::unique_lock story(story_mutex_);
    (void)output_end_.wait_for(story, output_end_wait, [this] { return output_ended_; });
  }
  const std::lock_guard reading(read_mutex_);
  read_log();
  if (last) {
    const std::lock_guard story(story_mutex_);
    tell([&] {
      log_lines_.feed("\n", [this](std::string_view text) { story_.take_line(Source::Log, text); });
    });
  }
}

void RunWatch::read_log() {
  if (!log_) {
    return;
  }
  const UniqueFile file = open_log(to_wide(*log_), GENERIC_READ);
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size)) {
    return;
  }
  const auto end = static_cast<std::uint64_t>(size.QuadPart);
  std::uint64_t start = log_offset_;
  bool to_line_start = false;
  if (end < start) {
    start = 0;  // cut short under us: what is there now is written anew
    log_lines_.drop_partial();
  }
  if (end - start > max_log_read) {
    // One byte early: if it is a line feed, the line after it is whole.
    start = end - max_log_read - 1;
    to_line_start = true;
    log_lines_.drop_partial();
  }
  LARGE_INTEGER from{};
  from.QuadPart = static_cast<LONGLONG>(start);
  if (!SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN)) {
    return;
  }
  std::vector<char> buffer(read_chunk);
  std::uint64_t at = start;
  while (at < end) {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>(read_chunk, end - at));
    if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0) {
      break;
    }
    at += got;
    std::string_view bytes(buffer.data(), got);
    if (to_line_start) {
      const std::size_t feed = bytes.find('\n');
      bytes = feed == std::string_view::npos ? std::string_view() : bytes.substr(feed + 1);
      to_line_start = feed == std::string_view::npos;
    }
    const std::lock_guard story(story_mutex_);
    tell([&] {
      log_lines_.feed(bytes, [this](std::string_view text) { story_.take_line(Source::Log, text); });
    });
  }
  log_offset_ = at;
}

RunWatch::Look RunWatch::look() const {
  const std::lock_guard story(story_mutex_);
  Look look{story_.phase(), since_, story_.reason(), story_.seen_cause()};
  if (look.phase == Phase::Starting) {
    look.phase = first_;
  }
  return look;
}

}  // namespace orvanta
