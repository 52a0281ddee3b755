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
struct FbFrame;

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
  // The frame machinery of the supervisor's cycle (fbFrameBegin / End):
  // null in records built by hand, which draw and copy plainly.
  FbFrame *frame;
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

// The supervisor's frame. Between fbFrameBegin and fbFrameEnd the lines and
// texts drawn into the drawing buffer are recorded, not drawn. At the end:
// a frame identical to the last one (same calls, same background, same
// fonts) costs nothing more, the display is not written; otherwise the
// frame is composed from the picture kept of the calls it shares with the
// last frames (from the first call on: the key bar, labels, boxes and
// texts that stay) plus the calls after that, and only the parts of rows
// those calls drew, in this frame or the last, are copied. The
// pixels are those of fbSetBack + the calls + fbRealize. Without the
// machinery (fb->frame null, or fbFrameOptimise(false)) the two are
// exactly fbSetBack and fbRealize.
void fbFrameBegin(FbScreen *fb);
void fbFrameEnd(FbScreen *fb);
// Gives a record the frame machinery (fbInit does): the composed picture,
// two call logs and the marks of the rows drawn on, allocated once.
// Returns false when the memory cannot be had (the record stays plain).
bool fbFrameAttach(FbScreen *fb);
void fbFrameDetach(FbScreen *fb);
// The machinery on (the default) or off for every record: off, every frame
// is the full redraw and the full copy (tests compare the two, the bench
// times both).
void fbFrameOptimise(bool on);
// A writer that changes the background buffer other than through getPng or
// the line primitives says so (before the next frame), so that no picture
// composed over the old background is used again.
void fbBackChanged(FbScreen *fb);
// The text and glyph tables changed (a font slot was loaded): pictures
// composed with the old glyphs are not used again.
void fbFontsChanged();
// Tests: every call drawn into fb's drawing buffer, every fbSetBack and
// fbRealize is also made, plainly, on `twin` (which shares fb's
// background buffer; a picture decoded straight into the drawing buffer,
// which the supervisor never does, is not mirrored); null stops it.
void fbMirror(FbScreen *fb, FbScreen *twin);
// What the frames did so far: frames ended, frames that wrote nothing,
// frames composed, rows (whole or in part) and bytes copied to the display.
struct FbFrameStats {
  unsigned long frames, unchanged, composed, rowsCopied, bytesCopied;
};
FbFrameStats fbFrameStatsOf(const FbScreen *fb);

// For the drawing code (text, pictures): a call about to draw text into the
// drawing buffer; true when it was recorded (nothing to draw now).
bool fbFrameText(FbScreen *fb, int font, int x, int y, const char *text, int red, int green,
                 int blue);
// Rows y0..y1, columns x0 <= x < x1 were drawn on (a glyph): kept for
// the copy to the display.
void fbFrameMarkRows(FbScreen *fb, long y0, long y1, long x0, long x1);
// Someone is about to write a buffer directly (a picture decoded into it):
// the frame recorded so far is drawn and the rest of the frame is drawn
// as it comes.
void fbFrameDirect(FbScreen *fb);
void DrawHorizontalLine(int x0, int y, int x1, int red, int green, int blue, FbScreen *fb,
                        int toBack);
void DrawLine(int x0, int y0, int x1, int y1, int red, int green, int blue, FbScreen *fb,
              int toBack);
void DrawRect(works *w, int x0, int y0, int x1, int y1, int red, int green, int blue);
// Filled box: the horizontal lines x0 <= x < x1 of rows y0 to y1, in that
// order (one entry of the frame log, not one per row).
void fbFillRows(int x0, int y0, int x1, int y1, int red, int green, int blue, FbScreen *fb,
                int toBack);

// Which memory fbSavePng writes.
enum { FB_SCREEN = 0, FB_DRAW = 1, FB_BACK = 2 };
// Saves one memory of a 4-byte screen as a PNG (libpng) so that tests, the
// simulator and people can look at it: RGB, or with `rgba` 8-bit RGBA with
// opaque alpha (the format the background pictures are read in). Returns 0
// or -1 (logged).
int fbSavePng(const FbScreen *fb, const std::string &path, int which = FB_SCREEN,
              bool rgba = false);
