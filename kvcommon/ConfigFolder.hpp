#pragma once

#include <string>
#include <string_view>

namespace KvCommon {

inline constexpr std::string_view kConfigFolderName = "Korvanta";
inline constexpr std::string_view kTuningFileName = "kvfakeshm-params.yml";
inline constexpr std::string_view kTransportFileName = "kvfakeshm-transport.bin";

std::string GetDocumentsFolderPath();
// Documents folder, separator, "Korvanta". Never created here.
std::string GetConfigFolderPath();
// Folder, separator, file name. Uncached: callers keep the result in their own static.
std::string ConfigFilePath(std::string_view fileName);

// Resolved once per process; later redirections of the Documents folder are not followed.
const std::string& GetTuningFilePath();
const std::string& GetTransportFilePath();

}  // namespace KvCommon
