// The console on Windows.
//
// Output: the C runtime's own printf (msvcrt's), on standard output in text
// mode, so each line feed goes out as CR LF. On a console msvcrt lends the
// stream a 4096-byte buffer for the length of one call, so each message is
// one write, on the screen as it is printed; to a file or a pipe it keeps a
// 4096-byte buffer, written when full and at exit. MinGW's own printf, which
// libstdc++ turns on for all C++ code (__USE_MINGW_ANSI_STDIO), would hand the
// runtime one character at a time, and on a console each would be a write of
// its own.
//
// Key check: the console's input device, "CONIN$", looked at with
// PeekConsoleInputA and never read or flushed, so the key that ends the run
// is still there for whatever reads the console next.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "console/console.h"

namespace {

HANDLE input = INVALID_HANDLE_VALUE;
bool open_tried = false;

// Nothing that fails to qualify is ever removed, so every call looks at all
// waiting events, however many there are: the buffer grows to the largest
// count seen and is kept.
INPUT_RECORD* events = nullptr;
DWORD capacity = 0;

// The keys without a character that still end the run: F1 to F12 and these.
// The keypad's cursor keys send the same codes with Num Lock off, and carry
// digits with it on.
constexpr WORD kCursorAndEditingKeys[] = {VK_LEFT, VK_UP,    VK_RIGHT, VK_DOWN,   VK_HOME,
                                          VK_END,  VK_PRIOR, VK_NEXT,  VK_INSERT, VK_DELETE};

bool IsExtendedKey(WORD code) {
  if (code >= VK_F1 && code <= VK_F12) return true;
  return std::find(std::begin(kCursorAndEditingKeys), std::end(kCursorAndEditingKeys), code) !=
         std::end(kCursorAndEditingKeys);
}

bool IsKeyPress(const INPUT_RECORD& event) {
  if (event.EventType != KEY_EVENT) return false;
  const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
  return key.bKeyDown != FALSE &&
         (key.uChar.AsciiChar != '\0' || IsExtendedKey(key.wVirtualKeyCode));
}

// Room for `count` events. Should the buffer fail to grow, the events that fit
// are looked at, the oldest first.
DWORD Room(DWORD count) {
  if (count > capacity) {
    void* grown = std::realloc(events, count * sizeof(INPUT_RECORD));
    if (grown != nullptr) {
      events = static_cast<INPUT_RECORD*>(grown);
      capacity = count;
    }
  }
  return std::min(count, capacity);
}

// One attempt per process: without a console the device is not there, and
// the run goes on until it is ended from outside.
void OpenInput() {
  open_tried = true;
  input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as the run's messages are written
// The output is not checked here: a console or a file on Windows is written
// as the program always wrote it, and the run goes on until the key.
bool ConsolePrint(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  __ms_vprintf(format, arguments);
  va_end(arguments);
  return true;
}

bool KeyPending() {
  if (!open_tried) OpenInput();
  if (input == INVALID_HANDLE_VALUE) return false;
  DWORD waiting = 0;
  if (GetNumberOfConsoleInputEvents(input, &waiting) == FALSE || waiting == 0) return false;
  const DWORD room = Room(waiting);
  DWORD seen = 0;
  if (room == 0 || PeekConsoleInputA(input, events, room, &seen) == FALSE || seen == 0 ||
      seen > room) {
    return false;
  }
  return std::any_of(events, events + seen, IsKeyPress);
}

bool ConsoleClose() {
  std::fflush(stdout);
  if (input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
    input = INVALID_HANDLE_VALUE;
  }
  std::free(events);
  events = nullptr;
  capacity = 0;
  return true;
}
