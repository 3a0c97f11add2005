#pragma once

#include <string>

#include "client/ClientState.hpp"
#include "client/DashboardSource.hpp"
#include "tui/Element.hpp"

namespace KvClient {

// Name, live peer (🟢/🔴), enabled (✅/❌) and the transport's key hint.
KvTui::Element TransportStatus(const std::string& name, bool enabled, bool alive, const std::string& keyHint);

// The whole screen for one frame. Both tabs are built every frame, so the TCP and IPC previews are read
// (once each, when their peer is alive) whichever tab is shown; failed reads leave their text in
// `errorText`. Runs on the UI thread only.
KvTui::Element RenderDashboard(DashboardSource& source, ClientState& state, std::string& errorText);

}  // namespace KvClient
