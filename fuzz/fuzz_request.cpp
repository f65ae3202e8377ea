// libFuzzer target for korvane-cli's reading of session requests: whatever
// bytes arrive on standard input, the line splitter must hold no more than
// a line's limit, and every line must become either a request that is
// well-formed (a send's frame with its len and checksum right, a pattern
// that matches the frame it describes) or an error short enough to answer
// with. Any difference aborts, and libFuzzer keeps the input.

#include "framepattern.h"
#include "fuzzfailure.h"
#include "linesplitter.h"
#include "linkframe.h"
#include "request.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Fuzz::fail;

// "unknown cmd" with 64 bytes of what was given, or a hex error with as much.
constexpr std::size_t ErrorLimit = 200;

void checkSend(const Request& request)
{
    const std::vector<std::uint8_t>& frame = request.bytes;
    if (frame.size() < LinkFrame::Overhead || frame[0] != LinkFrame::StartByte
        || frame[2] != frame.size() - LinkFrame::Overhead)
        fail("send frame of %zu bytes is not framed", frame.size());
    if (frame.back() != LinkFrame::checksum(frame[1], frame[2], frame.data() + 3, frame[2]))
        fail("send frame has a wrong checksum");
}

// A good frame that the request's pattern, had it no "??", would describe
// must match; a frame with a bad checksum never may.
void checkPattern(const std::string& text, const FramePattern& pattern)
{
    ReceivedFrame frame;
    std::vector<int> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (std::isspace(static_cast<unsigned char>(text[i])))
            continue;
        const std::string pair = text.substr(i, 2);
        bytes.push_back(pair == "??" ? 0x2E : std::stoi(pair, nullptr, 16));
        ++i;
    }
    if (bytes.empty())
        return;
    frame.type = static_cast<std::uint8_t>(bytes[0]);
    for (std::size_t i = 1; i < bytes.size(); ++i)
        frame.data.push_back(static_cast<std::uint8_t>(bytes[i]));
    frame.len = static_cast<std::uint8_t>(frame.data.size());
    frame.good = true;
    if (!pattern.matches(frame))
        fail("pattern \"%s\" does not match its own frame", text.c_str());
    frame.good = false;
    if (pattern.matches(frame))
        fail("pattern \"%s\" matches a frame with a bad checksum", text.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A small limit, so that oversized lines come up often.
    constexpr std::size_t Limit = 512;
    LineSplitter splitter(Limit);
    std::vector<LineSplitter::Line> lines;
    splitter.feed(reinterpret_cast<const char*>(data), size, lines);
    for (const LineSplitter::Line& line : lines) {
        if (line.text.size() > Limit || line.text.find('\n') != std::string::npos)
            fail("a line of %zu bytes came through", line.text.size());
        if (line.oversized)
            continue;
        Request request;
        std::string error;
        if (!parseRequest(line.text, request, error)) {
            if (error.empty() || error.size() > ErrorLimit)
                fail("error of %zu bytes", error.size());
            // The answer must be writable whatever the error quotes.
            (void)request.id.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
            continue;
        }
        if (request.command == Request::Command::Send)
            checkSend(request);
        if (request.command == Request::Command::ExpectFrame) {
            const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(line.text);
            const auto it = parsed.find("pattern");
            if (it != parsed.end() && it->is_string())
                checkPattern(it->get<std::string>(), request.pattern);
        }
    }
    return 0;
}
