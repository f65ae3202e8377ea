#pragma once
// What --log and --pcap keep of a run: the window's traffic log rows of the
// good frames received and a pcapng capture of both directions, written by
// the shared writers (monitorlog.h, pcapngwriter.h) on threads of their own.

#include "framedecoder.h"

#include <cstdint>
#include <memory>
#include <string>

class Recording
{
public:
    Recording();
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Creates the files asked for (an empty path: none); false, with the
    // reason, when one cannot be written.
    bool open(const std::string& logPath, const std::string& pcapPath, const std::string& description,
              std::string& error);
    // What was read from the line (inbound) or written to it.
    void packet(bool inbound, std::int64_t wallNs, const std::uint8_t* bytes, std::size_t count);
    // A good frame received, numbered as the window numbers its lines.
    void row(const ReceivedFrame& frame, std::uint64_t index);
    // Hands on what was gathered; says on standard error, once, a file that
    // stopped being written.
    void flush();
    // Waits for the writers, at most until the monotonic deadline.
    void drain(std::int64_t deadlineNs);

private:
    struct Files;
    std::unique_ptr<Files> m_files;
};
