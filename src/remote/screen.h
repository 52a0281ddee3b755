// Received screen frames: the "FB" message of either side, once its chunks
// are gathered (dispatch.cpp), put on the display.
//
// A message whose total equals the screen's memSize is raw screen memory in
// the display's own pixel layout and is shown as it is. Any other total is
// a JPEG file: it is decoded (jpeg/jpgd.h), converted to the display's
// pixel layout (blue, green, red, 0 for 4-byte pixels; RGB 5-6-5 for
// 2-byte ones) and centred on the screen: a smaller picture gets a black
// border, a larger one is clipped evenly on both sides. The frame goes to
// the screen through fbShowFrame, which holds it on the display for a
// while; the drawing and background buffers of the supervisor are never
// touched, so a local redraw cannot mix the two pictures.
#pragma once
#include <cstdint>

struct works;

// Decodes `count` JPEG bytes at `data` and shows the picture. 0 shown, -1
// not decoded or no display (logged; the display is left as it was).
int Uncompress(works *w, const uint8_t *data, int count);

// Shows one complete "FB" message of `total` bytes at `data` (raw or JPEG
// by its size, as above). 0 shown, -1 not.
int screenFrameShow(works *w, const uint8_t *data, uint32_t total);

// Puts a decoded picture (red, green, blue, 255 per pixel, `pw` x `ph`)
// centred into `screen` (xres x yres pixels of `pixelSize` bytes, rows of
// `lineSize` bytes), black around it. -1 for a pixel size it cannot write.
int screenFramePlace(const uint8_t *rgba, int pw, int ph, uint8_t *screen, int xres, int yres,
                     int pixelSize, int lineSize);
