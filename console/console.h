// The console as the run sees it: messages out, and a look at the keyboard
// that neither waits nor takes anything.
#ifndef BCDMON_CONSOLE_CONSOLE_H_
#define BCDMON_CONSOLE_CONSOLE_H_

#if defined(__GNUC__)
#define BCDMON_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define BCDMON_PRINTF_FORMAT(f, a)
#endif

// Writes one formatted message to standard output. On a character device (a
// terminal) the whole message is written when this returns; elsewhere (a
// file, a pipe) it is buffered. False once standard output has failed, now
// or at an earlier write: it takes nothing more, a line on standard error
// has said why, and the run is to end.
bool ConsolePrint(const char* format, ...) BCDMON_PRINTF_FORMAT(1, 2);

// True when a key press is waiting in the console's input. Never waits and
// never removes anything from the input.
bool KeyPending();

// At process end: flushes standard output, then gives back the console input
// device if the key check opened it. Safe to call more than once. False when
// standard output failed, at this flush or before.
bool ConsoleClose();

#endif  // BCDMON_CONSOLE_CONSOLE_H_
