// Display device backends; see fbdev.h.
//
//   board   "/dev/fb0": read the variable screen information, put the panning
//           offsets at 0, write it back, map the visible screen shared. The
//           device stays open and mapped for the life of the process.
//   memory  a screen on the heap, 800 x 480 x 32 unless a test chose another
//           mode; the simulator shows it in a window or saves it as PNG.
//
// The memory backend is the default: the board program selects the board
// backend only on the board itself, so tests and the simulator never open
// the device.
#include "platform/fbdev.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fb.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "platform/log.h"

namespace {

// ---- board backend -------------------------------------------------------

int gFbFd = -1;  // "/dev/fb0", open from probe to the end of the process

void boardClose() {
  if (gFbFd >= 0) close(gFbFd);
  gFbFd = -1;
}

int boardProbe(KzDisplay *d) {
  boardClose();
  gFbFd = open("/dev/fb0", O_RDWR);
  if (gFbFd < 0) {
    kzLog(KZ_LOG_ERR, "Unable to read framebuffer device: /dev/fb0\n");
    return -1;
  }
  fb_var_screeninfo var{};
  if (ioctl(gFbFd, FBIOGET_VSCREENINFO, &var) != 0) {
    kzLog(KZ_LOG_ERR, "Unable to read screen info.\n");
    kzLog(KZ_LOG_ERR, "Do you have read+write privilages to /dev/fb0?\n");
    boardClose();
    return -1;
  }
  var.xoffset = 0;
  var.yoffset = 0;
  if (ioctl(gFbFd, FBIOPUT_VSCREENINFO, &var) != 0) {
    kzLog(KZ_LOG_ERR, "Unable to change screen data\n");
    kzLog(KZ_LOG_ERR, "Do you have write privilages to /dev/fb0?\n");
    kzLog(KZ_LOG_ERR, "Does your video card support double buffering?\n");
    boardClose();
    return -1;
  }
  d->mem = nullptr;
  d->xres = int(var.xres);
  d->yres = int(var.yres);
  d->bitsPerPixel = int(var.bits_per_pixel);
  return 0;
}

void logMapFailure() {
  kzLog(KZ_LOG_ERR, "Unable to map shared memory\n");
  kzLog(KZ_LOG_ERR, "Make sure, that you have compiled shared memory support into your kernel.\n");
}

int boardMap(KzDisplay *d, uint32_t bytes) {
  void *p = gFbFd < 0 ? MAP_FAILED
                      : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, gFbFd, 0);
  if (p == MAP_FAILED) {
    logMapFailure();
    boardClose();
    return -1;
  }
  d->mem = static_cast<uint8_t *>(p);
  return 0;
}

// ---- memory backend ------------------------------------------------------

std::mutex gMemMut;
int gMemX = 800, gMemY = 480, gMemBpp = 32;
std::vector<uint8_t *> gMemBlocks;  // screens handed out and not yet given back

int memProbe(KzDisplay *d) {
  std::lock_guard<std::mutex> lk(gMemMut);
  d->mem = nullptr;
  d->xres = gMemX;
  d->yres = gMemY;
  d->bitsPerPixel = gMemBpp;
  return 0;
}

int memMap(KzDisplay *d, uint32_t bytes) {
  // A black screen, as the panel shows before the first frame.
  uint8_t *p = bytes == 0 ? nullptr : static_cast<uint8_t *>(calloc(bytes, 1));
  if (p == nullptr) {
    logMapFailure();
    return -1;
  }
  std::lock_guard<std::mutex> lk(gMemMut);
  gMemBlocks.push_back(p);
  d->mem = p;
  return 0;
}

const KzDisplayBackend *gBackend = &kzDisplayMemory;

}  // namespace

const KzDisplayBackend kzDisplayBoard = {boardProbe, boardMap};
const KzDisplayBackend kzDisplayMemory = {memProbe, memMap};

void kzDisplayUse(const KzDisplayBackend *backend) {
  gBackend = backend ? backend : &kzDisplayMemory;
}

const KzDisplayBackend *kzDisplayCurrent() { return gBackend; }

void kzDisplayMemoryMode(int xres, int yres, int bitsPerPixel) {
  std::lock_guard<std::mutex> lk(gMemMut);
  gMemX = xres;
  gMemY = yres;
  gMemBpp = bitsPerPixel;
}

void kzDisplayUnmap(uint8_t *mem, uint32_t bytes) {
  if (mem == nullptr) return;
  {
    std::lock_guard<std::mutex> lk(gMemMut);
    auto it = std::find(gMemBlocks.begin(), gMemBlocks.end(), mem);
    if (it != gMemBlocks.end()) {
      gMemBlocks.erase(it);
      free(mem);
      return;
    }
  }
  munmap(mem, bytes);
  boardClose();
}
