#include "tui/Component.hpp"

namespace KvTui {

namespace {

class RendererComponent : public ComponentBase {
  public:
    explicit RendererComponent(std::function<Element()> render) : render_(std::move(render)) {}
    Element Render() override { return render_(); }
    bool OnEvent(const Event& /*event*/) override { return false; }

  private:
    std::function<Element()> render_;
};

class CatchEventComponent : public ComponentBase {
  public:
    CatchEventComponent(Component child, std::function<bool(const Event&)> handler)
        : child_(std::move(child)), handler_(std::move(handler)) {}
    Element Render() override { return child_->Render(); }
    bool OnEvent(const Event& event) override { return handler_(event) || child_->OnEvent(event); }

  private:
    Component child_;
    std::function<bool(const Event&)> handler_;
};

}  // namespace

Component Renderer(std::function<Element()> render) {
    return std::make_shared<RendererComponent>(std::move(render));
}

Component CatchEvent(Component child, std::function<bool(const Event&)> handler) {
    return std::make_shared<CatchEventComponent>(std::move(child), std::move(handler));
}

}  // namespace KvTui
