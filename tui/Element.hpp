#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tui/Grid.hpp"

namespace KvTui {

// What an element asks of its parent: a minimum size and whether it takes (or gives up) spare room.
struct Requirement {
    int minWidth = 0;
    int minHeight = 0;
    int flexGrowX = 0;
    int flexGrowY = 0;
    int flexShrinkX = 0;
    int flexShrinkY = 0;
};

// Layout runs in two passes: every node states its requirement bottom-up, then receives its box
// top-down; rendering then draws inside the box it received.
class Node {
  public:
    explicit Node(std::vector<std::shared_ptr<Node>> children = {});
    virtual ~Node() = default;

    virtual void ComputeRequirement();
    virtual void SetBox(const Box& box);
    virtual void Render(Grid& grid) const;

    const Requirement& GetRequirement() const { return requirement_; }
    const Box& GetBox() const { return box_; }

  protected:
    std::vector<std::shared_ptr<Node>> children_;
    Requirement requirement_;
    Box box_;
};

using Element = std::shared_ptr<Node>;
using Elements = std::vector<Element>;
using Decorator = std::function<Element(Element)>;

Element text(std::string content);
Element hbox(Elements children);
Element vbox(Elements children);
Element separator();
Element filler();

Element border(Element child);  // rounded corners
Element bold(Element child);
Element flex(Element child);
Element center(Element child);  // horizontally and vertically

enum class Direction { WIDTH, HEIGHT };
enum class Constraint { EQUAL };
Decorator size(Direction direction, Constraint constraint, int value);

Element operator|(Element element, const Decorator& decorator);
Element operator|(Element element, Element (*decorator)(Element));

// Lays the element out on the whole grid and draws it.
void Render(Grid& grid, const Element& element);

}  // namespace KvTui
