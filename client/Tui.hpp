#pragma once

#include "client/ClientState.hpp"
#include "tui/Component.hpp"

namespace KvClient {

// The dashboard on the whole terminal until the user quits; returns once the refresher has been joined.
// Throws KvTui::TerminalError when the terminal cannot be opened.
void RunTui();

// Quit keys clear `running` and end the screen's loop; Tab, b/B and t/T choose the tab. True when handled.
bool HandleKey(const KvTui::Event& event, KvTui::ScreenControl& screen, ClientState& state);

// Asks the screen for a new frame every 16.666 ms on an absolute deadline until `running` is cleared.
void TuiRefresher(KvTui::ScreenControl& screen, const ClientState& state);

}  // namespace KvClient
