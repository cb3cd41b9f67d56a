#include "driver/board.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "driver/block.h"
#include "driver/driver_line.h"

namespace zep {

namespace {

// A line longer than this, its line feed aside, is bad: no board needs one.
constexpr int kLineLength = 256;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";  // U+FEFF in UTF-8
constexpr std::size_t kMarkLength = sizeof kByteOrderMark - 1;
constexpr int kSaturated = INT_MAX;  // a number past it is taken as it, far out of any range

enum Key { kBase, kRead, kConfig, kComedi, kSubdevice, kKeyCount };
constexpr const char* kKeyNames[kKeyCount] = {"base", "read", "config", "comedi", "subdevice"};

// What the file gave: line[key] is 0 where it did not give the key. The
// comedi node is a path, the others are numbers.
struct Settings {
  int line[kKeyCount];
  int value[kKeyCount];
  char comedi[kLineLength + 1];
};

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

// Takes decimal, or hexadecimal after 0x. It takes no sign and no leading
// zero: to C, 0378 is octal, to a person decimal, so it is neither.
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

// Tells a leading zero as such, with the two numbers it may have meant.
void ReportNotANumber(const char* file, int line, const char* text) {
  const std::size_t length = std::strlen(text);
  if (length < 2 || text[0] != '0' || std::strspn(text, "0123456789") != length) {
    ReportBadBoardFile(file, line, text, "is not a number (decimal, or hexadecimal after 0x)");
    return;
  }
  const char* const digits = text + std::min(std::strspn(text, "0"), length - 1);
  ReportBadBoardFile(file, line, text,
                     "has a leading zero, which makes it octal to some programs and decimal to "
                     "others: write %s for decimal, or 0x%s for hexadecimal",
                     digits, digits);
}

int KeyOf(const char* name) {
  for (int key = 0; key < kKeyCount; ++key) {
    if (std::strcmp(name, kKeyNames[key]) == 0) return key;
  }
  return kKeyCount;
}

// Returns false, after the line, where the value cannot stand for the key.
bool CheckRange(const char* file, int line, int key, const char* text, int value) {
  if (key == kBase && value > kHighestBlock) {
    ReportBadBoardFile(file, line, text,
                       "as base puts the block of 4 ports past 0xFFFF, the last I/O port");
    return false;
  }
  if ((key == kRead || key == kConfig) && value >= kBlockSize) {
    ReportBadBoardFile(file, line, text, "is not an offset in the block of 4 ports: 0 to 3");
    return false;
  }
  return true;
}

// Takes one value, a path or a number by its key, into the settings.
bool ApplyValue(const char* file, int line, int key, const char* text, Settings* settings) {
  int value = 0;
  if (key == kComedi) {
    if (text[0] != '/') {
      ReportBadBoardFile(file, line, text, "is not a path from /, such as /dev/comedi0");
      return false;
    }
    std::snprintf(settings->comedi, sizeof settings->comedi, "%s", text);
  } else if (!ParseNumber(text, &value)) {
    ReportNotANumber(file, line, text);
    return false;
  } else if (!CheckRange(file, line, key, text, value)) {
    return false;
  }
  settings->line[key] = line;
  settings->value[key] = value;
  return true;
}

// Takes one line of the file, any comment included. Returns false, after
// the driver's line, when it is bad.
bool ApplyLine(const char* file, int line, char* text, Settings* settings) {
  char* const comment = std::strchr(text, '#');
  if (comment != nullptr) *comment = '\0';
  text = Trimmed(text);
  if (*text == '\0') return true;
  char* const equals = std::strchr(text, '=');
  if (equals == nullptr) {
    ReportBadBoardFile(file, line, text, "is not \"key = value\"");
    return false;
  }
  *equals = '\0';
  const char* const name = Trimmed(text);
  const int key = KeyOf(name);
  if (key == kKeyCount) {
    ReportBadBoardFile(file, line, name, "is not a key: base, read, config, comedi or subdevice");
    return false;
  }
  if (settings->line[key] != 0) {
    ReportBadBoardFile(file, line, name, "is given twice, first on line %d", settings->line[key]);
    return false;
  }
  return ApplyValue(file, line, key, Trimmed(equals + 1), settings);
}

// What ReadLine learnt of a line.
struct LineRead {
  std::size_t length;  // the whole line's, without its line feed
  bool nul;            // the line holds a NUL byte
};

// Reads one line and its line feed, keeping as much of the line in `text`
// as fits, with a terminating zero. It counts every byte, as a NUL would
// cut short a length that strlen takes, and reads a long line to its end,
// so that its rest never passes for a line of its own. Returns false at the
// end of the file.
bool ReadLine(std::FILE* stream, char* text, std::size_t size, LineRead* read) {
  *read = {};
  int character = std::getc(stream);
  if (character == EOF) return false;
  for (; character != EOF && character != '\n'; character = std::getc(stream)) {
    if (read->length < size - 1) text[read->length] = static_cast<char>(character);
    read->nul = read->nul || character == '\0';
    ++read->length;
  }
  text[std::min(read->length, size - 1)] = '\0';
  return true;
}

// Passes over the byte-order mark that some editors write at the start of
// a UTF-8 file: it says nothing of the board, and the first key comes after
// it. Where there is none, it goes back to the start.
void SkipByteOrderMark(std::FILE* stream) {
  char start[kMarkLength];
  if (std::fread(start, 1, kMarkLength, stream) != kMarkLength ||
      std::memcmp(start, kByteOrderMark, kMarkLength) != 0) {
    std::fseek(stream, 0, SEEK_SET);
  }
}

// Returns false, after the driver's line, where the line cannot be taken as
// text at all. A power cut can leave a file of NUL bytes, and no board file
// holds one, so one NUL refuses the file.
bool CheckLine(const char* file, int line, const LineRead& read) {
  if (read.nul) {
    ReportBadBoardFile(file, line, nullptr,
                       "holds a NUL byte, which no text file has: the file looks damaged, as a "
                       "power cut can leave it; write it again");
    return false;
  }
  if (read.length > kLineLength) {
    ReportBadBoardFile(file, line, nullptr, "longer than %d characters", kLineLength);
    return false;
  }
  return true;
}

int Given(const Settings& settings, int key, int otherwise) {
  return settings.line[key] != 0 ? settings.value[key] : otherwise;
}

void ApplySettings(const Settings& settings, BoardFile* file) {
  file->base = Given(settings, kBase, kAtAddress);
  file->read = Given(settings, kRead, 0);
  file->config = Given(settings, kConfig, kControlOffset);
  file->config_given = settings.line[kConfig] != 0;
  std::snprintf(file->comedi, sizeof file->comedi, "%s", settings.comedi);
  file->subdevice = Given(settings, kSubdevice, kAnySubdevice);
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every driver line is formatted
void ReportBadBoardFile(const char* file, int line, const char* quoted, const char* format, ...) {
  char where[32] = "";
  if (line > 0) std::snprintf(where, sizeof where, ", line %d", line);
  char problem[2 * kLineLength];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(problem, sizeof problem, format, arguments);
  va_end(arguments);
  const bool quote = quoted != nullptr;
  WriteDriverLine("%s%s: %s%s%s%s", file, where, quote ? "\"" : "", quote ? quoted : "",
                  quote ? "\" " : "", problem);
}

void SetBoardDefaults(BoardFile* file) { ApplySettings(Settings{}, file); }

bool ParseBoard(std::FILE* stream, BoardFile* file) {
  const char* const name = file->name;
  Settings settings{};
  bool good = true;
  char text[kLineLength + 1];  // the longest line and the terminating zero
  LineRead read{};
  SkipByteOrderMark(stream);
  for (int line = 1; good && ReadLine(stream, text, sizeof text, &read); ++line) {
    good = CheckLine(name, line, read) && ApplyLine(name, line, text, &settings);
  }
  ApplySettings(settings, file);
  return good;
}

Board BoardAt(int address, const BoardFile& file) {
  const int base = file.base != kAtAddress ? file.base : address;
  return {base, base + file.read, base + file.config};
}

}  // namespace zep
