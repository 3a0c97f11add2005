#pragma once

#include <string>

namespace KvClient {

// The client is the Core peer and asks for the SharedMem transport; the Connect peer's transport file
// adds the others.
void InitializeFakeSharedMem();
void TerminateFakeSharedMem();

// Body of the legacy read thread: reads the test block from its segment back to back while the peer is
// alive, and keeps the first 16 bytes for the dashboard.
void LegacySharedMemRead();

// The first 16 bytes of a value, as the dashboard previews it.
std::string PreviewOf(const std::string& data);

}  // namespace KvClient
