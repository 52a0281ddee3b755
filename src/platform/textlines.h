// Line splitting for the table and setup readers: each line without its
// '\n' and then one '\r', cut to the reader's longest line. A longer line
// is cut there and the rest of it dropped: it is never read as a line of
// its own, so an over-long value cannot set another key. Cost: O(length).
#pragma once
#include <cstring>
#include <string_view>

// fn(std::string_view line, bool wasCut) returns true to go on, false to
// stop reading.
template <typename Fn>
void kzForEachLine(std::string_view text, size_t maxLen, Fn fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    bool cut = line.size() > maxLen;
    if (cut) line = line.substr(0, maxLen);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!fn(line, cut)) return;
  }
}
