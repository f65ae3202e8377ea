#pragma once
// The small pieces of text and time the session's lines are made of.

#include "framedecoder.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace SessionText {

constexpr std::int64_t MsNs = 1000000;

// Seconds since the epoch with microseconds, as a JSON number.
double seconds(std::int64_t wallNs);
// "ack", "nak", or null for anything else.
const char* replyName(int reply);
nlohmann::ordered_json nameOrNull(const char* name);
// A line on standard error, for people.
void say(const std::string& text);
// The frame's fields, after whatever `into` holds already.
nlohmann::ordered_json frameFields(const ReceivedFrame& frame, const char* answered,
                                   nlohmann::ordered_json into = nlohmann::ordered_json::object());
// "01 0AFF": the type, then the data, as a failure lists what came.
std::string frameShort(const ReceivedFrame& frame);

} // namespace SessionText
