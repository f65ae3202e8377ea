// Windows numbers its serial ports itself: "COMn" is the system's own name.
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

std::string PortNumbering::describe(int)
{
    return {};
}

std::string PortNumbering::portsFolder()
{
    return {};
}
