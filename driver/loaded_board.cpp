#include "driver/loaded_board.h"

#include "driver/board_file.h"

namespace zep {

namespace {

BoardFile loaded{};
bool accepted = false;

__attribute__((constructor)) void ReadBoardAtLoad() {
  accepted = ReadBoardFile(&loaded) && AcceptBoard(loaded);
}

}  // namespace

const BoardFile* LoadedBoard() { return accepted ? &loaded : nullptr; }

}  // namespace zep
