#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace KvTui {

// A rectangle of cells; empty when its width or height is not positive.
struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool Empty() const { return width <= 0 || height <= 0; }
    int Right() const { return x + width; }    // one past the last column
    int Bottom() const { return y + height; }  // one past the last row
    Box Intersect(const Box& other) const;
    bool operator==(const Box&) const = default;
};

// One terminal cell. A character two columns wide lives in its first cell; the second is its tail.
struct Cell {
    std::string glyph = " ";
    bool bold = false;
    bool tail = false;
    bool operator==(const Cell&) const = default;
};

// Number of terminal columns a character takes: 0, 1 or 2.
int DisplayWidth(char32_t codePoint);

// Splits UTF-8 text into characters (each with its bytes and width); invalid bytes come out as U+FFFD.
struct Glyph {
    std::string_view bytes;
    int width = 1;
};
std::vector<Glyph> SplitGlyphs(std::string_view text);
int DisplayWidth(std::string_view text);

// What one frame draws, before it reaches the terminal.
class Grid {
  public:
    Grid(int width, int height);

    int Width() const { return width_; }
    int Height() const { return height_; }
    Box Bounds() const { return {0, 0, width_, height_}; }

    // Writes the text from (x, y), never past `clip`; a wide character that does not fit whole is left out.
    void Print(int x, int y, std::string_view text, const Box& clip);
    // Puts one single-width character, when (x, y) lies inside `clip`.
    void Put(int x, int y, std::string_view glyph, const Box& clip);
    void SetBold(const Box& box);

    const Cell& At(int x, int y) const { return cells_[Index(x, y)]; }
    // Whether row y holds the same cells in both grids (false when their sizes differ).
    bool SameRow(const Grid& other, int y) const;
    // A row as plain text, wide characters once, trailing blanks kept.
    std::string RowText(int y) const;
    std::string ToText() const;

  private:
    std::size_t Index(int x, int y) const { return static_cast<std::size_t>(y) * width_ + x; }
    void Clear(int x, int y);

    int width_;
    int height_;
    std::vector<Cell> cells_;
};

}  // namespace KvTui
