#pragma once
// One request line of the session protocol (docs/session-protocol.md),
// read into what the session does with it. Everything a line may hold is
// checked here, so the session only ever sees well-formed requests.

#include "framepattern.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// How received frames are answered: Ack is the window's way (ACK for a good
// checksum, NAK for a bad one), Nak answers every frame with NAK.
enum class AnswerMode { Ack, Nak, None };

// What a send expects back within its time.
enum class Expect { Ack, Nak, None, Any };

struct Request
{
    enum class Command { Send, Raw, ExpectFrame, Answer, Ping, Close };

    nlohmann::ordered_json id; // null when the line had none that could be read
    Command command = Command::Ping;
    std::vector<std::uint8_t> bytes; // Send: the whole frame; Raw: as given
    Expect expect = Expect::Ack;
    int timeoutMs = 1000;
    FramePattern pattern;     // ExpectFrame
    AnswerMode mode = AnswerMode::Ack;
    int delayMs = 0;
};

// Lines longer than this are refused unread.
constexpr std::size_t MaxRequestLine = 64 * 1024;

// False, with the error text for the answer, when the line is no request;
// out.id is then whatever id could be read.
bool parseRequest(const std::string& line, Request& out, std::string& error);

// "ack", "nak", "none" (and "any" for expect) to the enums; false otherwise.
bool parseExpect(const std::string& word, Expect& out);
bool parseAnswerMode(const std::string& word, AnswerMode& out);
