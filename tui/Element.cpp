#include "tui/Element.hpp"

#include <algorithm>
#include <numeric>

#include "tui/Layout.hpp"

namespace KvTui {

Node::Node(std::vector<std::shared_ptr<Node>> children) : children_(std::move(children)) {}

void Node::ComputeRequirement() {
    for (auto& child : children_) {
        child->ComputeRequirement();
    }
}

void Node::SetBox(const Box& box) {
    box_ = box;
}

void Node::Render(Grid& grid) const {
    for (const auto& child : children_) {
        child->Render(grid);
    }
}

namespace {

class Text : public Node {
  public:
    explicit Text(std::string content) : content_(std::move(content)) {}

    void ComputeRequirement() override {
        requirement_ = {};
        requirement_.minWidth = DisplayWidth(content_);
        requirement_.minHeight = 1;
    }
    void Render(Grid& grid) const override { grid.Print(box_.x, box_.y, content_, box_); }

  private:
    std::string content_;
};

// A row (hbox) or a column (vbox): the main axis is shared out, the cross axis is given whole.
class Stack : public Node {
  public:
    Stack(Elements children, bool horizontal) : Node(std::move(children)), horizontal_(horizontal) {}

    void ComputeRequirement() override {
        Node::ComputeRequirement();
        requirement_ = {};
        for (const auto& child : children_) {
            const Requirement& r = child->GetRequirement();
            if (horizontal_) {
                requirement_.minWidth += r.minWidth;
                requirement_.minHeight = std::max(requirement_.minHeight, r.minHeight);
            } else {
                requirement_.minHeight += r.minHeight;
                requirement_.minWidth = std::max(requirement_.minWidth, r.minWidth);
            }
        }
    }

    void SetBox(const Box& box) override {
        Node::SetBox(box);
        std::vector<LayoutItem> items;
        items.reserve(children_.size());
        for (const auto& child : children_) {
            const Requirement& r = child->GetRequirement();
            items.push_back(horizontal_ ? LayoutItem{r.minWidth, r.flexGrowX, r.flexShrinkX}
                                        : LayoutItem{r.minHeight, r.flexGrowY, r.flexShrinkY});
        }
        const std::vector<int> sizes = ShareOut(items, horizontal_ ? box.width : box.height);
        int at = horizontal_ ? box.x : box.y;
        for (std::size_t i = 0; i < children_.size(); ++i) {
            const Box childBox =
                horizontal_ ? Box{at, box.y, sizes[i], box.height} : Box{box.x, at, box.width, sizes[i]};
            children_[i]->SetBox(childBox.Intersect(box));
            at += sizes[i];
        }
    }

    void Render(Grid& grid) const override {
        for (const auto& child : children_) {
            if (!child->GetBox().Empty()) {
                child->Render(grid);
            }
        }
    }

  private:
    bool horizontal_;
};

class Separator : public Node {
  public:
    void ComputeRequirement() override { requirement_ = {1, 1, 0, 0, 0, 0}; }
    void Render(Grid& grid) const override {
        const char* line = box_.width == 1 && box_.height > 1 ? "│" : "─";
        for (int y = box_.y; y < box_.Bottom(); ++y) {
            for (int x = box_.x; x < box_.Right(); ++x) {
                grid.Put(x, y, line, box_);
            }
        }
    }
};

class Filler : public Node {
  public:
    void ComputeRequirement() override { requirement_ = {0, 0, 1, 1, 1, 1}; }
};

// A decorator over one child that keeps the child's requirement unless it says otherwise.
class Decorated : public Node {
  public:
    explicit Decorated(Element child) : Node({std::move(child)}) {}
    void ComputeRequirement() override {
        Node::ComputeRequirement();
        requirement_ = children_[0]->GetRequirement();
    }
    void SetBox(const Box& box) override {
        Node::SetBox(box);
        children_[0]->SetBox(box);
    }
};

class Border : public Decorated {
  public:
    using Decorated::Decorated;
    void ComputeRequirement() override {
        Decorated::ComputeRequirement();
        requirement_.minWidth += 2;
        requirement_.minHeight += 2;
    }
    void SetBox(const Box& box) override {
        Node::SetBox(box);
        children_[0]->SetBox(Box{box.x + 1, box.y + 1, box.width - 2, box.height - 2}.Intersect(box));
    }
    void Render(Grid& grid) const override {
        if (!children_[0]->GetBox().Empty()) {
            children_[0]->Render(grid);
        }
        if (box_.width < 2 || box_.height < 2) {
            return;
        }
        const int right = box_.Right() - 1;
        const int bottom = box_.Bottom() - 1;
        for (int x = box_.x + 1; x < right; ++x) {
            grid.Put(x, box_.y, "─", box_);
            grid.Put(x, bottom, "─", box_);
        }
        for (int y = box_.y + 1; y < bottom; ++y) {
            grid.Put(box_.x, y, "│", box_);
            grid.Put(right, y, "│", box_);
        }
        grid.Put(box_.x, box_.y, "╭", box_);
        grid.Put(right, box_.y, "╮", box_);
        grid.Put(box_.x, bottom, "╰", box_);
        grid.Put(right, bottom, "╯", box_);
    }
};

class Bold : public Decorated {
  public:
    using Decorated::Decorated;
    void Render(Grid& grid) const override {
        Decorated::Render(grid);
        grid.SetBold(box_);
    }
};

class Flex : public Decorated {
  public:
    using Decorated::Decorated;
    void ComputeRequirement() override {
        Decorated::ComputeRequirement();
        requirement_.flexGrowX = requirement_.flexGrowY = 1;
        requirement_.flexShrinkX = requirement_.flexShrinkY = 1;
    }
};

class FixedSize : public Decorated {
  public:
    FixedSize(Element child, Direction direction, int value)
        : Decorated(std::move(child)), direction_(direction), value_(std::max(0, value)) {}
    void ComputeRequirement() override {
        Decorated::ComputeRequirement();
        if (direction_ == Direction::WIDTH) {
            requirement_.minWidth = value_;
            requirement_.flexGrowX = requirement_.flexShrinkX = 0;
        } else {
            requirement_.minHeight = value_;
            requirement_.flexGrowY = requirement_.flexShrinkY = 0;
        }
    }
    void SetBox(const Box& box) override {
        Box own = box;
        if (direction_ == Direction::WIDTH) {
            own.width = std::min(own.width, value_);
        } else {
            own.height = std::min(own.height, value_);
        }
        Decorated::SetBox(own);
    }

  private:
    Direction direction_;
    int value_;
};

}  // namespace

Element text(std::string content) {
    return std::make_shared<Text>(std::move(content));
}
Element hbox(Elements children) {
    return std::make_shared<Stack>(std::move(children), true);
}
Element vbox(Elements children) {
    return std::make_shared<Stack>(std::move(children), false);
}
Element separator() {
    return std::make_shared<Separator>();
}
Element filler() {
    return std::make_shared<Filler>();
}
Element border(Element child) {
    return std::make_shared<Border>(std::move(child));
}
Element bold(Element child) {
    return std::make_shared<Bold>(std::move(child));
}
Element flex(Element child) {
    return std::make_shared<Flex>(std::move(child));
}

Element center(Element child) {
    return hbox({filler(), vbox({filler(), std::move(child), filler()}), filler()});
}

Decorator size(Direction direction, Constraint /*only EQUAL*/, int value) {
    return [direction, value](Element child) {
        return std::make_shared<FixedSize>(std::move(child), direction, value);
    };
}

Element operator|(Element element, const Decorator& decorator) {
    return decorator(std::move(element));
}
Element operator|(Element element, Element (*decorator)(Element)) {
    return decorator(std::move(element));
}

void Render(Grid& grid, const Element& element) {
    element->ComputeRequirement();
    element->SetBox(grid.Bounds());
    element->Render(grid);
}

}  // namespace KvTui
