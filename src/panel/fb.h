// Framebuffer and drawing: the FbScreen record (device memory, drawing
// buffer, background buffer) and the raster primitives every screen is
// built from. All drawing goes into memory; fbRealize copies the drawing
// buffer to the device memory. Pixel (x, y) is at y * lineSize +
// x * pixelSize; 4-byte pixels are blue, green, red, 0; 2-byte pixels RGB
// 5-6-5 little-endian; 1- and 3-byte screens start but lines draw nothing.
#pragma once
#include <cstdint>
#include <string>

struct works;

struct FbScreen {
  uint16_t xres;
  uint16_t yres;
  int32_t memSize;    // bytes of one screen: xres * yres * bits_per_pixel / 8
  int32_t lineSize;   // bytes of one row: xres * pixelSize
  int32_t pixelSize;  // bytes per pixel, 1 to 4
  uint8_t *screenMem;  // the device memory (or the simulated screen)
  uint8_t *drawBuf;
  uint8_t *backBuf;
  // A received screen frame holds the display until this time (clock seam,
  // ms; 0 none): fbRealize leaves the screen alone until then. Read and
  // written under the show lock.
  int64_t frameUntilMs;
};

// Opens the display through the current display backend (platform/fbdev.h):
// the board's /dev/fb0, or the simulated 800 x 480 x 32-bit memory screen.
// Null when it cannot be opened (logged); the program then draws nothing.
FbScreen *fbInit();
// Gives back a record made by fbInit with its buffers and its screen (tests,
// the simulator at exit); the board program keeps its record for the life
// of the process. Null is accepted.
void fbFree(FbScreen *fb);
void fbRealize(FbScreen *fb);
// Shows memSize bytes of `pixels` (the display's own pixel layout) at once
// and holds them on the display for kzFbFrameHoldMs: the pictures that the
// other unit sends (remote/screen.h). The supervisor's redraws go on in the
// drawing buffer and reach the screen again when the hold ends.
void fbShowFrame(FbScreen *fb, const uint8_t *pixels);
extern int kzFbFrameHoldMs;
// Copies the screen memory (what is shown, memSize bytes) into dst, never
// in the middle of fbRealize: how the simulator takes its pictures of the
// screen while the program shows frames.
void fbReadScreen(const FbScreen *fb, uint8_t *dst);
void fbSetBack(FbScreen *fb);
void DrawHorizontalLine(int x0, int y, int x1, int red, int green, int blue, FbScreen *fb,
                        int toBack);
void DrawLine(int x0, int y0, int x1, int y1, int red, int green, int blue, FbScreen *fb,
              int toBack);
void DrawRect(works *w, int x0, int y0, int x1, int y1, int red, int green, int blue);

// Which memory fbSavePng writes.
enum { FB_SCREEN = 0, FB_DRAW = 1, FB_BACK = 2 };
// Saves one memory of a 4-byte screen as a PNG (libpng) so that tests, the
// simulator and people can look at it: RGB, or with `rgba` 8-bit RGBA with
// opaque alpha (the format the background pictures are read in). Returns 0
// or -1 (logged).
int fbSavePng(const FbScreen *fb, const std::string &path, int which = FB_SCREEN,
              bool rgba = false);
