#pragma once
// The pcapng block types and option codes that the capture writer and the
// history's reader share.

#include <cstdint>

namespace Pcapng {

constexpr std::uint32_t SectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t InterfaceDescription = 1;
constexpr std::uint32_t EnhancedPacket = 6;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;

constexpr std::uint16_t EndOfOptions = 0;
constexpr std::uint16_t Comment = 1;
constexpr std::uint16_t ShbUserApplication = 4;
constexpr std::uint16_t IfName = 2;
constexpr std::uint16_t IfDescription = 3;
constexpr std::uint16_t IfTimestampResolution = 9;
constexpr std::uint16_t EpbFlags = 2;

// The direction bits of an enhanced packet's flags.
constexpr std::uint32_t Inbound = 1;
constexpr std::uint32_t Outbound = 2;

// Link type USER0, which Wireshark leaves to user dissectors.
constexpr std::uint16_t LinkTypeUser0 = 147;

} // namespace Pcapng
