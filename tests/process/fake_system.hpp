// A scripted stand-in for the system seam: files that exist, full paths, failing calls.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "process/system_queries.hpp"

namespace orvanta::test {

struct FakeSystem : SystemQueries {
  Result<std::u16string> executable = u"C:\\svc\\helper.exe";
  Result<std::u16string> system = u"C:\\Windows\\System32";
  Result<std::u16string> windows = u"C:\\Windows";
  std::optional<std::u16string> path;
  std::u16string current_directory = u"C:\\work";
  std::set<std::u16string> files;
  std::map<std::u16string, Result<std::u16string>> full_paths;  // answers that override the default
  std::vector<std::u16string> looked_up;                        // exists() calls, in order

  Result<std::u16string> own_executable() override { return executable; }
  Result<std::u16string> system_directory() override { return system; }
  Result<std::u16string> windows_directory() override { return windows; }
  std::optional<std::u16string> path_variable() override { return path; }

  // By default: a relative path is joined to the current directory, and trailing dots and spaces are
  // trimmed, as the system does.
  Result<std::u16string> full_path_name(std::u16string_view text) override {
    if (auto answer = full_paths.find(std::u16string(text)); answer != full_paths.end()) {
      return answer->second;
    }
    std::u16string full(text);
    const bool absolute = (full.size() >= 2 && full[1] == u':' && (full.size() == 2 || full[2] == u'\\')) ||
                          full.starts_with(u"\\\\");
    if (!absolute) {
      full = current_directory + u"\\" + full;
    }
    while (!full.empty() && (full.back() == u'.' || full.back() == u' ')) {
      full.pop_back();
    }
    return full;
  }

  bool exists(std::u16string_view candidate) override {
    looked_up.emplace_back(candidate);
    return files.contains(std::u16string(candidate));
  }
};

}  // namespace orvanta::test
