// KeyPending against the real console: events are put into the console's
// input with WriteConsoleInputA, as a keyboard or a mouse would, and must all
// still be there after the key check has looked at them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "console/console.h"

namespace {

constexpr char kWithoutConsole[] = "--without-console";
constexpr DWORD kDeadlineMilliseconds = 120000;

using Events = std::vector<INPUT_RECORD>;

INPUT_RECORD Key(WORD code, char character, bool down, DWORD state = 0) {
  INPUT_RECORD event{};
  event.EventType = KEY_EVENT;
  event.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  event.Event.KeyEvent.wRepeatCount = 1;
  event.Event.KeyEvent.wVirtualKeyCode = code;
  event.Event.KeyEvent.uChar.AsciiChar = character;
  event.Event.KeyEvent.dwControlKeyState = state;
  return event;
}

INPUT_RECORD Mouse() {
  INPUT_RECORD event{};
  event.EventType = MOUSE_EVENT;
  event.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
  return event;
}

INPUT_RECORD Focus() {
  INPUT_RECORD event{};
  event.EventType = FOCUS_EVENT;
  event.Event.FocusEvent.bSetFocus = TRUE;
  return event;
}

INPUT_RECORD WindowSize() {
  INPUT_RECORD event{};
  event.EventType = WINDOW_BUFFER_SIZE_EVENT;
  event.Event.WindowBufferSizeEvent.dwSize = COORD{100, 40};
  return event;
}

INPUT_RECORD ShiftDown() { return Key(VK_SHIFT, '\0', true, SHIFT_PRESSED); }
INPUT_RECORD ShiftUp() { return Key(VK_SHIFT, '\0', false); }
INPUT_RECORD LetterDown() { return Key('Q', 'q', true); }

HANDLE OpenInput() {
  return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

void Put(HANDLE input, const Events& events) {
  DWORD written = 0;
  ASSERT_TRUE(
      WriteConsoleInputA(input, events.data(), static_cast<DWORD>(events.size()), &written));
  ASSERT_EQ(written, events.size());
}

DWORD Waiting(HANDLE input) {
  DWORD waiting = 0;
  return GetNumberOfConsoleInputEvents(input, &waiting) != FALSE ? waiting : 0;
}

struct Case {
  const char* name;
  Events events;
  bool pending;
  friend std::ostream& operator<<(std::ostream& stream, const Case& value) {
    return stream << value.name;
  }
};

class KeyPendingTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    input_ = OpenInput();
    ASSERT_NE(input_, INVALID_HANDLE_VALUE) << "no console input: run under a terminal";
    FlushConsoleInputBuffer(input_);
  }
  void TearDown() override {
    if (input_ == INVALID_HANDLE_VALUE) return;
    FlushConsoleInputBuffer(input_);
    CloseHandle(input_);
  }
  HANDLE input_ = INVALID_HANDLE_VALUE;
};

TEST_P(KeyPendingTest, AnswersAndRemovesNothing) {
  const Events& events = GetParam().events;
  Put(input_, events);

  EXPECT_EQ(KeyPending(), GetParam().pending);
  EXPECT_EQ(KeyPending(), GetParam().pending) << "on the next call";
  EXPECT_EQ(Waiting(input_), events.size());
}

Events ManyMovesThenF5() {
  Events events(300, Mouse());
  events.push_back(Key(VK_F5, '\0', true));
  return events;
}

INSTANTIATE_TEST_SUITE_P(
    Events, KeyPendingTest,
    ::testing::Values(Case{"Nothing", {}, false},
                      Case{"ShiftPressedAndReleasedAlone", {ShiftDown(), ShiftUp()}, false},
                      Case{"Letter", {LetterDown()}, true},
                      Case{"Arrow", {Key(VK_UP, '\0', true, ENHANCED_KEY)}, true},
                      Case{"F5", {Key(VK_F5, '\0', true)}, true},
                      Case{"KeypadHomeWithoutNumLock", {Key(VK_HOME, '\0', true)}, true},
                      Case{"KeyRelease", {Key('Q', 'q', false)}, false},
                      Case{"Mouse", {Mouse()}, false}, Case{"Focus", {Focus()}, false},
                      Case{"WindowSize", {WindowSize()}, false},
                      Case{"ControlAlone", {Key(VK_CONTROL, '\0', true, LEFT_CTRL_PRESSED)}, false},
                      Case{"LetterBehindTheRest",
                           {ShiftDown(), Mouse(), Focus(), Key('Q', 'q', false), LetterDown()},
                           true},
                      Case{"F5BehindManyMouseMoves", ManyMovesThenF5(), true}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

// A process without a console: the key check fails once and is never tried
// again, even after the process has gained a console with a key waiting.
// Runs in a child, as the first key check decides for the whole process.
int WithoutConsole() {
  if (KeyPending() || KeyPending()) return 1;
  if (AttachConsole(ATTACH_PARENT_PROCESS) == FALSE) return 2;
  const HANDLE input = OpenInput();
  if (input == INVALID_HANDLE_VALUE || Waiting(input) == 0) return 3;
  CloseHandle(input);
  return KeyPending() ? 4 : 0;
}

TEST(KeyPendingWithoutConsole, IsFalseOnEveryCallAndNeverTriesAgain) {
  const HANDLE input = OpenInput();
  ASSERT_NE(input, INVALID_HANDLE_VALUE);
  FlushConsoleInputBuffer(input);
  Put(input, {LetterDown()});

  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0U);
  std::string command = std::string("\"") + path + "\" " + kWithoutConsole;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                             nullptr, nullptr, &startup, &child));
  EXPECT_EQ(WaitForSingleObject(child.hProcess, kDeadlineMilliseconds), WAIT_OBJECT_0);
  DWORD status = STILL_ACTIVE;
  GetExitCodeProcess(child.hProcess, &status);
  if (status == STILL_ACTIVE) TerminateProcess(child.hProcess, 99);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  FlushConsoleInputBuffer(input);
  CloseHandle(input);

  // 1: true without a console; 2, 3: no console to attach to, or no key
  // seen through it; 4: true once a console was there.
  EXPECT_EQ(status, 0U);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], kWithoutConsole) == 0) return WithoutConsole();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
