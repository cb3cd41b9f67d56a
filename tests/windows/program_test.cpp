// The real bcdmon.exe, bound to the test driver copied beside it in a folder
// of its own, started on this program's console with its standard output
// going to a file. The key that ends a run is put into the console's input
// with WriteConsoleInputA.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

constexpr DWORD kDeadlineMilliseconds = 120000;
constexpr std::size_t kBufferSize = 4096;

const char kHeader[] = "\r\nOpening Port...Passed\r\nConfig Port....done";
const char kTrailer[] = "\r\nClosing port...done\r\n\r\n";

std::string ReadFile(const std::string& path, std::ios::openmode mode) {
  std::ifstream file(path, mode);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::size_t Count(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

HANDLE OpenInput() {
  return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = OpenInput();
    ASSERT_NE(input_, INVALID_HANDLE_VALUE) << "no console input: run under a terminal";
    FlushConsoleInputBuffer(input_);
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0U);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ =
        std::string(temp) + "bcdmon-" + std::to_string(GetCurrentProcessId()) + "-" + info->name();
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr)) << dir_;
    ASSERT_TRUE(CopyFileA(BCDMON_PATH, Path("bcdmon.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(TEST_DRIVER_PATH, Path("ZEPDRIVERDLL.dll").c_str(), FALSE));
    SetEnvironmentVariableA("ZEPTEST_LOG", Path("calls.log").c_str());
    SetEnvironmentVariableA("ZEPTEST_OPEN_RESULT", nullptr);
    SetEnvironmentVariableA("ZEPTEST_READS", nullptr);
  }

  void TearDown() override {
    if (process_ != nullptr) {
      if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
      CloseHandle(process_);
    }
    if (input_ != INVALID_HANDLE_VALUE) {
      FlushConsoleInputBuffer(input_);
      CloseHandle(input_);
    }
    for (const char* name : {"bcdmon.exe", "ZEPDRIVERDLL.dll", "calls.log", "stdout"}) {
      DeleteFileA(Path(name).c_str());
    }
    RemoveDirectoryA(dir_.c_str());
  }

  std::string Path(const char* name) const { return dir_ + "\\" + name; }

  // Starts the program on this console, its standard output a new file.
  void Start() {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE out =
        CreateFileA(Path("stdout").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string command = "bcdmon.exe";
    PROCESS_INFORMATION started{};
    const BOOL ok = CreateProcessA(Path("bcdmon.exe").c_str(), command.data(), nullptr, nullptr,
                                   TRUE, 0, nullptr, dir_.c_str(), &startup, &started);
    CloseHandle(out);
    ASSERT_TRUE(ok) << "CreateProcess failed: " << GetLastError();
    CloseHandle(started.hThread);
    process_ = started.hProcess;
  }

  bool Ended() const { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }

  // Polls until the driver has been read `count` times; false if the program
  // ended first or the time ran out.
  bool WaitForReads(std::size_t count) {
    const ULONGLONG give_up = GetTickCount64() + kDeadlineMilliseconds;
    while (GetTickCount64() < give_up) {
      if (Count(Log(), "ReadPort 888\n") >= count) return true;
      if (Ended()) return false;
      Sleep(10);
    }
    return false;
  }

  DWORD ExitStatus() {
    EXPECT_EQ(WaitForSingleObject(process_, kDeadlineMilliseconds), WAIT_OBJECT_0)
        << "the program did not end";
    DWORD status = STILL_ACTIVE;
    GetExitCodeProcess(process_, &status);
    return status;
  }

  void PressKey(char character) {
    INPUT_RECORD press{};
    press.EventType = KEY_EVENT;
    press.Event.KeyEvent.bKeyDown = TRUE;
    press.Event.KeyEvent.wRepeatCount = 1;
    press.Event.KeyEvent.wVirtualKeyCode = static_cast<WORD>(character - 'a' + 'A');
    press.Event.KeyEvent.uChar.AsciiChar = character;
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputA(input_, &press, 1, &written));
    ASSERT_EQ(written, 1U);
  }

  // Still in the console's input: the program looked and did not take.
  std::string WaitingCharacters() {
    INPUT_RECORD events[16];
    DWORD seen = 0;
    std::string characters;
    if (PeekConsoleInputA(input_, events, 16, &seen) == FALSE) return characters;
    for (DWORD i = 0; i < seen; ++i) {
      if (events[i].EventType == KEY_EVENT) characters += events[i].Event.KeyEvent.uChar.AsciiChar;
    }
    return characters;
  }

  std::string Output() const { return ReadFile(Path("stdout"), std::ios::binary); }

  // While the run goes on, its output file holds whole buffers of 4096
  // characters, each line feed in them written as CR LF. The runtime writes a
  // buffer out in pieces, and a look may fall between them: a few are allowed.
  bool HoldsWholeBuffers() const {
    for (int look = 0; look < 5; ++look) {
      const std::string text = Output();
      const std::size_t characters = text.size() - Count(text, "\r");
      if (characters > 0 && characters % kBufferSize == 0) return true;
      Sleep(20);
    }
    return false;
  }
  // The driver's log, its line ends read back as "\n".
  std::string Log() const { return ReadFile(Path("calls.log"), std::ios::in); }

  HANDLE input_ = INVALID_HANDLE_VALUE;
  HANDLE process_ = nullptr;
  std::string dir_;
};

// Enough readings to fill the output buffer more than once.
constexpr std::size_t kReadsBeforeKey = 500;

TEST_F(ProgramTest, NormalRunShowsEveryReadingUntilAKeyAndReturnsOne) {
  SetEnvironmentVariableA("ZEPTEST_READS", "0x59,0xA3,0x3C,0x259");
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(WaitForReads(kReadsBeforeKey)) << "log: " << Log().substr(0, 200);

  EXPECT_TRUE(HoldsWholeBuffers());

  ASSERT_NO_FATAL_FAILURE(PressKey('q'));
  EXPECT_EQ(ExitStatus(), 1U);

  const std::string log = Log();
  const std::size_t reads = Count(log, "ReadPort 888\n");
  std::string calls = "OpenPort 888\nConfigPort 888 137\n";
  const char* shown[] = {"59", ":3", "3<", "59"};
  std::string expected = kHeader;
  for (std::size_t i = 0; i < reads; ++i) {
    calls += "ReadPort 888\n";
    expected += std::string("\r\nUnpacked BCD : ") + shown[i % 4];
  }
  calls += "ClosePort\n";
  expected += kTrailer;
  EXPECT_EQ(log, calls);
  EXPECT_EQ(Output(), expected);
  EXPECT_EQ(WaitingCharacters(), "q");
}

TEST_F(ProgramTest, FailedOpenSaysFailedAndReturnsZero) {
  SetEnvironmentVariableA("ZEPTEST_OPEN_RESULT", "0");
  ASSERT_NO_FATAL_FAILURE(Start());

  EXPECT_EQ(ExitStatus(), 0U);
  EXPECT_EQ(Output(), "\r\nOpening Port...Failed");
  EXPECT_EQ(Log(), "OpenPort 888\n");
}

}  // namespace
