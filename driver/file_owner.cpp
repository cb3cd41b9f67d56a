#include "driver/board_file.h"

namespace zep {

uid_t OwnerOf(const struct stat& status) { return status.st_uid; }

}  // namespace zep
