#include "driver/board.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/hardware_access.h"

namespace zep {

namespace {

// Read only where a run has no more privilege than the one who set it (no
// file capability, no set-id), which secure_getenv sees to: by any such run,
// root's or a user's, the tests' among them.
constexpr char kVariable[] = "BCDMON_BOARD_CONF";
// The installation's own, fixed when the build was configured: the
// configured sysconfdir's bcdmon/board.conf (/etc's for the prefix /usr).
constexpr char kInstalledFile[] = BCDMON_BOARD_FILE;
// A line longer than this, its line feed aside, is bad: no board needs one.
constexpr int kLineLength = 256;
constexpr int kSaturated = INT_MAX;  // a number past it is taken as it, far out of any range

enum Key { kBase, kRead, kConfig, kComedi, kKeyCount };
constexpr const char* kKeyNames[kKeyCount] = {"base", "read", "config", "comedi"};

// What the file gave: line[key] is 0 where it did not give the key. The
// comedi node is a path, the others numbers.
struct Settings {
  int line[kKeyCount];
  int value[kKeyCount];
  char comedi[kLineLength + 1];
};

// The one line of a bad file: the file, the line where there is one, and
// what is wrong, after the text at fault in quotes where there is such.
void ReportBadFile(const char* file, int line, const char* quoted, const char* problem) {
  char where[32] = "";
  if (line > 0) std::snprintf(where, sizeof where, ", line %d", line);
  const bool quote = quoted != nullptr;
  char text[PATH_MAX + 4 * kLineLength];
  const int length =
      std::snprintf(text, sizeof text, "%s: %s%s: %s%s%s%s\n", kDriverName, file, where,
                    quote ? "\"" : "", quote ? quoted : "", quote ? "\" " : "", problem);
  if (length >= static_cast<int>(sizeof text)) text[sizeof text - 2] = '\n';
  WriteDriverLine(text);
}

void ReportUnreadable(const char* file, int error) {
  char problem[128];
  std::snprintf(problem, sizeof problem, "cannot be read: %s", std::strerror(error));
  ReportBadFile(file, 0, nullptr, problem);
}

const char* ChosenBoardFile() {
  const char* const chosen = secure_getenv(kVariable);
  return chosen != nullptr ? chosen : kInstalledFile;
}

bool IsBlank(char character) {
  return character == ' ' || character == '\t' || character == '\r' || character == '\n';
}

char* Trimmed(char* text) {
  while (IsBlank(*text)) ++text;
  char* end = text + std::strlen(text);
  while (end > text && IsBlank(end[-1])) --end;
  *end = '\0';
  return text;
}

int DigitValue(char character, int radix) {
  if (character >= '0' && character <= '9') return character - '0';
  if (radix == 16 && character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (radix == 16 && character >= 'A' && character <= 'F') return character - 'A' + 10;
  return -1;
}

// Decimal, or hexadecimal after 0x. No sign, and no leading zero: to C 0378
// is octal, to a person decimal, so it is neither.
bool ParseNumber(const char* text, int* value) {
  int radix = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    radix = 16;
    text += 2;
  } else if (text[0] == '0' && text[1] != '\0') {
    return false;
  }
  if (*text == '\0') return false;
  long long total = 0;
  for (; *text != '\0'; ++text) {
    const int digit = DigitValue(*text, radix);
    if (digit < 0) return false;
    total = total * radix + digit;
    if (total > kSaturated) total = kSaturated;
  }
  *value = static_cast<int>(total);
  return true;
}

// A leading zero is told as such, with the two numbers it may have meant.
void ReportNotANumber(const char* file, int line, const char* text) {
  const std::size_t length = std::strlen(text);
  if (length < 2 || text[0] != '0' || std::strspn(text, "0123456789") != length) {
    ReportBadFile(file, line, text, "is not a number (decimal, or hexadecimal after 0x)");
    return;
  }
  const std::size_t zeros = std::min(std::strspn(text, "0"), length - 1);
  char problem[2 * kLineLength];
  std::snprintf(problem, sizeof problem,
                "has a leading zero, which makes it octal to some programs and decimal to "
                "others: write %s for decimal, or 0x%s for hexadecimal",
                text + zeros, text + zeros);
  ReportBadFile(file, line, text, problem);
}

int KeyOf(const char* name) {
  for (int key = 0; key < kKeyCount; ++key) {
    if (std::strcmp(name, kKeyNames[key]) == 0) return key;
  }
  return kKeyCount;
}

// False, after the line, where the value cannot stand for the key.
bool CheckRange(const char* file, int line, int key, const char* text, int value) {
  if (key == kBase && value > kHighestBlock) {
    ReportBadFile(file, line, text,
                  "as base puts the block of 4 ports past 0xFFFF, the last I/O port");
    return false;
  }
  if (key != kBase && value >= kBlockSize) {
    ReportBadFile(file, line, text, "is not an offset in the block of 4 ports: 0 to 3");
    return false;
  }
  return true;
}

// One line of the file, its line feed and any comment included; false, after
// the driver's line, when it is bad.
bool ApplyLine(const char* file, int line, char* text, Settings* settings) {
  char* const comment = std::strchr(text, '#');
  if (comment != nullptr) *comment = '\0';
  text = Trimmed(text);
  if (*text == '\0') return true;
  char* const equals = std::strchr(text, '=');
  if (equals == nullptr) {
    ReportBadFile(file, line, text, "is not \"key = value\"");
    return false;
  }
  *equals = '\0';
  const char* const name = Trimmed(text);
  const char* const value_text = Trimmed(equals + 1);
  const int key = KeyOf(name);
  if (key == kKeyCount) {
    ReportBadFile(file, line, name, "is not a key: base, read, config or comedi");
    return false;
  }
  if (settings->line[key] != 0) {
    char problem[64];
    std::snprintf(problem, sizeof problem, "is given twice, first on line %d", settings->line[key]);
    ReportBadFile(file, line, name, problem);
    return false;
  }
  int value = 0;
  if (key == kComedi) {
    if (value_text[0] != '/') {
      ReportBadFile(file, line, value_text, "is not a path from /, such as /dev/comedi0");
      return false;
    }
    std::snprintf(settings->comedi, sizeof settings->comedi, "%s", value_text);
  } else if (!ParseNumber(value_text, &value)) {
    ReportNotANumber(file, line, value_text);
    return false;
  }
  if (key != kComedi && !CheckRange(file, line, key, value_text, value)) return false;
  settings->line[key] = line;
  settings->value[key] = value;
  return true;
}

// Only a file that root owns and no one else may write, or any user could
// move the ports of a program that runs with more privilege than theirs. The
// folders above it are not checked.
bool IsTrusted(const char* file, int descriptor) {
  struct stat status {};
  char problem[96];
  if (fstat(descriptor, &status) != 0) {
    ReportUnreadable(file, errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    ReportBadFile(file, 0, nullptr, "not a regular file");
    return false;
  }
  if (status.st_uid != 0) {
    std::snprintf(problem, sizeof problem, "owned by uid %u, not root",
                  static_cast<unsigned int>(status.st_uid));
    ReportBadFile(file, 0, nullptr, problem);
    return false;
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(problem, sizeof problem, "writable by others than root (mode %04o)",
                  static_cast<unsigned int>(status.st_mode & 07777));
    ReportBadFile(file, 0, nullptr, problem);
    return false;
  }
  return true;
}

// The open file, line by line; closes it. False, after the line, when bad.
bool ReadSettings(const char* file, int descriptor, Settings* settings) {
  if (!IsTrusted(file, descriptor)) {
    close(descriptor);
    return false;
  }
  std::FILE* const stream = fdopen(descriptor, "r");
  if (stream == nullptr) {
    ReportUnreadable(file, errno);
    close(descriptor);
    return false;
  }
  bool good = true;
  char text[kLineLength + 2];  // the line, its line feed and the terminating zero
  for (int line = 1; good && std::fgets(text, sizeof text, stream) != nullptr; ++line) {
    const std::size_t length = std::strlen(text);
    if (length == sizeof text - 1 && text[length - 1] != '\n') {
      char problem[64];
      std::snprintf(problem, sizeof problem, "longer than %d characters", kLineLength);
      ReportBadFile(file, line, nullptr, problem);
      good = false;
    } else {
      good = ApplyLine(file, line, text, settings);
    }
  }
  if (good && std::ferror(stream) != 0) {
    ReportUnreadable(file, errno);
    good = false;
  }
  std::fclose(stream);
  return good;
}

int Given(const Settings& settings, int key, int otherwise) {
  return settings.line[key] != 0 ? settings.value[key] : otherwise;
}

}  // namespace

void WriteDriverLine(const char* line) {
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, std::strlen(line));
}

bool ReadBoardFile(BoardFile* board_file) {
  const char* const file = ChosenBoardFile();
  std::snprintf(board_file->name, sizeof board_file->name, "%s", file);
  Settings settings{};
  // Not blocking, so that a FIFO put there is refused as not a regular file
  // rather than waited on.
  const int descriptor = open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0 && errno != ENOENT) {
    ReportUnreadable(file, errno);
    return false;
  }
  board_file->present = descriptor >= 0;
  if (board_file->present && !ReadSettings(file, descriptor, &settings)) return false;
  board_file->base = Given(settings, kBase, kAtAddress);
  board_file->read = Given(settings, kRead, 0);
  board_file->config = Given(settings, kConfig, kControlOffset);
  board_file->config_given = settings.line[kConfig] != 0;
  std::snprintf(board_file->comedi, sizeof board_file->comedi, "%s",
                settings.line[kComedi] != 0 ? settings.comedi : kComediNode);
  return true;
}

Board BoardAt(int address, const BoardFile& file) {
  const int base = file.base != kAtAddress ? file.base : address;
  return {base, base + file.read, base + file.config};
}

}  // namespace zep
