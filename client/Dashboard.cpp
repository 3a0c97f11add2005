#include "client/Dashboard.hpp"

#include <array>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "client/FakeShmUse.hpp"
#include "client/Format.hpp"
#include "kvlog/Logging.hpp"

namespace KvClient {

using namespace KvTui;
using KvFakeShm::TransportKind;

namespace {

// One transport's column and footer status. Transports read over a socket name their read operation;
// SharedMem's preview comes from the legacy read thread instead.
struct TransportColumn {
    TransportKind kind;
    const char* title;
    const char* name;
    const char* keyHint;
    const char* readOperation;  // nullptr: preview from the legacy read thread
    bool withMeta;
};

constexpr std::array<TransportColumn, 3> kColumns{{
    {KvFakeShm::kTransportTcp, "TCP Transport", "TCP", "1", "ReadFrom_Tcp", true},
    {KvFakeShm::kTransportIpc, "IPC Transport", "IPC", "2", "ReadFrom_Ipc", true},
    {KvFakeShm::kTransportSharedMem, "SharedMem Transport", "SharedMem", "3", nullptr, false},
}};

constexpr int kBenchmarkLabelWidth = 12;
constexpr int kTuningLabelWidth = 32;

using Rows = std::vector<std::pair<std::string, std::string>>;

// Label padded or cut to its width, ": ", the value; one empty line between rows.
Element Table(const Rows& rows, int labelWidth) {
    Elements lines;
    lines.reserve(rows.size() * 2);
    for (const auto& [label, value] : rows) {
        if (!lines.empty()) {
            lines.push_back(text(""));
        }
        lines.push_back(hbox(
            {text(label) | size(Direction::WIDTH, Constraint::EQUAL, labelWidth), text(": "), text(value)}));
    }
    return vbox(std::move(lines));
}

std::string SocketPreview(const TransportColumn& column, const TransportFigures& figures,
                          DashboardSource& source, std::string& errorText) {
    std::string data = "-";
    if (figures.alive &&
        !source.Read(column.kind, GetTestBlockName(), GetTestAddressName(), data, errorText)) {
        KVLOG(KvLog::kError, "{} failed to read: {}", column.readOperation, errorText);
    }
    return PreviewOf(data);
}

std::string SharedMemPreview(ClientState& state) {
    std::shared_lock lock(state.previewLock);
    return state.sharedMemPreview;
}

Element Column(const TransportColumn& column, const TransportFigures& figures, std::uint64_t windowMs,
               DashboardSource& source, ClientState& state, std::string& errorText) {
    const auto rate = [windowMs](std::uint64_t perWindow) {
        return FormatRate(PerSecond(perWindow, windowMs));
    };
    // Without a channel a transport has no value to show: the legacy reader's last one is stale.
    const std::string preview = column.readOperation != nullptr
                                    ? SocketPreview(column, figures, source, errorText)
                                : figures.hasChannel ? SharedMemPreview(state)
                                                     : "-";
    Rows rows{
        {"Latency", FormatDuration(figures.latency)},
        {"Smoothed", FormatDuration(figures.smoothedLatency)},
        {"Block", GetTestBlockName()},
        {"Address", GetTestAddressName()},
        {"Preview", preview},
        {"Read Rate", rate(figures.readRate)},
    };
    if (column.withMeta) {
        rows.emplace_back("Read + Meta", rate(figures.readRateWithMeta));
    }
    rows.emplace_back("Write Rate", rate(figures.writeRate));
    if (column.withMeta) {
        rows.emplace_back("Write + Meta", rate(figures.writeRateWithMeta));
    }
    return vbox({text(column.title) | bold | center, separator(), Table(rows, kBenchmarkLabelWidth)}) |
           border | flex;
}

std::string Milliseconds(auto value) {
    return fmt::format("{} ms", value);
}
std::string TrueFalse(bool value) {
    return value ? "true" : "false";
}

Element TuningBody(const KvFakeShm::Tuning& tuning) {
    const Rows rows{
        {"SocketRecvNonBlock", TrueFalse(tuning.SocketReceiveNonBlocking)},
        {"SocketRecvTimeout", Milliseconds(tuning.SocketReceiveTimeout)},
        {"SocketSendNonBlock", TrueFalse(tuning.SocketSendNonBlocking)},
        {"SocketSendTimeout", Milliseconds(tuning.SocketSendTimeout)},
        {"ReconnectTimeMin", Milliseconds(tuning.SocketReconnectTimeMin)},
        {"ReconnectTimeMax", Milliseconds(tuning.SocketReconnectTimeMax)},
        {"WorkerRetryInterval", Milliseconds(tuning.WorkerRetryInterval)},
        {"HeartbeatInterval", Milliseconds(tuning.HeartbeatInterval)},
        {"LivenessTimeout", Milliseconds(tuning.LivenessTimeout)},
        {"LatencyWindow", Milliseconds(tuning.LatencySmoothingWindow)},
        {"ThroughputWindow", Milliseconds(tuning.ThroughputSmoothingWindow)},
        {"SharedMemHeartbeatBlock", fmt::format("{}", tuning.SharedMemHeartbeatBlockSize)},
        {"SharedMemLiveness", Milliseconds(tuning.SharedMemLivenessTimeout)},
    };
    return vbox({text("Tuning Parameters") | bold | center, separator(), Table(rows, kTuningLabelWidth)}) |
           border | flex;
}

Element TabRow(std::uint8_t selectedTab) {
    return hbox({text(selectedTab == 0 ? "[ Benchmark ]" : "  Benchmark  ") | bold, text("   "),
                 text(selectedTab == 1 ? "[ Tuning Info ]" : "  Tuning Info  ") | bold}) |
           center;
}

}  // namespace

Element TransportStatus(const std::string& name, bool enabled, bool alive, const std::string& keyHint) {
    return hbox({text(name + " "), text(alive ? "\U0001F7E2" : "\U0001F534"),
                 text(enabled ? "\u2705" : "\u274C"), text(" < " + keyHint + " >")});
}

Element RenderDashboard(DashboardSource& source, ClientState& state, std::string& errorText) {
    const std::uint8_t selectedTab = state.selectedTab;
    const KvFakeShm::Tuning tuning = source.GetTuning();

    // One reading of each transport's figures serves its column and its footer status.
    Elements columns;
    Elements footer{text("Quit < ESC / Q / Ctrl-C >")};
    for (const TransportColumn& column : kColumns) {
        const TransportFigures figures = source.Figures(column.kind);
        columns.push_back(
            Column(column, figures, tuning.ThroughputSmoothingWindow, source, state, errorText));
        footer.push_back(text(" | "));
        footer.push_back(TransportStatus(column.name, figures.enabled, figures.alive, column.keyHint));
    }
    footer.push_back(text(" | "));
    footer.push_back(text("Switch Tab < B | T >"));

    Element benchmark = hbox(std::move(columns));
    Element tuningInfo = TuningBody(tuning);
    Element body = selectedTab == 0 ? benchmark : tuningInfo;
    return vbox({text("KvFakeShm OCore Client") | bold | center, separator(), TabRow(selectedTab),
                 separator(), body | flex, separator(), hbox(std::move(footer)) | center}) |
           border | flex;
}

}  // namespace KvClient
