// Where the system numbers its serial ports itself, as Windows does: "COMn"
// is the system's own name, and nothing is scanned or written.
#include "portnumbering.h"

void PortNumbering::assign() {}

std::string PortNumbering::openPath(int number)
{
    return device(number);
}

std::string PortNumbering::device(int number)
{
    return "COM" + std::to_string(number);
}

std::string PortNumbering::portsFolder()
{
    return {};
}
