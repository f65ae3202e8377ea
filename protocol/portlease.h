#pragma once
// What marks a COMn link as the device simulator's own: a lease file
// ".COMn.korvane-sim" beside the link in the ports folder, holding the
// simulator's process id and the link's target, and locked (flock) by that
// simulator for as long as it runs. The kernel drops the lock when the
// process ends, however it ends, SIGKILL included, so a lease that nobody
// holds marks a link left behind. Such a link points at a pseudo-terminal
// that may by now be someone's shell, so the tool and the next simulator
// remove it. A link without a lease is never touched. POSIX only.

#include <string>

class PortLease
{
public:
    PortLease() = default;
    ~PortLease();
    PortLease(const PortLease&) = delete;
    PortLease& operator=(const PortLease&) = delete;

    // Takes the lease for folder/name, for a link to target. A link that a
    // simulator now gone left under that name is removed first. False, with
    // the reason in error, when a running simulator holds the name.
    bool take(const std::string& folder, const std::string& name, const std::string& target, std::string& error);
    // Records a new target for the link, keeping the one before until the
    // next change: the link is re-pointed after this.
    void retarget(const std::string& target);
    // Removes the lease file and drops the lock.
    void release();

    // Removes each link in folder whose simulator is gone, if it still
    // points where its lease says, and the lease with it.
    static void sweep(const std::string& folder);

private:
    std::string m_path;
    std::string m_target;
    int m_fd = -1;
};
