// Hex byte lists for the command line, standard input and output lines.
#include "hexbytes.h"

#include <cctype>

namespace HexBytes {

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

bool isSeparator(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) || c == ',';
}

} // namespace

bool parse(const std::string& text, std::vector<std::uint8_t>& out, std::string& error)
{
    out.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        std::string token = text.substr(i, end - i);
        i = end;
        std::string digits = token;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
            digits = digits.substr(2);
        if (digits.empty() || digits.size() > 2) {
            error = "not a hex byte: \"" + token + "\"";
            return false;
        }
        int value = 0;
        for (char c : digits) {
            const int d = digit(c);
            if (d < 0) {
                error = "not a hex byte: \"" + token + "\"";
                return false;
            }
            value = value * 16 + d;
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

bool parsePairs(const std::string& text, std::vector<std::uint8_t>& out, std::string& error)
{
    out.clear();
    int high = -1; // the first digit of a pair, while waiting for its second
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c)) && high < 0)
            continue;
        const int d = digit(c);
        if (d < 0) {
            error = "not a hex byte at column " + std::to_string(i + 1) + " of \"" + text.substr(0, 64) + "\"";
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "an odd number of hex digits in \"" + text.substr(0, 64) + "\"";
        return false;
    }
    return true;
}

std::string compact(const std::uint8_t* bytes, std::size_t count)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string text(2 * count, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = hex[bytes[i] >> 4];
        text[2 * i + 1] = hex[bytes[i] & 0x0F];
    }
    return text;
}

void append(std::string& line, const std::uint8_t* bytes, std::size_t count)
{
    static const char hex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        line += ' ';
        line += hex[bytes[i] >> 4];
        line += hex[bytes[i] & 0x0F];
    }
}

} // namespace HexBytes
