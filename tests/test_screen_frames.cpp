// Received screen frames: "FB" messages on both sides, raw or JPEG by
// their size, centred on the screen, held on the display while the
// supervisor's redraws go on underneath.
#include <gtest/gtest.h>

#include <cstring>

#include "jpeg/jpgd.h"
#include "jpeg_support.h"
#include "panel/fb.h"
#include "platform/clock.h"
#include "platform/fbdev.h"
#include "remote/screen.h"
#include "ws_support.h"

namespace {

using namespace kzjpeg;

std::string chunk(uint32_t total, uint32_t off, const uint8_t *data) {
  std::string f{char(0x82), char(126), char(0x02), char(0x0A), 'F', 'B'};
  for (uint32_t v : {total, off})
    for (int s = 24; s >= 0; s -= 8) f += char((v >> s) & 0xff);
  std::string d(512, '\0');
  memcpy(d.data(), data + off, std::min<size_t>(512, total - off));
  return f + d;
}

std::string message(const Bytes &data) {
  std::string s;
  for (uint32_t off = 0; off < data.size(); off += 512) s += chunk(uint32_t(data.size()), off, data.data());
  return s;
}

void runClient(works *w, const std::string &bytes) {
  auto c = std::make_unique<WsConn>();
  wsConnInit(c.get(), w, -1, true, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  wsClientSession(c.get());
}

struct Screen {
  FbScreen *fb;
  explicit Screen(int bpp = 32) {
    kzDisplayMemoryMode(800, 480, bpp);
    fb = fbInit();
  }
  ~Screen() { fbFree(fb); }
  // Read under the show lock: the unit's thread may be showing a frame.
  Bytes shown() const {
    Bytes b(size_t(fb->memSize));
    fbReadScreen(fb, b.data());
    return b;
  }
};

// What a decoded JPEG must look like on the screen.
Bytes expected(const Bytes &jpg, const Screen &s) {
  int w, h, c;
  unsigned char *img = jpgd::decompress_jpeg_image_from_memory(jpg.data(), int(jpg.size()), &w, &h, &c, 4);
  EXPECT_NE(img, nullptr);
  Bytes out(size_t(s.fb->memSize));
  if (img) screenFramePlace(img, w, h, out.data(), 800, 480, s.fb->pixelSize, s.fb->lineSize);
  free(img);
  return out;
}

}  // namespace

TEST(ScreenFrames, RawAndJpegMessagesReachTheScreen) {
  KzTempRoot root("kz_fb");
  KzLogCapture log(0);
  Screen s;
  ASSERT_NE(s.fb, nullptr);
  WsUnit u;
  works *w = u.w.get();
  w->fb = s.fb;

  // A raw 800 x 480 screen: 3000 chunks, copied without decoding.
  Bytes raw(size_t(s.fb->memSize));
  for (size_t i = 0; i < raw.size(); i++) raw[i] = uint8_t(i * 13 + i / 800);
  const std::string rawMsg = message(raw);
  ASSERT_EQ(rawMsg.size(), 3000u * 526);
  runClient(w, rawMsg);
  EXPECT_EQ(s.shown(), raw);

  // A JPEG whose total is not a multiple of 512, on the server side after
  // the password (traced): decoded, converted to blue, green, red, 0.
  Scratch sc;
  Bytes jpg = makeJpeg(sc, "full", 800, 480, false, "-quality 60");
  ASSERT_NE(jpg.size() % 512, 0u);
  auto srv = std::make_unique<WsConn>();
  const std::string srvBytes = std::string{char(0x81), char(12), 0, 0, 0, 0} +
                               std::string(w->wsPassword, 12) + message(jpg);
  wsConnInit(srv.get(), w, -1, false, reinterpret_cast<const uint8_t *>(srvBytes.data()),
             srvBytes.size());
  wsServerSession(srv.get(), 0);
  EXPECT_GE(log.count("EIK, FB"), 1);
  const Bytes want = expected(jpg, s);
  EXPECT_EQ(s.shown(), want);
  int w0, h0, c0;
  unsigned char *rgba = jpgd::decompress_jpeg_image_from_memory(jpg.data(), int(jpg.size()), &w0, &h0, &c0, 4);
  ASSERT_NE(rgba, nullptr);
  EXPECT_EQ(want[0], rgba[2]);  // blue first
  EXPECT_EQ(want[2], rgba[0]);
  free(rgba);

  // A corrupt JPEG leaves the screen as it was.
  Bytes bad(jpg.begin(), jpg.begin() + long(jpg.size() / 2));
  runClient(w, message(bad));
  EXPECT_EQ(s.shown(), want);
  EXPECT_EQ(log.countContaining("not a JPEG that can be decoded"), 1);

  // A JPEG padded to exactly memSize bytes is taken as raw screen bytes.
  Bytes padded = jpg;
  padded.resize(size_t(s.fb->memSize), 0x77);
  runClient(w, message(padded));
  EXPECT_EQ(s.shown(), padded);
}

TEST(ScreenFrames, OtherSizesAreCentredAndTheFrameIsHeld) {
  Scratch sc;
  Screen s;
  ASSERT_NE(s.fb, nullptr);
  // Small: black border, the picture in the middle. Large: clipped evenly.
  Bytes small(size_t(100) * 60 * 4), large(size_t(1000) * 500 * 4);
  for (size_t i = 0; i < small.size(); i += 4) small[i] = 200, small[i + 1] = 100, small[i + 2] = 50;
  for (size_t i = 0; i < large.size(); i += 4) large[i] = uint8_t((i / 4) % 1000 / 4);
  Bytes out(size_t(s.fb->memSize), 0xEE);
  ASSERT_EQ(screenFramePlace(small.data(), 100, 60, out.data(), 800, 480, 4, 3200), 0);
  auto px = [&](int x, int y) { return Bytes(out.begin() + (y * 800 + x) * 4, out.begin() + (y * 800 + x) * 4 + 4); };
  EXPECT_EQ(px(350, 210), (Bytes{50, 100, 200, 0}));
  EXPECT_EQ(px(449, 269), (Bytes{50, 100, 200, 0}));
  EXPECT_EQ(px(349, 210), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(px(450, 270), (Bytes{0, 0, 0, 0}));
  ASSERT_EQ(screenFramePlace(large.data(), 1000, 500, out.data(), 800, 480, 4, 3200), 0);
  EXPECT_EQ(px(0, 0)[2], 100 / 4);    // column 100 of the picture
  EXPECT_EQ(px(799, 479)[2], 899 / 4);
  Bytes rgb565(800 * 480 * 2);
  ASSERT_EQ(screenFramePlace(small.data(), 100, 60, rgb565.data(), 800, 480, 2, 1600), 0);
  const size_t at = (size_t(210) * 800 + 350) * 2;
  EXPECT_EQ(rgb565[at] | rgb565[at + 1] << 8, (200 >> 3) << 11 | (100 >> 2) << 5 | 50 >> 3);
  EXPECT_EQ(screenFramePlace(small.data(), 100, 60, out.data(), 800, 480, 3, 2400), -1);

  // Held: the supervisor's redraws do not reach the screen until the hold ends.
  kzClockUse(&kzClockFake);
  kzFakeClockSet(1000);
  memset(s.fb->drawBuf, 0x11, size_t(s.fb->memSize));
  Bytes frame(size_t(s.fb->memSize), 0x22);
  fbShowFrame(s.fb, frame.data());
  fbRealize(s.fb);
  EXPECT_EQ(s.shown(), frame);
  kzFakeClockAdvance(kzFbFrameHoldMs);
  fbRealize(s.fb);
  EXPECT_EQ(s.shown(), Bytes(size_t(s.fb->memSize), 0x11));
  kzClockUse(&kzClockReal);
}

// The technician's peer puts a PNG (as raw pixels) and a JPEG (decoded by
// the unit) on a unit's screen over a real connection.
TEST(ScreenFrames, PeerSendsPicturesToAServingUnit) {
  KzTempRoot root("kz_fb_peer");
  KzLogCapture log(0);
  Screen s;
  ASSERT_NE(s.fb, nullptr);
  WsUnit u;
  u.w->fb = s.fb;
  u.startServer();
  Scratch sc;
  auto send = [&](const std::string &file) {
    const std::string cmd = kzProgramCommand(KZ_REMOTE_BINARY) + " 127.0.0.1 " + std::to_string(u.port) +
                            " --frame '" + file + "' 2>/dev/null";
    return system(cmd.c_str());
  };
  auto shows = [&](const Bytes &want) {
    return kzWaitFor([&] { return s.shown() == want; }, 20000);
  };

  for (int i = 0; i < s.fb->memSize; i++) s.fb->drawBuf[i] = uint8_t(i % 4 == 3 ? 0 : i * 5 + i / 3200);
  ASSERT_EQ(fbSavePng(s.fb, sc.at("screen.png"), FB_DRAW), 0);
  const Bytes drawn(s.fb->drawBuf, s.fb->drawBuf + s.fb->memSize);
  ASSERT_EQ(send(sc.at("screen.png")), 0);
  EXPECT_TRUE(shows(drawn));

  const Bytes jpg = makeJpeg(sc, "small", 321, 200, false, "-progressive");
  ASSERT_EQ(send(sc.at("small.jpg")), 0);
  EXPECT_TRUE(shows(expected(jpg, s)));
  u.stop();
}
