#pragma once
// The files the history benchmarks open: a traffic log of good received
// frames (the window's rows) and a capture of packets, each a 4-byte frame
// one way with the reply to the other way's last frame in front of it,
// written through the shared writers. Types cycle 01..08, every tenth frame
// is NAKed (its checksum bad in the capture), 1 ms apart.

#include <cstdint>
#include <string>

namespace HistoryFiles {

bool writeLog(const std::string& path, std::uint64_t frames);
bool writeCapture(const std::string& path, std::uint64_t packets);

} // namespace HistoryFiles
