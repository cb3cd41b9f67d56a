// Loaded into the program with LD_PRELOAD: a tcsetattr that changes one bit of
// every non-canonical mode on the way to the terminal, as POSIX lets a
// terminal keep less than it was asked for. A canonical mode, such as the
// user's, passes as it is.
#include <dlfcn.h>
#include <termios.h>

namespace {

using SetMode = int (*)(int, int, const termios*);

// Looked up at load: tcsetattr is called from signal handlers too.
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's result
const auto real_tcsetattr = reinterpret_cast<SetMode>(dlsym(RTLD_NEXT, "tcsetattr"));

}  // namespace

extern "C" int adjusting_tcsetattr(int fd, int action, const termios* mode) noexcept {
  if ((mode->c_lflag & ICANON) != 0) return real_tcsetattr(fd, action, mode);
  termios adjusted = *mode;
  adjusted.c_iflag ^= IMAXBEL;
  return real_tcsetattr(fd, action, &adjusted);
}

// The C library's name, given by an alias, so that the definition above need
// not take the reserved parameter names of the library's header.
extern "C" int tcsetattr(int /*fd*/, int /*action*/, const termios* /*mode*/) noexcept
    __attribute__((alias("adjusting_tcsetattr")));
