#include "frameoracle.h"

namespace {

constexpr std::uint8_t Start = 0x2E;
constexpr int Kept = 50; // data bytes a received record can hold

void hex(std::string& out, std::uint8_t b)
{
    static const char digits[] = "0123456789ABCDEF";
    out += digits[b / 16];
    out += digits[b % 16];
}

// "2E,TT,LL,D1,..,SS" with the given separator.
std::string fields(const FrameOracle::GoodFrame& f, char sep)
{
    std::string s = "2E";
    s += sep;
    hex(s, f.type);
    s += sep;
    hex(s, f.shownLength);
    for (std::uint8_t d : f.data) {
        s += sep;
        hex(s, d);
    }
    s += sep;
    hex(s, f.checksum);
    return s;
}

} // namespace

void FrameOracle::reset()
{
    at = Idle;
    body.clear();
    wanted = 0;
    frames.clear();
    answers.clear();
    peerReply = 0;
}

void FrameOracle::feed(std::uint8_t byte)
{
    switch (at) {
    case Idle:
        if (byte == Start) {
            body.clear();
            at = Type;
        } else if (byte == 0xFF || byte == 0xF0) {
            peerReply = byte;
        }
        return;
    case Type:
        body.push_back(byte);
        at = Length;
        return;
    case Length:
        body.push_back(byte);
        wanted = byte < Kept ? byte : Kept;
        at = wanted == 0 ? Checksum : Payload;
        return;
    case Payload:
        body.push_back(byte);
        if (dataTaken() == wanted)
            at = Checksum;
        return;
    case Checksum:
        finish(byte);
        at = Idle;
        return;
    }
}

void FrameOracle::finish(std::uint8_t checksumByte)
{
    // The len byte counts with the value it arrived with, even when only 50
    // data bytes were kept.
    unsigned total = 0;
    for (std::uint8_t b : body)
        total += b;
    const auto expected = static_cast<std::uint8_t>(~total & 0xFFu);
    if (expected != checksumByte) {
        answers += static_cast<char>(0xF0);
        return;
    }
    GoodFrame f;
    f.type = body[0];
    f.shownLength = static_cast<std::uint8_t>(wanted);
    f.data.assign(body.begin() + 2, body.end());
    f.checksum = checksumByte;
    frames.push_back(std::move(f));
    answers += static_cast<char>(0xFF);
}

std::string FrameOracle::row(const GoodFrame& f, long index)
{
    return "hh:mm:ss,zzz," + fields(f, ',') + ",-,[" + std::to_string(index) + "]\n";
}

std::string FrameOracle::line(const GoodFrame& f, long index)
{
    return "hh:mm:ss.zzz  " + fields(f, ' ') + " [" + std::to_string(index) + "]";
}
