#pragma once

#include <vector>

namespace KvTui {

struct LayoutItem {
    int minSize = 0;
    int flexGrow = 0;
    int flexShrink = 0;
};

// Shares `available` cells out along one axis. Spare room goes to the growing items so that they end up
// as equal as their minimums allow (extra cells of a remainder go to the first ones); a shortfall is
// taken from the shrinking items first, and whatever still does not fit overflows and is clipped.
std::vector<int> ShareOut(const std::vector<LayoutItem>& items, int available);

}  // namespace KvTui
