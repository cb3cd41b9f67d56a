// Runs a program as a user without privilege, in the emulated PC, whose
// busybox cannot change the user id:
//   as_user UID GID PROGRAM [ARGUMENTS...]
// The supplementary groups go first, while root may still drop them.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  constexpr int kFirstArgument = 3;
  if (argc <= kFirstArgument) return EXIT_FAILURE;
  const auto uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
  const auto gid = static_cast<gid_t>(std::strtoul(argv[2], nullptr, 10));
  if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
    std::perror("as_user");
    return EXIT_FAILURE;
  }
  execv(argv[kFirstArgument], argv + kFirstArgument);
  std::perror(argv[kFirstArgument]);
  return EXIT_FAILURE;
}
