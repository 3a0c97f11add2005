#pragma once

#include <string>

namespace KvTui {

// One input or posted event. Keys that the dashboard does not name arrive as Special with a short name.
class Event {
  public:
    enum class Kind { Character, Escape, CtrlC, Tab, Custom, Special };

    static Event Character(std::string utf8) { return Event(Kind::Character, std::move(utf8)); }
    static Event Character(char c) { return Event(Kind::Character, std::string(1, c)); }
    static Event Special(std::string name) { return Event(Kind::Special, std::move(name)); }

    static const Event Escape;
    static const Event CtrlC;
    static const Event Tab;
    // Posted to wake the screen; no component handles it.
    static const Event Custom;

    Kind GetKind() const { return kind_; }
    bool IsCharacter() const { return kind_ == Kind::Character; }
    const std::string& GetCharacter() const { return text_; }

    bool operator==(const Event&) const = default;

  private:
    Event(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
};

inline const Event Event::Escape{Event::Kind::Escape, {}};
inline const Event Event::CtrlC{Event::Kind::CtrlC, {}};
inline const Event Event::Tab{Event::Kind::Tab, {}};
inline const Event Event::Custom{Event::Kind::Custom, {}};

}  // namespace KvTui
