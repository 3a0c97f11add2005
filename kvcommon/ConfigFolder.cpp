#include "kvcommon/ConfigFolder.hpp"

#include <fmt/format.h>

#include "kvcommon/DocumentsFolder.hpp"

namespace KvCommon {

std::string GetDocumentsFolderPath() {
    return Platform::GetDocumentsFolderPath();
}

std::string GetConfigFolderPath() {
    return fmt::format("{}{}{}", GetDocumentsFolderPath(), Platform::GetPathSeparator()[0],
                       kConfigFolderName);
}

std::string ConfigFilePath(std::string_view fileName) {
    return fmt::format("{}{}{}", GetConfigFolderPath(), Platform::GetPathSeparator()[0], fileName);
}

const std::string& GetTuningFilePath() {
    static const std::string path = ConfigFilePath(kTuningFileName);
    return path;
}

const std::string& GetTransportFilePath() {
    static const std::string path = ConfigFilePath(kTransportFileName);
    return path;
}

}  // namespace KvCommon
