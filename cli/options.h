#pragma once
// The command line of korvane-cli:
//   korvane-cli --port PORT [--log FILE] [--pcap FILE] [--answer ack|nak|none]
//               [--answer-delay MS] session | send TYPE [DATA...] | listen
// with --expect, --timeout and --raw for send and --count and --duration
// for listen. Options may stand before or after the command.

#include "portaddress.h"
#include "request.h"

#include <cstdint>
#include <string>
#include <vector>

struct Options
{
    enum class Command { Session, Send, Listen, Help, Version };
    Command command = Command::Session;
    PortAddress port;
    std::string logPath;
    std::string pcapPath;
    AnswerMode answer = AnswerMode::Ack;
    int answerDelayMs = 0;

    // send
    std::vector<std::uint8_t> sendBytes; // the whole frame, or the raw bytes
    Expect expect = Expect::Ack;
    int timeoutMs = 1000;

    // listen: stop after this many events or seconds; -1 for no limit
    long long count = -1;
    double durationS = -1;

    // False, with the reason, for a command line that is not one.
    static bool parse(int argc, char** argv, Options& out, std::string& error);
    static const char* usage();
};
