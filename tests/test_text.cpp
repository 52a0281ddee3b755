// Text: the UTF-8 decoder's edge cases, the start-up font loads, empty and
// unloaded slots, glyph placement and blending (against FreeType's own
// bitmaps), clipping at the edges, width against pen travel, and the remote
// display commands.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "panel/fb.h"
#include "panel/text.h"
#include "platform/files.h"
#include "support.h"

namespace {

const std::string kDejaVu = "/usr/share/fonts/truetype/dejavu/";

// A 4-byte memory screen with canary bytes on both sides of its buffer.
struct MemScreen {
  enum { CANARY = 4096 };
  std::vector<uint8_t> mem;
  FbScreen fb{};
  explicit MemScreen(int xres = 800, int yres = 480, uint8_t fill = 0) {
    const size_t size = size_t(xres) * size_t(yres) * 4;
    mem.assign(size + 2 * CANARY, 0xA5);
    std::fill(mem.begin() + CANARY, mem.end() - CANARY, fill);
    fb.xres = uint16_t(xres), fb.yres = uint16_t(yres), fb.pixelSize = 4;
    fb.lineSize = xres * 4, fb.memSize = int32_t(size), fb.drawBuf = mem.data() + CANARY;
  }
  uint8_t *px(int x, int y) { return fb.drawBuf + size_t(y) * size_t(fb.lineSize) + size_t(x) * 4; }
  bool canariesIntact() const {
    return std::count(mem.begin(), mem.begin() + CANARY, 0xA5) == CANARY &&
           std::count(mem.end() - CANARY, mem.end(), 0xA5) == CANARY;
  }
};

// The font files linked where the start-up looks for them, loaded once.
class TextTest : public ::testing::Test {
 protected:
  static std::vector<std::string> loadLog;
  static void SetUpTestSuite() {
    KzTempRoot root("kz_text");
    KzLogCapture log('L');
    namespace fs = std::filesystem;
    fs::create_directories(root.dir + "/opt/fonts");
    fs::create_directories(root.dir + kDejaVu);
    for (const char *f : {"PTS55F", "PTS75F"})
      fs::create_symlink(std::string("/usr/share/fonts/truetype/paratype/") + f + ".ttf",
                         root.dir + "/opt/fonts/" + f + "_W.ttf");
    for (const char *f : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSans-Oblique.ttf"})
      fs::create_symlink(kDejaVu + f, root.dir + kDejaVu + f);
    LoadFonts();
    loadLog = log.lines;
  }
};
std::vector<std::string> TextTest::loadLog;

}  // namespace

TEST(Utf8Decode, ValidAndInvalidSequences) {
  // Each step: position after it and code point, -1 for an invalid step.
  const std::vector<std::pair<std::string, std::vector<std::pair<size_t, long>>>> cases = {
      {"", {}},
      {"A\xC3\xA9", {{1, 'A'}, {3, 0xE9}}},
      {"\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", {{3, 0x20AC}, {7, 0x1F600}, {11, 0x10FFFF}}},
      {"\xE0\x80\x80", {{1, -1}, {2, -1}, {3, -1}}},          // overlong
      {"\xED\xA0\x80", {{1, -1}, {2, -1}, {3, -1}}},          // surrogate
      {"\xF4\x90\x80\x80", {{1, -1}, {2, -1}, {3, -1}, {4, -1}}},  // above U+10FFFF
      {"\xE2\x82", {{2, -1}}},                                // truncated at the end
      {"\xF0\x9F\x98x\xF0\x9Fx", {{3, -1}, {4, 'x'}, {6, -1}, {7, 'x'}}},
      {"\xC3x\xC1\xF5", {{1, -1}, {2, 'x'}, {3, -1}, {4, -1}}},
  };
  for (const auto &[in, steps] : cases) {
    SCOPED_TRACE(testing::PrintToString(in));
    const auto *t = reinterpret_cast<const unsigned char *>(in.data());
    size_t pos = 0;
    for (const auto &[after, cp] : steps) {
      int valid = -1;
      unsigned got = 99;
      ASSERT_EQ(utf8_get_next_char(t, in.size(), &pos, &valid, &got), 1);
      EXPECT_EQ(pos, after);
      EXPECT_EQ(valid, cp >= 0 ? 1 : 0);
      EXPECT_EQ(long(got), cp >= 0 ? cp : 0);
    }
    EXPECT_EQ(utf8_get_next_char(t, in.size(), &pos, nullptr, nullptr), -1);
    EXPECT_EQ(pos, in.size());
  }
}

TEST_F(TextTest, LoadsSlotsAndEmptySlotsDrawNothing) {
  auto count = [](const std::vector<std::string> &l, const std::string &t) {
    return std::count(l.begin(), l.end(), t);
  };
  for (const char *t : {"Iinitializing FreeType", "Face loaded", "Pixel size sat"})
    EXPECT_EQ(count(loadLog, t), 12) << t;
  EXPECT_EQ(count(loadLog, "Loading face: filename=" + kDejaVu + "DejaVuSans-Bold.ttf"), 3);
  EXPECT_EQ(count(loadLog, "Loading face: filename=/opt/fonts/PTS75F_W.ttf"), 1);
  for (int s = 0; s < 12; s++) EXPECT_EQ(getStringSpace(s, "M") > 0, s != 3) << s;
  EXPECT_LT(getStringSpace(5, "M"), getStringSpace(6, "M"));

  KzTempRoot root("kz_text_bad");
  KzLogCapture log('L');
  ASSERT_EQ(kzSaveFileAtomic(root.file("bad.ttf"), std::string(2000, 'x')), 0);
  TTFLoad((kDejaVu + "DejaVuSans.ttf").c_str(), 20, 3);  // not under this root
  EXPECT_EQ(log.count("FreeType: file error"), 1);
  EXPECT_EQ(log.count("Error Setting Pixel Size"), 1);
  kzSetRoot("");
  TTFLoad((kDejaVu + "DejaVuSans.ttf").c_str(), 20, 3);
  EXPECT_GT(getStringSpace(3, "M"), 0);
  kzSetRoot(root.dir);
  TTFLoad("/opt/set/bad.ttf", 20, 3);  // a failed reload empties the slot
  EXPECT_EQ(log.count("FreeType: file format not supported"), 1);

  MemScreen scr;
  const std::vector<uint8_t> before = scr.mem;
  for (int s : {3, -1, 20}) {
    EXPECT_EQ(getStringSpace(s, "Hello"), 0) << s;
    putString(s, 100, 100, "Hello", 255, 255, 255, &scr.fb);
  }
  EXPECT_EQ(getStringSpace(1, ""), 0);
  putString(1, 100, 100, "", 255, 255, 255, &scr.fb);
  putString(1, 100, 100, "Hello", 255, 255, 255, nullptr);
  scr.fb.pixelSize = 2;  // text is drawn on 4-byte screens only
  putString(1, 100, 100, "Hello", 255, 255, 255, &scr.fb);
  EXPECT_TRUE(scr.mem == before);
}

// Each pixel blends FreeType's coverage of the glyph, the bitmap's bottom
// row (height - bearing) below the baseline and its left edge at the pen.
TEST_F(TextTest, PlacesAndBlendsGlyphsOnTheBaseline) {
  FT_Library lib;
  FT_Face face;
  ASSERT_EQ(FT_Init_FreeType(&lib), 0);
  ASSERT_EQ(FT_New_Face(lib, (kDejaVu + "DejaVuSans.ttf").c_str(), 0, &face), 0);  // slot 1
  FT_Set_Pixel_Sizes(face, 0, 22);
  const int x = 200, y = 240;
  for (const char *s : {"T", "g", "_", "\xE2\x96\x88"}) {
    SCOPED_TRACE(s);
    MemScreen scr(800, 480, 100);
    putString(1, x, y, s, 200, 0, 255, &scr.fb);
    size_t pos = 0;
    int valid;
    unsigned cp;
    utf8_get_next_char(reinterpret_cast<const unsigned char *>(s), strlen(s), &pos, &valid, &cp);
    ASSERT_EQ(FT_Load_Char(face, cp, FT_LOAD_RENDER), 0);
    const FT_GlyphSlot g = face->glyph;
    const int rows = int(g->bitmap.rows), pitch = g->bitmap.pitch;
    const int bottom = int((y * 64L + g->metrics.height - g->metrics.horiBearingY) / 64);
    int top = 480, low = -1, full = 0;
    for (int yy = 0; yy < 480; yy++)
      for (int xx = 0; xx < 800; xx++) {
        const int i = bottom - yy, j = xx - x;
        const bool in = i >= 0 && i < rows && j >= 0 && j < pitch;
        const int a = in ? g->bitmap.buffer[(rows - 1 - i) * pitch + j] : 0;
        const uint8_t *p = scr.px(xx, yy);
        ASSERT_EQ(p[0], 100 * (255 - a) / 255 + 255 * a / 255) << xx << "," << yy;
        ASSERT_EQ(p[1], 100 * (255 - a) / 255) << xx << "," << yy;
        ASSERT_EQ(p[2], 100 * (255 - a) / 255 + 200 * a / 255) << xx << "," << yy;
        ASSERT_EQ(p[3], a > 0 ? 0 : 100) << xx << "," << yy;  // empty pixels untouched
        if (a > 0) top = std::min(top, yy), low = std::max(low, yy);
        full += a == 255;
      }
    EXPECT_GT(full, 0);
    // "T" stands on the baseline, "g" descends below it, "_" lies wholly below.
    const std::map<char, bool> where = {{'T', low == y}, {'g', low > y && top < y}, {'_', top > y}};
    EXPECT_TRUE(where.count(s[0]) == 0 || where.at(s[0])) << top << " " << low;
  }
  FT_Done_Face(face);
  FT_Done_FreeType(lib);
}

TEST_F(TextTest, ClipsAtEveryEdgeWithoutWrapping) {
  // Each on-screen pixel as drawn on a larger screen, nothing else written.
  MemScreen big(1000, 600), scr;
  for (auto [x, y] : {std::pair{780, 100}, {400, 478}, {-15, 10}, {790, 479}, {-20, 200}}) {
    SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
    std::fill(big.fb.drawBuf, big.fb.drawBuf + big.fb.memSize, 0);
    std::fill(scr.fb.drawBuf, scr.fb.drawBuf + scr.fb.memSize, 0);
    putString(9, x + 100, y + 60, "WgW\xE2\x96\x88", 255, 255, 255, &big.fb);
    putString(9, x, y, "WgW\xE2\x96\x88", 255, 255, 255, &scr.fb);
    ASSERT_TRUE(scr.canariesIntact());
    for (int yy = 0; yy < 480; yy++)
      for (int xx = 0; xx < 800; xx++)
        ASSERT_EQ(*scr.px(xx, yy), *big.px(xx + 100, yy + 60)) << xx << "," << yy;
  }
}

TEST_F(TextTest, WidthIsThePenTravel) {
  for (const char *s : {"A", "AV", "Hello, World", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "a\xFF" "b"}) {
    for (int font : {1, 2, 7, 9}) {
      SCOPED_TRACE(std::string(s) + " font " + std::to_string(font));
      const int wd = getStringSpace(font, s);
      MemScreen together, apart;
      putString(font, 50, 300, (std::string(s) + "|").c_str(), 255, 255, 255, &together.fb);
      putString(font, 50, 300, s, 255, 255, 255, &apart.fb);
      putString(font, 50 + wd, 300, "|", 255, 255, 255, &apart.fb);
      EXPECT_GT(wd, 0);
      EXPECT_TRUE(together.mem == apart.mem);
    }
  }
}

// The glyph cache draws and measures what loading every glyph each time
// does, to the byte: every slot, texts with invalid bytes and wide
// characters, over a picture (blending), at edges (clipping and its
// count), the same texts again (from the cache) and in other colours.
TEST_F(TextTest, GlyphCacheDrawsTheSamePixels) {
  const char *texts[] = {"PA Temp1: 25.0\xC2\xB0" "C", "14.200MHz", "WgW\xE2\x96\x88 a\xFF" "b", "RESET Error"};
  const std::pair<int, int> places[] = {{5, 40}, {700, 300}, {-7, 12}, {780, 479}, {300, 2}};
  auto draw = [&](MemScreen &m, std::vector<int> &widths) {
    for (int i = 0; i < 800 * 480; i++) m.fb.drawBuf[4 * i + 1] = uint8_t(i * 7);
    for (int round = 0; round < 2; round++)
      for (int font = 0; font < 12; font++)
        for (const char *t : texts)
          for (auto [x, y] : places) {
            putString(font, x, y + font * 3, t, 255 - 40 * round, 90 + font, 30 * round, &m.fb);
            widths.push_back(getStringSpace(font, t));
          }
  };
  MemScreen cached, loaded;
  std::vector<int> wc, wl;
  TextGlyphCache(true);
  const unsigned long clip0 = TextClippedPixels();
  draw(cached, wc);
  const unsigned long clipCached = TextClippedPixels() - clip0;
  TextGlyphCache(false);
  draw(loaded, wl);
  const unsigned long clipLoaded = TextClippedPixels() - clip0 - clipCached;
  TextGlyphCache(true);
  EXPECT_TRUE(cached.mem == loaded.mem);
  EXPECT_EQ(wc, wl);
  EXPECT_EQ(clipCached, clipLoaded);
  EXPECT_GT(clipCached, 0u);
  EXPECT_TRUE(cached.canariesIntact());
}

TEST(TextRemote, DisplayCommands) {
  KzTempRoot root("kz_text_remote");
  KzLogCapture log('T');
  SetupRec rec{};
  auto w = kzTestWorks(rec);
  initSetup(w.get());
  w->numBanco = 1;
  w->maxBank = 20;
  w->divide = 1;
  dispStatText(w.get(), "VORNFT00");
  EXPECT_EQ(rec.EnableFFT2, '0');
  EXPECT_EQ(w->divide, 1);
  dispStatText(w.get(), "VORNFT01");
  EXPECT_EQ(std::string({rec.EnableFFT2, rec.Enable1600}), "10");
  EXPECT_EQ(w->divide, 2);
  w->divide = 5;
  dispStatText(w.get(), "VORNFT02");
  EXPECT_EQ(rec.Enable1600, '1');
  EXPECT_EQ(w->divide, 5);
  dispStatText(w.get(), "VORNFD12");
  EXPECT_EQ(w->divide, 12);
  for (const char *bad : {"VORNFD", "VORNFDx3", "VORNFD-4", "VORNFD4000"}) dispStatText(w.get(), bad);
  EXPECT_EQ(w->divide, 12);

  const SetupRec saved = rec;
  dispStatText(w.get(), "VORNTU2");
  EXPECT_EQ(memcmp(&saved, &rec, sizeof rec), 0);
  EXPECT_TRUE(kzCmdRecorded().empty());
  dispStatText(w.get(), "VORNRB");
  EXPECT_EQ(kzCmdRecorded(), std::vector<std::string>{"reboot"});
  EXPECT_EQ(log.count("BUFFER Wsocket : VORNRB\n"), 1);

  dispStatText(w.get(), "VORNBANK");
  dispStatText(w.get(), "VORNPA1");
  EXPECT_EQ(w->numBanco.load(), 3);
  EXPECT_EQ(log.count("ChangeBanco\n"), 2);
}
