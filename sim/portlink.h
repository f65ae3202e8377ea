#pragma once
// The name under which the tool finds the simulated serial port: a symbolic
// link $XDG_CONFIG_HOME/korvane/ports/COMn (default ~/.config/...) pointing at
// the pseudo-terminal's slave. The simulator only ever touches a link that it
// made itself and that still points where it made it point, and holds a
// lease on it (PortLease) that marks it as a simulator's for as long as it
// runs: a link whose simulator was killed is swept by the tool and by the
// next simulator.

#include "portlease.h"

#include <string>

class PortLink
{
public:
    PortLink() = default;
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    ~PortLink();

    // A port name must be a plain file name.
    static bool validName(const std::string& name);

    // Makes the folders and the link; fails, touching nothing, when the name
    // exists (a link that a killed simulator left is swept first).
    bool create(const std::string& name, const std::string& target, std::string& error);
    // Points our link at a new target, atomically, if it is still ours.
    bool retarget(const std::string& target, std::string& error);
    // Removes the link if it is still ours.
    void remove();

    const std::string& path() const { return m_path; }

private:
    bool stillOurs() const;

    std::string m_path;
    std::string m_target;
    PortLease m_lease;
};
