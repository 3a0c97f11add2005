#include "tui/Layout.hpp"

#include <algorithm>
#include <numeric>

namespace KvTui {

namespace {

void Grow(const std::vector<LayoutItem>& items, int room, std::vector<int>& sizes) {
    std::vector<std::size_t> growing;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].flexGrow > 0) {
            growing.push_back(i);
            room += items[i].minSize;  // the growing items share their minimums' room too
        }
    }
    // Items whose minimum exceeds an equal share keep their minimum and leave the share to the rest.
    std::sort(growing.begin(), growing.end(),
              [&](std::size_t a, std::size_t b) { return items[a].minSize > items[b].minSize; });
    std::size_t first = 0;
    while (first < growing.size() &&
           items[growing[first]].minSize * static_cast<int>(growing.size() - first) > room) {
        room -= items[growing[first]].minSize;
        ++first;
    }
    std::vector<std::size_t> sharing(growing.begin() + static_cast<std::ptrdiff_t>(first), growing.end());
    std::sort(sharing.begin(), sharing.end());
    if (sharing.empty()) {
        return;
    }
    const int count = static_cast<int>(sharing.size());
    for (int k = 0; k < count; ++k) {
        sizes[sharing[k]] = room / count + (k < room % count ? 1 : 0);
    }
}

void Shrink(const std::vector<LayoutItem>& items, int shortfall, std::vector<int>& sizes) {
    // One cell at a time from the largest shrinking item (the last of equals), so that they even out.
    while (shortfall > 0) {
        std::size_t largest = items.size();
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].flexShrink > 0 && sizes[i] > 0 &&
                (largest == items.size() || sizes[i] >= sizes[largest])) {
                largest = i;
            }
        }
        if (largest == items.size()) {
            return;
        }
        --sizes[largest];
        --shortfall;
    }
}

}  // namespace

std::vector<int> ShareOut(const std::vector<LayoutItem>& items, int available) {
    std::vector<int> sizes(items.size());
    int needed = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        sizes[i] = std::max(0, items[i].minSize);
        needed += sizes[i];
    }
    available = std::max(0, available);
    if (needed <= available) {
        Grow(items, available - needed, sizes);
    } else {
        Shrink(items, needed - available, sizes);
    }
    return sizes;
}

}  // namespace KvTui
