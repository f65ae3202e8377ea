#include "portaddress.h"

#include "portnumbering.h"

namespace {

struct Scheme
{
    const char* prefix;
    PortAddress::Kind kind;
};
constexpr Scheme Schemes[] = {{"socket://", PortAddress::Kind::Tcp}, {"rfc2217://", PortAddress::Kind::Rfc2217}};

const Scheme* schemeOf(const std::string& text)
{
    for (const Scheme& s : Schemes) {
        if (text.rfind(s.prefix, 0) == 0)
            return &s;
    }
    return nullptr;
}

bool parseNetwork(const std::string& text, const Scheme& scheme, PortAddress& out, std::string& error)
{
    out.kind = scheme.kind;
#ifndef KORVANE_HAVE_RFC2217
    if (out.kind == PortAddress::Kind::Rfc2217) {
        error = "\"" + text + "\": this build has no RFC 2217; use socket:// with a raw TCP port";
        return false;
    }
#endif
    const std::string prefix = scheme.prefix;
    const std::string address = text.substr(prefix.size());
    const std::size_t colon = address.rfind(':');
    const std::string port = colon == std::string::npos ? std::string() : address.substr(colon + 1);
    unsigned long number = 0;
    for (char c : port) {
        number = c >= '0' && c <= '9' && number < 65536 ? number * 10 + static_cast<unsigned long>(c - '0') : 65536;
    }
    if (colon == 0 || colon == std::string::npos || port.empty() || number == 0 || number > 65535) {
        error = "\"" + text + "\" is not " + prefix + "HOST:PORT";
        return false;
    }
    out.host = address.substr(0, colon);
    out.port = static_cast<unsigned short>(number);
    return true;
}

// COMn in any case is the port the window numbers n, and only 1 to 9 are
// numbered; anything else that is no COM name is a device path. A number
// mapped to an address is that address.
bool parseCom(PortAddress& out, std::string& error)
{
    const std::string& text = out.text;
    if (text.size() < 4 || (text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm'
        || text.find_first_not_of("0123456789", 3) != std::string::npos)
        return true;
    if (text.size() != 4 || text[3] == '0') {
        error = "\"" + text + "\": ports are numbered COM1 to COM9"
#ifdef _WIN32
                                    "; name a higher one as \\\\.\\" + text
#endif
            ;
        return false;
    }
    out.text = "COM" + text.substr(3);
    out.mapped = PortNumbering::address(text[3] - '0');
    if (out.mapped.empty())
        return true;
    if (!parseNetwork(out.mapped, *schemeOf(out.mapped), out, error)) {
        error = out.text + " stands for " + error;
        return false;
    }
    return true;
}

} // namespace

bool PortAddress::parse(const std::string& text, PortAddress& out, std::string& error)
{
    out = PortAddress();
    out.text = text;
    if (text.empty()) {
        error = "--port needs a port";
        return false;
    }
    const Scheme* scheme = schemeOf(text);
    if (scheme == nullptr)
        return parseCom(out, error);
    return parseNetwork(text, *scheme, out, error);
}

bool PortAddress::isAddress(const std::string& text)
{
    return schemeOf(text) != nullptr;
}
