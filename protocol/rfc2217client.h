#pragma once
// The telnet side of a serial port shared over the network with RFC 2217
// (COM-PORT-OPTION), as ser2net's "telnet(rfc2217)" accepter and labgrid's
// exporter serve one. It owns no socket and no clock: the caller hands it
// what the connection gave, and sends on what it hands back. So the same
// client serves korvane-cli, the Python package's helper and the window, on
// POSIX and on WinSock alike.
//
// The telnet layer itself (IAC escaping, commands, subnegotiation framing)
// is libtelnet's; which options to take, and COM-PORT-OPTION, are ours.
//
// What it asks for: BINARY both ways, SUPPRESS-GO-AHEAD both ways and
// COM-PORT-OPTION; any other option the server offers or asks for is refused
// (DONT / WONT). Once the server takes COM-PORT-OPTION it asks for the line
// the device speaks: 38400 baud, 8 data bits, no parity, 1 stop bit, no
// flow control, then a purge of both of the server's buffers.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Rfc2217Client
{
public:
    // One line setting the client asks for, and what became of it.
    enum class Setting { BaudRate, DataSize, Parity, StopSize, Control, Purge };
    enum class Answer {
        Waiting,   // asked, no answer yet
        Confirmed, // answered with the value asked for
        Other,     // answered with another value: a warning says which
        Unanswered // the caller gave up waiting (giveUp) before an answer came
    };
    enum class Phase {
        Negotiating, // the option offers are out; the settings may be
        Ready,       // the server has answered every setting, or refused the
                     // option, or the caller gave up: the line may be used
    };

    Rfc2217Client();
    ~Rfc2217Client();
    Rfc2217Client(const Rfc2217Client&) = delete;
    Rfc2217Client& operator=(const Rfc2217Client&) = delete;

    // The bytes that open the negotiation, to be sent first on a fresh
    // connection. Calling it again starts over, as for a reconnected server.
    void start(std::vector<std::uint8_t>& toSend);

    // Takes what the connection gave: appends the device's own bytes to
    // `data` (telnet commands and subnegotiations taken out, FF FF made one
    // FF) and whatever must go back to the server to `toSend`. An IAC split
    // across two calls is joined. A subnegotiation that never ends is held
    // in bounded memory (libtelnet keeps at most 16 KiB of one) and, past
    // that, dropped up to its end: its bytes never pass as the device's.
    //
    // The device's bytes that arrive before the server answers the purge
    // were in its buffers before the purge: they are held (bounded) and, on
    // the purge answer, dropped and counted in purgedBytes(). If the server
    // never answers it, giveUp() hands them on.
    void receive(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data,
                 std::vector<std::uint8_t>& toSend);

    // Appends the device bytes `bytes` as they go on the wire: FF as FF FF.
    void encode(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& toSend);

    // The caller's wait for the negotiation (about a second) is over: what
    // has not been answered is Unanswered, the phase is Ready, held device
    // bytes are appended to `data`. Nothing is sent; the open is not failed.
    void giveUp(std::vector<std::uint8_t>& data);

    Phase phase() const;
    bool ready() const { return phase() == Phase::Ready; }
    // True once the server took COM-PORT-OPTION; false when it refused it
    // (a plain telnet server: bytes go over telnet, the line is as the
    // server set it) or has not said yet.
    bool comPortAgreed() const;
    // True once the server refused COM-PORT-OPTION.
    bool comPortRefused() const;
    Answer answer(Setting setting) const;

    // Warnings in the tool's words, each once, oldest first: settings the
    // server confirmed with other values, a refused COM-PORT-OPTION, device
    // bytes dropped by the purge, a dropped subnegotiation. Taking them empties the list.
    std::vector<std::string> takeWarnings();

    // The stream can no longer be read, with the reason (the server began
    // compression it was never allowed, say): the caller drops the
    // connection as lost. Empty while it reads.
    const std::string& failure() const;

    // Device bytes dropped by the purge (see receive).
    std::uint64_t purgedBytes() const;
    // Bytes of telnet commands and subnegotiations taken out of the stream.
    std::uint64_t commandBytes() const;

    // The most device bytes held while waiting for the purge answer; older
    // ones beyond it are dropped as purged.
    static constexpr std::size_t MaxHeldBeforePurge = 65536;

    // The text of a setting, for warnings and reports: "baud rate", ...
    static const char* settingName(Setting setting);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
