// The log and capture of a run, opened together.
#include "recordfiles.h"

namespace {

bool oneFile(const std::string& pcap, const std::string& log, std::string& error)
{
    if (pcap.empty() || log.empty() || (pcap != log && !AppendFile::sameFile(pcap, log)))
        return false;
    error = "--pcap " + pcap + " and --log " + log + " are one file; give each its own";
    return true;
}

} // namespace

bool RecordFiles::open(const std::string& logPath, bool directions, const std::string& pcapPath,
                       const Source& source, std::string& error)
{
    // Asked before the capture empties a file of that name, and again once
    // it is there: two names of a file not yet made meet only then.
    if (oneFile(pcapPath, logPath, error))
        return false;
    if (!pcapPath.empty() && !pcap.open(pcapPath, source.description, error, source.application, source.interfaceName))
        return false;
    if (!oneFile(pcapPath, logPath, error) && (logPath.empty() || log.open(logPath, error, directions)))
        return true;
    pcap.discard();
    return false;
}

std::vector<std::string> RecordFiles::flush(const std::string& goesOn)
{
    std::vector<std::string> news;
    if (!pcap.flush())
        news.push_back(pcap.path() + ": " + pcap.why() + "; the capture stops here, " + goesOn);
    if (!log.flush())
        news.push_back(log.path() + ": " + log.why() + "; the log stops here, " + goesOn);
    if (const std::uint64_t dropped = pcap.droppedUntilResumed())
        news.push_back(pcap.path() + ": " + std::to_string(dropped) + " packets were dropped while the capture was not read");
    if (const std::uint64_t dropped = log.droppedUntilResumed())
        news.push_back(log.path() + ": " + std::to_string(dropped) + " rows were dropped while the log could not keep up");
    return news;
}

RecordFiles::Lacking RecordFiles::lacking() const
{
    const auto missing = [](std::uint64_t offered, std::uint64_t written) { return offered > written ? offered - written : 0; };
    return {missing(log.offered(), log.rows()), missing(pcap.offered(), pcap.packets())};
}
