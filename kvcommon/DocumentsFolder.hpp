#pragma once

#include <string>

// The one OS-specific service behind the configuration folder. Each platform supplies its own source file.
namespace KvCommon::Platform {

// The user's Documents folder, or an empty string when it cannot be resolved.
std::string GetDocumentsFolderPath();

// The path separator of the platform, one character long.
const std::string& GetPathSeparator();

}  // namespace KvCommon::Platform
