// How a benchmark host knows that it is done: its standard input ends (or it is killed).
#pragma once

#include <windows.h>

namespace orvanta::bench {

// Blocks until standard input reaches its end or fails; without one, until the process is ended.
inline void wait_for_end_of_input() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    Sleep(INFINITE);
  }
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
  }
}

}  // namespace orvanta::bench
