#include "sessiontext.h"

#include "hexbytes.h"
#include "linkframe.h"

#include <cmath>
#include <cstdio>

using Json = nlohmann::ordered_json;

namespace SessionText {

double seconds(std::int64_t wallNs)
{
    return std::round(static_cast<double>(wallNs) / 1e3) / 1e6;
}

const char* replyName(int reply)
{
    return reply == LinkFrame::Ack ? "ack" : reply == LinkFrame::Nak ? "nak" : nullptr;
}

Json nameOrNull(const char* name)
{
    return name ? Json(name) : Json(nullptr);
}

void say(const std::string& text)
{
    std::fprintf(stderr, "korvane-cli: %s\n", text.c_str());
}

Json frameFields(const ReceivedFrame& frame, const char* answered, Json into)
{
    into["t"] = seconds(frame.startWallNs);
    into["type"] = frame.type;
    into["len"] = frame.len;
    into["data"] = HexBytes::compact(frame.data.data(), frame.data.size());
    into["sum"] = HexBytes::compact(&frame.checksum, 1);
    into["good"] = frame.good;
    into["answered"] = nameOrNull(answered);
    return into;
}

std::string frameShort(const ReceivedFrame& frame)
{
    std::string text = HexBytes::compact(&frame.type, 1);
    if (!frame.data.empty())
        text += ' ' + HexBytes::compact(frame.data.data(), frame.data.size());
    if (!frame.good)
        text += " (bad checksum)";
    return text;
}

} // namespace SessionText
