// What Linux says about a process of the benchmark (a Wine process is one Linux process): its memory
// figures, its threads, and its resident memory mapping by mapping.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace orvanta::bench {

inline constexpr double mebibyte = 1024.0 * 1024.0;
inline double mib(long long bytes) { return static_cast<double>(bytes) / mebibyte; }

// A field of /proc/PID/status in bytes ("VmHWM", "VmRSS"); nothing once the process is gone.
inline std::optional<long long> status_bytes(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::strtoll(line.c_str() + field.size() + 1, nullptr, 10) * 1024;  // the kernel says kB
    }
  }
  return std::nullopt;
}

// The entries of /proc/PID/task, one per thread; nothing once the process is gone.
inline std::optional<int> thread_count(int pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (dir == nullptr) {
    return std::nullopt;
  }
  int threads = 0;
  while (const dirent* entry = readdir(dir)) {
    threads += entry->d_name[0] != '.';
  }
  closedir(dir);
  return threads;
}

// Resident bytes by what is mapped: a file's path, or "[anon]", "[heap]", "[stack]". Wine reads an
// executable whose sections are not page-aligned in the file into anonymous memory, so such an image
// counts as "[anon]" here.
inline std::map<std::string, long long> resident_by_mapping(int pid) {
  std::map<std::string, long long> resident;
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::string line;
  std::string name = "[anon]";
  while (std::getline(smaps, line)) {
    if (line.rfind("Rss:", 0) == 0) {
      resident[name] += std::strtoll(line.c_str() + 4, nullptr, 10) * 1024;
      continue;
    }
    // A mapping's first line: range, permissions, offset, device, inode, then the path if any.
    unsigned long start = 0;
    unsigned long end = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %*s %*s %*s %*s%n", &start, &end, &consumed) == 2 &&
        consumed > 0) {
      const auto path = line.find_first_not_of(' ', static_cast<std::size_t>(consumed));
      name = path == std::string::npos ? "[anon]" : line.substr(path);
    }
  }
  return resident;
}

}  // namespace orvanta::bench
