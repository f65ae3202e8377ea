// Standard input commands.
#include "commands.h"

#include "hexbytes.h"

#include <cctype>

Command Command::parse(const std::string& line)
{
    Command command;
    std::size_t begin = 0;
    while (begin < line.size() && std::isspace(static_cast<unsigned char>(line[begin])))
        ++begin;
    if (begin == line.size() || line[begin] == '#')
        return command;
    std::size_t end = begin;
    while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])))
        ++end;
    std::string word = line.substr(begin, end - begin);
    for (char& c : word)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string rest = line.substr(end);

    struct Word
    {
        const char* text;
        Kind kind;
        bool takesBytes;
    };
    static const Word words[] = {
        {"send", Kind::Send, true}, {"bad", Kind::Bad, true}, {"raw", Kind::Raw, true},
        {"ack", Kind::Ack, false}, {"nak", Kind::Nak, false}, {"close", Kind::Close, false},
        {"rst", Kind::Rst, false}, {"start", Kind::Start, false}, {"stats", Kind::Stats, false},
        {"quit", Kind::Quit, false},
    };
    for (const Word& candidate : words) {
        if (word != candidate.text)
            continue;
        if (!candidate.takesBytes) {
            if (rest.find_first_not_of(" \t\r") != std::string::npos) {
                command.kind = Kind::Invalid;
                command.error = word + " takes no arguments";
            } else {
                command.kind = candidate.kind;
            }
            return command;
        }
        std::vector<std::uint8_t> bytes;
        if (!HexBytes::parse(rest, bytes, command.error)) {
            command.kind = Kind::Invalid;
            return command;
        }
        if (candidate.kind == Kind::Raw) {
            if (bytes.empty()) {
                command.kind = Kind::Invalid;
                command.error = "raw needs at least one byte";
                return command;
            }
            command.kind = Kind::Raw;
            command.bytes = std::move(bytes);
            return command;
        }
        if (bytes.empty() || bytes.size() > 256) {
            command.kind = Kind::Invalid;
            command.error = word + " needs a type byte and 0 to 255 data bytes";
            return command;
        }
        command.kind = candidate.kind;
        command.type = bytes.front();
        command.bytes.assign(bytes.begin() + 1, bytes.end());
        return command;
    }
    command.kind = Kind::Invalid;
    command.error = "unknown command \"" + word + "\"";
    return command;
}
