// Text: FreeType faces in a table of font slots (loaded once at start),
// anti-aliased strings drawn into the drawing buffer with the baseline at
// y, their width, and the UTF-8 decoder. Also the decoder of the
// plain-text remote display commands.
#pragma once
#include <cstddef>

struct FbScreen;
struct works;

enum { KZ_FONT_SLOTS = 20 };

// Loads face 0 of a TrueType file (a fixed path, mapped under the root)
// into a slot at a pixel height. Every failure is logged; a slot whose face
// could not be opened stays empty (draws nothing, measures 0). Called at
// start, before the drawing threads run.
void TTFLoad(const char *fileName, int pixelSize, int slotIndex);
// The twelve loads of the start-up, in their order (slot 3 stays empty).
void LoadFonts();
void putString(int font, int x, int y, const char *text, int red, int green, int blue,
               FbScreen *fb);
int getStringSpace(int font, const char *text);
// Draws `text` inside the columns [x0, x1), first baseline at y: in the
// first of `fonts` (largest first) at which it fits on at most maxLines
// lines (wrapped at blanks, 1.25 font heights apart), left-aligned or
// centred. When even the last font cannot hold it, each line still too
// wide loses characters at its start ("..." in their place), so its end
// stays. Returns the number of lines drawn.
int putStringBox(const int *fonts, int nFonts, int x0, int x1, int y, int maxLines, int centre,
                 const char *text, int red, int green, int blue, FbScreen *fb);
// Inked glyph pixels dropped so far because they fell outside the screen.
unsigned long TextClippedPixels();
// The glyph cache on (the default) or off, emptied either way; tests draw
// both ways and compare the pixels.
void TextGlyphCache(bool on);
int utf8_get_next_char(const unsigned char *text, size_t length, size_t *position, int *valid,
                       unsigned int *codepoint);
// Acts on one short remote display command ("VORNBANK", "VORNFT01",
// "VORNFD<n>", "VORNRB", ...); remoteStatus is the received text.
void dispStatText(works *w, const char *remoteStatus);
