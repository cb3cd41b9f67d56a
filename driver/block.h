// The block of I/O ports that the program asks every device for. The
// program always opens the same address; each device decides what that
// address stands for on its board.
#ifndef BCDMON_DRIVER_BLOCK_H_
#define BCDMON_DRIVER_BLOCK_H_

namespace zep {

// 0x378, where the first printer port of a PC lies.
constexpr int kProgramAddress = 888;

// A block is four ports: the data ports and, last, the control register,
// which ConfigPort writes unless a board file names another port.
constexpr int kBlockSize = 4;
constexpr int kControlOffset = 3;
// The I/O space ends at port 0xFFFF, so no block starts above this.
constexpr int kHighestBlock = 0xFFFF - (kBlockSize - 1);

// A PC reads 0xFF from a port that nothing drives. The devices give it for a
// port they do not have open.
constexpr int kFloatingBus = 0xFF;

constexpr bool IsBlockAddress(int address) { return address >= 0 && address <= kHighestBlock; }

}  // namespace zep

#endif  // BCDMON_DRIVER_BLOCK_H_
