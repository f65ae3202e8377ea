#include "request.h"

#include "hexbytes.h"
#include "linkframe.h"

#include <initializer_list>

using json = nlohmann::ordered_json;

namespace {

// The longest wait a request may ask for: a day.
constexpr std::int64_t MaxWaitMs = 24LL * 3600 * 1000;

// A whole number in 0..most from field `name`, or `fallback` when absent.
bool number(const json& request, const char* name, std::int64_t most, std::int64_t fallback, std::int64_t& out,
            std::string& error)
{
    const auto it = request.find(name);
    if (it == request.end() || it->is_null()) {
        out = fallback;
        return true;
    }
    if (!it->is_number_integer() && !it->is_number_unsigned()) {
        error = std::string("\"") + name + "\" must be a whole number";
        return false;
    }
    const std::int64_t value = it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(most)
        ? most + 1
        : it->get<std::int64_t>();
    if (value < 0 || value > most) {
        error = std::string("\"") + name + "\" must be 0.." + std::to_string(most);
        return false;
    }
    out = value;
    return true;
}

// A string field, or `fallback` when absent.
bool text(const json& request, const char* name, const std::string& fallback, std::string& out, std::string& error)
{
    const auto it = request.find(name);
    if (it == request.end() || it->is_null()) {
        out = fallback;
        return true;
    }
    if (!it->is_string()) {
        error = std::string("\"") + name + "\" must be a string";
        return false;
    }
    out = it->get<std::string>();
    return true;
}

// Every key the command takes; any other is a mistyped one, which would
// otherwise leave its default standing in silence.
bool knownKeys(const json& request, std::initializer_list<const char*> keys, std::string& error)
{
    for (const auto& item : request.items()) {
        const std::string& key = item.key();
        if (key == "id" || key == "cmd")
            continue;
        bool known = false;
        for (const char* name : keys)
            known = known || key == name;
        if (!known) {
            error = "unknown key \"" + key.substr(0, 64) + "\"";
            return false;
        }
    }
    return true;
}

bool parseSend(const json& request, Request& out, std::string& error)
{
    std::int64_t type = 0;
    std::int64_t timeout = 0;
    std::string data;
    std::string expect;
    std::vector<std::uint8_t> bytes;
    if (request.find("type") == request.end()) {
        error = "send needs \"type\"";
        return false;
    }
    if (!number(request, "type", 255, 0, type, error) || !text(request, "data", "", data, error)
        || !text(request, "expect", "ack", expect, error) || !number(request, "timeout_ms", MaxWaitMs, 1000, timeout, error)
        || !HexBytes::parsePairs(data, bytes, error))
        return false;
    if (bytes.size() > 255) {
        error = "a frame holds at most 255 data bytes";
        return false;
    }
    if (!parseExpect(expect, out.expect)) {
        error = "\"expect\" must be ack, nak, none or any";
        return false;
    }
    out.timeoutMs = static_cast<int>(timeout);
    out.bytes.resize(bytes.size() + LinkFrame::Overhead);
    LinkFrame::encode(static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(bytes.size()), bytes.data(),
                      out.bytes.data());
    return true;
}

} // namespace

bool parseExpect(const std::string& word, Expect& out)
{
    if (word == "ack")
        out = Expect::Ack;
    else if (word == "nak")
        out = Expect::Nak;
    else if (word == "none")
        out = Expect::None;
    else if (word == "any")
        out = Expect::Any;
    else
        return false;
    return true;
}

bool parseAnswerMode(const std::string& word, AnswerMode& out)
{
    if (word == "ack")
        out = AnswerMode::Ack;
    else if (word == "nak")
        out = AnswerMode::Nak;
    else if (word == "none")
        out = AnswerMode::None;
    else
        return false;
    return true;
}

bool parseRequest(const std::string& line, Request& out, std::string& error)
{
    out = Request();
    if (line.size() > MaxRequestLine) {
        error = "line longer than " + std::to_string(MaxRequestLine) + " bytes";
        return false;
    }
    const json request = json::parse(line, nullptr, false);
    if (request.is_discarded()) {
        error = "malformed JSON";
        return false;
    }
    if (!request.is_object()) {
        error = "a request is a JSON object";
        return false;
    }
    const auto id = request.find("id");
    if (id != request.end() && !id->is_null()) {
        // The answer must name the request by what it gave; null is kept
        // for lines that could not be read.
        if (!id->is_number() && !id->is_string()) {
            error = "\"id\" must be a number or a string";
            return false;
        }
        out.id = *id;
    }
    std::string command;
    if (!text(request, "cmd", "", command, error))
        return false;
    if (command == "send") {
        out.command = Request::Command::Send;
        return knownKeys(request, {"type", "data", "expect", "timeout_ms"}, error) && parseSend(request, out, error);
    }
    if (command == "raw") {
        std::string data;
        out.command = Request::Command::Raw;
        return knownKeys(request, {"data"}, error) && text(request, "data", "", data, error)
            && HexBytes::parsePairs(data, out.bytes, error);
    }
    if (command == "expect_frame") {
        std::string pattern;
        std::int64_t timeout = 0;
        out.command = Request::Command::ExpectFrame;
        if (!knownKeys(request, {"pattern", "timeout_ms"}, error) || !text(request, "pattern", "", pattern, error) || !number(request, "timeout_ms", MaxWaitMs, 1000, timeout, error)
            || !out.pattern.parse(pattern, error))
            return false;
        out.timeoutMs = static_cast<int>(timeout);
        return true;
    }
    if (command == "answer") {
        std::string mode;
        std::int64_t delay = 0;
        out.command = Request::Command::Answer;
        if (!knownKeys(request, {"mode", "delay_ms"}, error) || !text(request, "mode", "ack", mode, error) || !number(request, "delay_ms", MaxWaitMs, 0, delay, error))
            return false;
        if (!parseAnswerMode(mode, out.mode)) {
            error = "\"mode\" must be ack, nak or none";
            return false;
        }
        out.delayMs = static_cast<int>(delay);
        return true;
    }
    if (command == "ping") {
        out.command = Request::Command::Ping;
        return knownKeys(request, {}, error);
    }
    if (command == "close") {
        out.command = Request::Command::Close;
        return knownKeys(request, {}, error);
    }
    error = command.empty() ? "no \"cmd\"" : "unknown cmd \"" + command.substr(0, 64) + "\"";
    return false;
}
