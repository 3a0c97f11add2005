#pragma once

#include <functional>
#include <memory>

#include "tui/Element.hpp"
#include "tui/Event.hpp"

namespace KvTui {

class ComponentBase {
  public:
    virtual ~ComponentBase() = default;
    virtual Element Render() = 0;
    // True when the event was handled.
    virtual bool OnEvent(const Event& event) = 0;
};

using Component = std::shared_ptr<ComponentBase>;

Component Renderer(std::function<Element()> render);
// Offers every event to `handler` first, and to `child` when the handler leaves it.
Component CatchEvent(Component child, std::function<bool(const Event&)> handler);

// What other threads and event handlers may ask of a running screen; every call is thread-safe.
class ScreenControl {
  public:
    virtual ~ScreenControl() = default;
    virtual void PostEvent(Event event) = 0;
    virtual void RequestAnimationFrame() = 0;
    virtual void Exit() = 0;
};

}  // namespace KvTui
