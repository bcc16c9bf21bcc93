// Sleeps until it is ended: holds a Wine session open while a service runs in it.
#include <windows.h>

int main() {
  Sleep(INFINITE);
  return 0;
}
