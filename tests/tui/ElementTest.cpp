#include <gtest/gtest.h>

#include "tui/Element.hpp"
#include "tui/Grid.hpp"
#include "tui/Layout.hpp"

using namespace KvTui;

namespace {

Grid Draw(const Element& element, int width, int height) {
    Grid grid(width, height);
    Render(grid, element);
    return grid;
}

}  // namespace

TEST(DisplayWidth, StatusSymbolsTakeTwoColumnsAndTheMicroSignOne) {
    for (const char* wide : {"\U0001F7E2", "\U0001F534", "\u2705", "\u274C"}) {
        EXPECT_EQ(DisplayWidth(wide), 2) << wide;
    }
    EXPECT_EQ(DisplayWidth("\u00b5s"), 2);
    EXPECT_EQ(DisplayWidth("TCP "), 4);
    EXPECT_EQ(DisplayWidth("\u256d\u2500"), 2);
    // Broken UTF-8 is drawn as one replacement character per bad byte, never read past the end.
    const auto glyphs = SplitGlyphs(std::string("a\xE2\x82", 3));
    ASSERT_EQ(glyphs.size(), 3u);
    EXPECT_EQ(glyphs[1].bytes, "\xEF\xBF\xBD");
    EXPECT_EQ(DisplayWidth(std::string("\xF0\x9F", 2)), 2);
}

TEST(Grid, WideCharactersFillTwoCellsAndAreClippedWhole) {
    Grid grid(5, 2);
    grid.Print(0, 0, "a\U0001F7E2b", grid.Bounds());
    EXPECT_EQ(grid.RowText(0), "a\U0001F7E2b ");
    EXPECT_TRUE(grid.At(2, 0).tail);

    // A wide character that would straddle the clip's edge is left out, not cut in half.
    grid.Print(0, 1, "abcd\u2705", grid.Bounds());
    EXPECT_EQ(grid.RowText(1), "abcd ");

    // Overwriting the tail of a wide character blanks its head.
    grid.Put(2, 0, "x", grid.Bounds());
    EXPECT_EQ(grid.RowText(0), "a xb ");

    // Out of bounds writes, negative positions and rows are dropped.
    grid.Print(-3, 0, "zzzzzzzz", Box{0, 0, 2, 1});
    grid.Put(9, 9, "q", grid.Bounds());
    EXPECT_EQ(grid.ToText(), "zzxb \nabcd ");
    EXPECT_EQ(grid.RowText(7), "");
}

TEST(Layout, GrowingItemsEndUpEqualAsFarAsTheirMinimumsAllow) {
    // Equal shares, remainder to the first ones.
    EXPECT_EQ(ShareOut({{2, 1, 1}, {3, 1, 1}, {1, 1, 1}}, 20), (std::vector<int>{7, 7, 6}));
    // One minimum above the fair share keeps it; the others share the rest.
    EXPECT_EQ(ShareOut({{12, 1, 1}, {1, 1, 1}, {1, 1, 1}}, 20), (std::vector<int>{12, 4, 4}));
    // Fixed items keep their minimum; spare room without growing items stays unused.
    EXPECT_EQ(ShareOut({{4, 0, 0}, {1, 1, 1}}, 10), (std::vector<int>{4, 6}));
    EXPECT_EQ(ShareOut({{4, 0, 0}, {1, 0, 0}}, 10), (std::vector<int>{4, 1}));
    // A shortfall comes from the shrinking items first, then the rest overflows (and is clipped).
    EXPECT_EQ(ShareOut({{5, 0, 0}, {5, 1, 1}}, 7), (std::vector<int>{5, 2}));
    EXPECT_EQ(ShareOut({{5, 0, 0}, {5, 1, 1}}, 3), (std::vector<int>{5, 0}));
    // Shrinking evens the items out, the first keeping a spare cell.
    EXPECT_EQ(ShareOut({{9, 1, 1}, {12, 1, 1}, {10, 1, 1}}, 25), (std::vector<int>{9, 8, 8}));
    EXPECT_EQ(ShareOut({{5, 0, 0}}, -4), (std::vector<int>{5}));
    EXPECT_TRUE(ShareOut({}, 10).empty());
}

TEST(Elements, RowsColumnsBordersAndSeparatorsDrawWhereTheirBoxesAre) {
    const auto grid = Draw(
        vbox({text("top"), separator(), hbox({text("ab"), text("cd") | flex, text("ef")})}) | border, 10, 5);
    EXPECT_EQ(grid.ToText(),
              "\u256d\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u256e\n"
              "\u2502top     \u2502\n"
              "\u2502\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2502\n"
              "\u2502abcd  ef\u2502\n"
              "\u2570\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u256f");

    // A bordered element that is not flex takes its content's width and two columns; its neighbour
    // starts right after the right border.
    const auto row = Draw(hbox({text("ab") | border, text("next")}), 10, 3);
    EXPECT_EQ(row.RowText(0), "\u256d\u2500\u2500\u256enext  ");
    EXPECT_EQ(row.RowText(1), "\u2502ab\u2502      ");
}

TEST(Elements, CenterSizeAndBoldDecorate) {
    auto grid = Draw(text("ab") | bold | center, 6, 3);
    EXPECT_EQ(grid.ToText(), "      \n  ab  \n      ");
    EXPECT_TRUE(grid.At(2, 1).bold);
    EXPECT_TRUE(grid.At(3, 1).bold);
    EXPECT_FALSE(grid.At(1, 1).bold);

    // A fixed width pads a short label and cuts a long one.
    grid = Draw(
        vbox({hbox({text("Read") | size(Direction::WIDTH, Constraint::EQUAL, 6), text(": x")}),
              hbox({text("Write + Meta!") | size(Direction::WIDTH, Constraint::EQUAL, 6), text(": y")})}),
        12, 2);
    EXPECT_EQ(grid.RowText(0), "Read  : x   ");
    EXPECT_EQ(grid.RowText(1), "Write : y   ");
}

TEST(Elements, FlexColumnsShareTheWidthEquallyWhateverTheirContent) {
    const auto grid = Draw(
        hbox({text("a") | border | flex, text("bbbb") | border | flex, text("cc") | border | flex}), 21, 3);
    EXPECT_EQ(grid.RowText(1), "\u2502a    \u2502\u2502bbbb \u2502\u2502cc   \u2502");
}

TEST(Elements, ATooSmallScreenClipsInsteadOfCrashing) {
    const Element tree =
        vbox({text("KvFakeShm OCore Client") | bold | center, separator(),
              hbox({text("\U0001F7E2\u2705") | border | flex, text("x") | border | flex}) | flex}) |
        border | flex;
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 2}, {3, 1}, {5, 4}, {7, 9}}) {
        const auto grid = Draw(tree, width, height);
        EXPECT_EQ(grid.Width(), width);
        EXPECT_EQ(grid.Height(), height);
    }
    EXPECT_EQ(Draw(tree, 5, 4).RowText(1), "\u2502KvF\u2502");
}
