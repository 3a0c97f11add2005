#include "tui/Grid.hpp"

#include <locale.h>
#include <clocale>
#include <cwchar>

#include <algorithm>

namespace KvTui {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// wcwidth follows LC_CTYPE; a UTF-8 locale of our own keeps the widths right whatever the process's
// locale is.
locale_t Utf8Locale() {
    static const locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return made != static_cast<locale_t>(0) ? made
                                                : newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    }();
    return locale;
}

// Decodes one UTF-8 sequence at the start of `text`; returns its length, 0 when it is not valid.
std::size_t DecodeOne(std::string_view text, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t value = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    codePoint = value;
    return length;
}

}  // namespace

Box Box::Intersect(const Box& other) const {
    const int left = std::max(x, other.x);
    const int top = std::max(y, other.y);
    const int right = std::min(Right(), other.Right());
    const int bottom = std::min(Bottom(), other.Bottom());
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

int DisplayWidth(char32_t codePoint) {
    if (codePoint < 0x20 || codePoint == 0x7F) {
        return 0;
    }
    if (codePoint < 0x7F) {
        return 1;
    }
    const locale_t previous = uselocale(Utf8Locale());
    const int width = wcwidth(static_cast<wchar_t>(codePoint));
    uselocale(previous);
    return std::clamp(width, 0, 2);
}

std::vector<Glyph> SplitGlyphs(std::string_view text) {
    std::vector<Glyph> glyphs;
    glyphs.reserve(text.size());
    while (!text.empty()) {
        char32_t codePoint = 0;
        const std::size_t length = DecodeOne(text, codePoint);
        if (length == 0) {
            glyphs.push_back({kReplacement, 1});
            text.remove_prefix(1);
            continue;
        }
        glyphs.push_back({text.substr(0, length), DisplayWidth(codePoint)});
        text.remove_prefix(length);
    }
    return glyphs;
}

int DisplayWidth(std::string_view text) {
    int width = 0;
    for (const auto& glyph : SplitGlyphs(text)) {
        width += glyph.width;
    }
    return width;
}

Grid::Grid(int width, int height)
    : width_(std::max(0, width)),
      height_(std::max(0, height)),
      cells_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)) {}

void Grid::Clear(int x, int y) {
    Cell& cell = cells_[Index(x, y)];
    // Overwriting either half of a wide character blanks the other half.
    if (cell.tail && x > 0) {
        cells_[Index(x - 1, y)] = Cell{};
    } else if (!cell.tail && x + 1 < width_ && cells_[Index(x + 1, y)].tail) {
        cells_[Index(x + 1, y)] = Cell{};
    }
    cell = Cell{};
}

void Grid::Print(int x, int y, std::string_view text, const Box& clip) {
    const Box area = clip.Intersect(Bounds());
    if (y < area.y || y >= area.Bottom()) {
        return;
    }
    for (const auto& glyph : SplitGlyphs(text)) {
        if (glyph.width == 0) {
            continue;
        }
        if (x + glyph.width > area.Right()) {
            return;
        }
        if (x >= area.x) {
            Clear(x, y);
            if (glyph.width == 2) {
                Clear(x + 1, y);
                cells_[Index(x + 1, y)].tail = true;
            }
            cells_[Index(x, y)].glyph.assign(glyph.bytes);
        }
        x += glyph.width;
    }
}

void Grid::Put(int x, int y, std::string_view glyph, const Box& clip) {
    const Box area = clip.Intersect(Bounds());
    if (x < area.x || x >= area.Right() || y < area.y || y >= area.Bottom()) {
        return;
    }
    Clear(x, y);
    cells_[Index(x, y)].glyph.assign(glyph);
}

void Grid::SetBold(const Box& box) {
    const Box area = box.Intersect(Bounds());
    for (int y = area.y; y < area.Bottom(); ++y) {
        for (int x = area.x; x < area.Right(); ++x) {
            cells_[Index(x, y)].bold = true;
        }
    }
}

bool Grid::SameRow(const Grid& other, int y) const {
    if (width_ != other.width_ || height_ != other.height_ || y < 0 || y >= height_) {
        return false;
    }
    const auto row = cells_.begin() + static_cast<std::ptrdiff_t>(Index(0, y));
    return std::equal(row, row + width_, other.cells_.begin() + static_cast<std::ptrdiff_t>(Index(0, y)));
}

std::string Grid::RowText(int y) const {
    std::string row;
    if (y < 0 || y >= height_) {
        return row;
    }
    for (int x = 0; x < width_; ++x) {
        const Cell& cell = cells_[Index(x, y)];
        if (!cell.tail) {
            row += cell.glyph;
        }
    }
    return row;
}

std::string Grid::ToText() const {
    std::string text;
    for (int y = 0; y < height_; ++y) {
        text += RowText(y);
        if (y + 1 < height_) {
            text += '\n';
        }
    }
    return text;
}

}  // namespace KvTui
