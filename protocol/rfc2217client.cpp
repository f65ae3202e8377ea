#include "rfc2217client.h"

#include <libtelnet.h>

#include <array>
#include <cstring>

namespace {

constexpr unsigned char ComPortOption = 44;
constexpr unsigned char Se = 240;

// COM-PORT-OPTION commands as the client sends them; the server answers
// each with the same code plus 100.
constexpr unsigned char Signature = 0;
constexpr unsigned char SetBaudRate = 1;
constexpr unsigned char SetDataSize = 2;
constexpr unsigned char SetParity = 3;
constexpr unsigned char SetStopSize = 4;
constexpr unsigned char SetControl = 5;
constexpr unsigned char PurgeData = 12;
constexpr unsigned char ServerOffset = 100;

constexpr std::uint32_t BaudRate = 38400;
constexpr unsigned char DataBits = 8;
constexpr unsigned char ParityNone = 1;
constexpr unsigned char OneStopBit = 1;
constexpr unsigned char NoFlowControl = 1;
constexpr unsigned char PurgeBoth = 3;

constexpr char OwnSignature[] = "korvane";

// The options the client takes; every other one is refused.
constexpr unsigned char OwnOptions[] = {TELNET_TELOPT_BINARY, TELNET_TELOPT_SGA, ComPortOption};

int ownOption(unsigned char option)
{
    for (std::size_t i = 0; i < sizeof OwnOptions; ++i) {
        if (OwnOptions[i] == option)
            return static_cast<int>(i);
    }
    return -1;
}

constexpr std::size_t SettingCount = 6;

std::size_t indexOf(Rfc2217Client::Setting s)
{
    return static_cast<std::size_t>(s);
}

std::string parityText(unsigned v)
{
    switch (v) {
    case 1: return "none";
    case 2: return "odd";
    case 3: return "even";
    case 4: return "mark";
    case 5: return "space";
    default: return "code " + std::to_string(v);
    }
}

std::string stopText(unsigned v)
{
    switch (v) {
    case 1: return "1";
    case 2: return "2";
    case 3: return "1.5";
    default: return "code " + std::to_string(v);
    }
}

std::string controlText(unsigned v)
{
    switch (v) {
    case 1: return "no flow control";
    case 2: return "XON/XOFF flow control";
    case 3: return "RTS/CTS flow control";
    default: return "control code " + std::to_string(v);
    }
}

} // namespace

struct Rfc2217Client::State
{
    telnet_t* telnet = nullptr;
    // Where the callbacks of the call under way put their bytes.
    std::vector<std::uint8_t>* data = nullptr;
    std::vector<std::uint8_t>* toSend = nullptr;

    // Where each own option stands, this side (us) and the server's (him),
    // with whether the client has asked and waits for the answer.
    struct Option
    {
        bool us = false, usAsked = false, him = false, himAsked = false;
    };
    std::array<Option, sizeof OwnOptions> options {};
    bool agreed = false;
    bool refused = false;
    bool gaveUp = false;
    bool asked = false;
    // libtelnet gave up holding an overlong subnegotiation and reads its
    // rest as data: that rest is dropped up to its IAC SE.
    bool droppingSubnegotiation = false;
    std::array<Answer, SettingCount> answers {};
    std::vector<std::uint8_t> held;
    std::vector<std::string> warnings;
    std::string failure;
    std::uint64_t received = 0;
    std::uint64_t delivered = 0;
    std::uint64_t purged = 0;

    ~State() { reset(); }

    static void onEvent(telnet_t*, telnet_event_t* ev, void* user) { static_cast<State*>(user)->event(ev); }

    void reset()
    {
        if (telnet != nullptr)
            telnet_free(telnet);
        telnet = nullptr;
        agreed = refused = gaveUp = asked = droppingSubnegotiation = false;
        options.fill(Option());
        answers.fill(Answer::Waiting);
        held.clear();
        failure.clear();
    }

    bool answered() const
    {
        for (Answer a : answers) {
            if (a == Answer::Waiting)
                return false;
        }
        return true;
    }
    bool ready() const { return refused || gaveUp || answered(); }
    // Device bytes wait until the purge has cleared what came before them.
    bool holding() const { return !(refused || gaveUp || answers[indexOf(Setting::Purge)] != Answer::Waiting); }

    void warn(std::string text) { warnings.push_back(std::move(text)); }

    void deviceBytes(const char* bytes, std::size_t size)
    {
        if (droppingSubnegotiation)
            return;
        delivered += size;
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes);
        if (!holding()) {
            data->insert(data->end(), b, b + size);
            return;
        }
        held.insert(held.end(), b, b + size);
        if (held.size() > MaxHeldBeforePurge) {
            const std::size_t excess = held.size() - MaxHeldBeforePurge;
            purged += excess;
            held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(excess));
        }
    }

    void releaseHeld()
    {
        if (data != nullptr)
            data->insert(data->end(), held.begin(), held.end());
        held.clear();
    }

    void askSettings()
    {
        if (asked)
            return;
        asked = true;
        const unsigned char baud[] = {SetBaudRate, static_cast<unsigned char>(BaudRate >> 24),
                                      static_cast<unsigned char>(BaudRate >> 16),
                                      static_cast<unsigned char>(BaudRate >> 8), static_cast<unsigned char>(BaudRate)};
        const unsigned char one[][2] = {{SetDataSize, DataBits}, {SetParity, ParityNone}, {SetStopSize, OneStopBit},
                                        {SetControl, NoFlowControl}, {PurgeData, PurgeBoth}};
        telnet_subnegotiation(telnet, ComPortOption, reinterpret_cast<const char*>(baud), sizeof baud);
        for (const auto& c : one)
            telnet_subnegotiation(telnet, ComPortOption, reinterpret_cast<const char*>(c), 2);
    }

    void settle(Setting s, bool same, const std::string& wanted, const std::string& got)
    {
        Answer& a = answers[indexOf(s)];
        const bool first = a == Answer::Waiting || a == Answer::Unanswered;
        a = same ? Answer::Confirmed : Answer::Other;
        if (!same && first)
            warn(std::string("the server set the ") + settingName(s) + " to " + got + ", not " + wanted);
    }

    void comPort(const unsigned char* b, std::size_t n)
    {
        if (n == 0)
            return;
        const unsigned code = b[0];
        const unsigned value = n >= 2 ? b[1] : 0;
        const bool one = n == 2;
        switch (code) {
        case ServerOffset + Signature:
            // The server asks who we are (an empty signature); a text is its own.
            if (n == 1) {
                std::string reply(1, static_cast<char>(Signature));
                reply += OwnSignature;
                telnet_subnegotiation(telnet, ComPortOption, reply.data(), reply.size());
            }
            break;
        case ServerOffset + SetBaudRate: {
            if (n != 5)
                break;
            const std::uint32_t got = (std::uint32_t(b[1]) << 24) | (std::uint32_t(b[2]) << 16)
                | (std::uint32_t(b[3]) << 8) | b[4];
            settle(Setting::BaudRate, got == BaudRate, std::to_string(BaudRate), std::to_string(got));
            break;
        }
        case ServerOffset + SetDataSize:
            if (one)
                settle(Setting::DataSize, value == DataBits, std::to_string(DataBits), std::to_string(value));
            break;
        case ServerOffset + SetParity:
            if (one)
                settle(Setting::Parity, value == ParityNone, parityText(ParityNone), parityText(value));
            break;
        case ServerOffset + SetStopSize:
            if (one)
                settle(Setting::StopSize, value == OneStopBit, stopText(OneStopBit), stopText(value));
            break;
        case ServerOffset + SetControl:
            // The same command also reads and sets break, DTR and RTS;
            // only a flow control answer (0..3, 17..19) speaks to ours.
            if (one && (value <= 3 || (value >= 17 && value <= 19)))
                settle(Setting::Control, value == NoFlowControl, controlText(NoFlowControl), controlText(value));
            break;
        case ServerOffset + PurgeData:
            if (one) {
                const bool wasHolding = holding();
                settle(Setting::Purge, value == PurgeBoth, "both buffers", "code " + std::to_string(value));
                if (wasHolding && !held.empty()) {
                    warn(std::to_string(held.size()) + " bytes the device sent before the purge were dropped");
                    purged += held.size();
                    held.clear();
                }
            }
            break;
        default:
            break; // line and modem state notices, flow suspends: nothing the link acts on
        }
    }

    void refuse()
    {
        if (agreed || refused)
            return;
        refused = true;
        warn("the server does not speak RFC 2217 (COM-PORT-OPTION refused): bytes go over plain telnet and the "
             "line settings are the server's");
        releaseHeld();
    }

    void ask(unsigned char command, unsigned char option)
    {
        Option& o = options[static_cast<std::size_t>(ownOption(option))];
        (command == TELNET_WILL ? o.usAsked : o.himAsked) = true;
        telnet_negotiate(telnet, command, option);
    }

    // libtelnet runs as a proxy: its own option handling (0.21) drops a
    // refusal of an option the client asked for without a word, and the
    // refusal of COM-PORT-OPTION is what tells a plain telnet server. So
    // the answers are given here, once per change of state, which keeps
    // two sides from answering each other forever.
    void negotiate(telnet_event_type_t type, unsigned char option)
    {
        const int i = ownOption(option);
        if (i < 0) {
            if (type == TELNET_EV_WILL)
                telnet_negotiate(telnet, TELNET_DONT, option);
            else if (type == TELNET_EV_DO)
                telnet_negotiate(telnet, TELNET_WONT, option);
            return;
        }
        Option& o = options[static_cast<std::size_t>(i)];
        const bool on = type == TELNET_EV_WILL || type == TELNET_EV_DO;
        const bool ourSide = type == TELNET_EV_DO || type == TELNET_EV_DONT;
        bool& state = ourSide ? o.us : o.him;
        bool& waiting = ourSide ? o.usAsked : o.himAsked;
        if (state != on && !waiting)
            telnet_negotiate(telnet, ourSide ? (on ? TELNET_WILL : TELNET_WONT) : (on ? TELNET_DO : TELNET_DONT), option);
        state = on;
        waiting = false;
        if (option != ComPortOption)
            return;
        if (ourSide && on && !refused) {
            agreed = true;
            askSettings();
        } else if (!on) {
            refuse();
        }
    }

    void event(telnet_event_t* ev)
    {
        switch (ev->type) {
        case TELNET_EV_DATA:
            deviceBytes(ev->data.buffer, ev->data.size);
            break;
        case TELNET_EV_SEND:
            if (toSend != nullptr) {
                const auto* b = reinterpret_cast<const std::uint8_t*>(ev->data.buffer);
                toSend->insert(toSend->end(), b, b + ev->data.size);
            }
            break;
        case TELNET_EV_WILL:
        case TELNET_EV_WONT:
        case TELNET_EV_DO:
        case TELNET_EV_DONT:
            negotiate(ev->type, ev->neg.telopt);
            break;
        case TELNET_EV_SUBNEGOTIATION:
            if (ev->sub.telopt == ComPortOption)
                comPort(reinterpret_cast<const unsigned char*>(ev->sub.buffer), ev->sub.size);
            break;
        case TELNET_EV_IAC:
            if (ev->iac.cmd == Se && droppingSubnegotiation)
                droppingSubnegotiation = false;
            break;
        case TELNET_EV_WARNING:
            // Told by its text: Debian's libtelnet 0.21 leaves errcode unset here.
            if (!droppingSubnegotiation && ev->error.msg != nullptr
                && std::strstr(ev->error.msg, "buffer size limit") != nullptr) {
                droppingSubnegotiation = true;
                warn("the server sent a subnegotiation longer than libtelnet holds; it was dropped");
            }
            break;
        case TELNET_EV_COMPRESS:
            if (ev->compress.state != 0 && failure.empty())
                failure = "the server began compressed data, which was never agreed";
            break;
        case TELNET_EV_ERROR:
            if (failure.empty())
                failure = std::string("the telnet stream cannot be read: ") + ev->error.msg;
            break;
        default:
            break;
        }
    }
};

Rfc2217Client::Rfc2217Client()
    : m_state(std::make_unique<State>())
{
}

Rfc2217Client::~Rfc2217Client() = default;

void Rfc2217Client::start(std::vector<std::uint8_t>& toSend)
{
    State& s = *m_state;
    s.reset();
    s.telnet = telnet_init(nullptr, State::onEvent, TELNET_FLAG_PROXY, &s);
    s.toSend = &toSend;
    if (s.telnet == nullptr) {
        s.failure = "the telnet layer could not start";
    } else {
        s.ask(TELNET_WILL, TELNET_TELOPT_BINARY);
        s.ask(TELNET_DO, TELNET_TELOPT_BINARY);
        s.ask(TELNET_WILL, TELNET_TELOPT_SGA);
        s.ask(TELNET_DO, TELNET_TELOPT_SGA);
        s.ask(TELNET_WILL, ComPortOption);
    }
    s.toSend = nullptr;
}

void Rfc2217Client::receive(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data,
                            std::vector<std::uint8_t>& toSend)
{
    State& s = *m_state;
    if (s.telnet == nullptr || !s.failure.empty() || count == 0)
        return;
    s.data = &data;
    s.toSend = &toSend;
    s.received += count;
    telnet_recv(s.telnet, reinterpret_cast<const char*>(bytes), count);
    s.data = nullptr;
    s.toSend = nullptr;
}

void Rfc2217Client::encode(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& toSend)
{
    State& s = *m_state;
    if (s.telnet == nullptr || count == 0)
        return;
    s.toSend = &toSend;
    telnet_send(s.telnet, reinterpret_cast<const char*>(bytes), count);
    s.toSend = nullptr;
}

void Rfc2217Client::giveUp(std::vector<std::uint8_t>& data)
{
    State& s = *m_state;
    if (s.ready())
        return;
    s.gaveUp = true;
    if (!s.agreed && !s.refused)
        s.warn("the server did not take COM-PORT-OPTION in time: the line settings are the server's");
    std::string unconfirmed;
    for (std::size_t i = 0; i < s.answers.size(); ++i) {
        if (s.answers[i] != Answer::Waiting)
            continue;
        s.answers[i] = Answer::Unanswered;
        if (s.asked)
            unconfirmed += (unconfirmed.empty() ? "" : ", ") + std::string(settingName(static_cast<Setting>(i)));
    }
    // Asked and not answered: the line may or may not be as asked.
    if (!unconfirmed.empty())
        s.warn("the server did not confirm the " + unconfirmed + " in time");
    s.data = &data;
    s.releaseHeld();
    s.data = nullptr;
}

Rfc2217Client::Phase Rfc2217Client::phase() const
{
    return m_state->ready() ? Phase::Ready : Phase::Negotiating;
}

bool Rfc2217Client::comPortAgreed() const
{
    return m_state->agreed;
}

bool Rfc2217Client::comPortRefused() const
{
    return m_state->refused;
}

Rfc2217Client::Answer Rfc2217Client::answer(Setting setting) const
{
    if (!m_state->asked && m_state->answers[indexOf(setting)] == Answer::Waiting && m_state->ready())
        return Answer::Unanswered;
    return m_state->answers[indexOf(setting)];
}

std::vector<std::string> Rfc2217Client::takeWarnings()
{
    std::vector<std::string> out;
    out.swap(m_state->warnings);
    return out;
}

const std::string& Rfc2217Client::failure() const
{
    return m_state->failure;
}

std::uint64_t Rfc2217Client::purgedBytes() const
{
    return m_state->purged;
}

std::uint64_t Rfc2217Client::commandBytes() const
{
    return m_state->received - m_state->delivered;
}

const char* Rfc2217Client::settingName(Setting setting)
{
    switch (setting) {
    case Setting::BaudRate: return "baud rate";
    case Setting::DataSize: return "data size";
    case Setting::Parity: return "parity";
    case Setting::StopSize: return "stop size";
    case Setting::Control: return "flow control";
    case Setting::Purge: return "purge";
    }
    return "setting";
}
