#pragma once
// Hex byte lists as typed on the command line and on standard input
// ("01 0A FF", "0x2e,0xff"), and the upper-case form the output lines use.

#include <cstdint>
#include <string>
#include <vector>

namespace HexBytes {

// The value of one hex digit, either case, or -1.
int digit(char c);

// Parses blank- or comma-separated bytes of one or two hex digits, with an
// optional 0x prefix. Returns false and says why in error on any bad token.
bool parse(const std::string& text, std::vector<std::uint8_t>& out, std::string& error);

// Pairs of hex digits, either case, with blanks allowed between the pairs:
// "0AFF", "0a ff". The form the command-line client takes bytes in.
bool parsePairs(const std::string& text, std::vector<std::uint8_t>& out, std::string& error);

// "0AFF": the bytes as upper-case digits, nothing between them.
std::string compact(const std::uint8_t* bytes, std::size_t count);

// " 0A FF": each byte as a blank and two upper-case digits.
void append(std::string& line, const std::uint8_t* bytes, std::size_t count);

} // namespace HexBytes
