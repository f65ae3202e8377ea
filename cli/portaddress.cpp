#include "portaddress.h"

namespace {

constexpr char Scheme[] = "socket://";

} // namespace

bool PortAddress::parse(const std::string& text, PortAddress& out, std::string& error)
{
    out = PortAddress();
    out.text = text;
    if (text.empty()) {
        error = "--port needs a port";
        return false;
    }
    if (text.rfind(Scheme, 0) != 0)
        return true;
    out.kind = Kind::Tcp;
    const std::string address = text.substr(sizeof Scheme - 1);
    const std::size_t colon = address.rfind(':');
    const std::string port = colon == std::string::npos ? std::string() : address.substr(colon + 1);
    unsigned long number = 0;
    for (char c : port) {
        number = c >= '0' && c <= '9' && number < 65536 ? number * 10 + static_cast<unsigned long>(c - '0') : 65536;
    }
    if (colon == 0 || colon == std::string::npos || port.empty() || number == 0 || number > 65535) {
        error = "\"" + text + "\" is not socket://HOST:PORT";
        return false;
    }
    out.host = address.substr(0, colon);
    out.port = static_cast<unsigned short>(number);
    return true;
}
