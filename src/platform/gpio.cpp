// GPIO block backends: the board's /dev/mem mapping and the current-backend
// switch; see gpio.h. The simulated register model lives in sim/.
//
// The board backend maps physical memory, so it first makes sure the
// machine really is a BCM2835-family board: the board program started by
// mistake elsewhere (as root) must never write into another machine's
// physical memory. Until the block is mapped, reads give 0 and writes are
// dropped.
#include "platform/gpio.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/board.h"
#include "platform/log.h"

namespace {

constexpr off_t kGpioBase = 0x3F200000;
constexpr size_t kGpioBlockBytes = 4096;
constexpr int kGpioWords = int(kGpioBlockBytes / sizeof(uint32_t));

// The mapped block; every access goes through the volatile pointer so the
// compiler neither merges nor drops register reads and writes.
volatile uint32_t *gBlock = nullptr;
std::string gCompatiblePath;  // empty: the kernel's device tree

int boardOpen() {
  if (!kzIsBcmBoard(gCompatiblePath.empty() ? nullptr : gCompatiblePath.c_str())) {
    kzLog(KZ_LOG_ERR, "not a BCM2835-family board: GPIO block not mapped, buttons off");
    kzTrace("not a BCM2835-family board: GPIO block not mapped, buttons off\n");
    return 1;
  }
  if (gBlock != nullptr) return 0;  // mapped by an earlier start
  int fd = open("/dev/mem", O_RDWR | O_SYNC);
  if (fd < 0) {
    kzLog(KZ_LOG_ERR, "can't open /dev/mem");
    return 8;
  }
  void *map = mmap(nullptr, kGpioBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kGpioBase);
  int err = errno;
  close(fd);
  if (map == MAP_FAILED) {
    kzLog(KZ_LOG_ERR, "mmap error %d\n", err);
    return -1;
  }
  gBlock = static_cast<volatile uint32_t *>(map);
  return 0;
}

uint32_t boardRead(int wordOffset) {
  if (gBlock == nullptr || wordOffset < 0 || wordOffset >= kGpioWords) return 0;
  return gBlock[wordOffset];
}

void boardWrite(int wordOffset, uint32_t value) {
  if (gBlock == nullptr || wordOffset < 0 || wordOffset >= kGpioWords) return;
  gBlock[wordOffset] = value;
}

std::atomic<const KzGpioBackend *> gCurrent{&kzGpioBoard};

}  // namespace

const KzGpioBackend kzGpioBoard = {boardOpen, boardRead, boardWrite};

void kzGpioUse(const KzGpioBackend *backend) { gCurrent = backend ? backend : &kzGpioBoard; }
const KzGpioBackend *kzGpioCurrent() { return gCurrent.load(); }
void kzGpioBoardCompatiblePath(const char *path) { gCompatiblePath = path ? path : ""; }
