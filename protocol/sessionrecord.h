#pragma once
// The window's full record of a session, beside its traffic log: a pcapng
// capture (Korvane_data.csv -> Korvane_data.pcapng) of everything the
// window saw, sent and received, good and bad, each frame one packet with
// its direction, each reply byte a packet of its own the other way, as the
// dissector reads them; a good received frame carries its log index as a
// packet comment "[n]". The history reads it back with the verdicts.
// Written through the shared pcapng writer and its spool: the window's
// thread never waits for the disk. A write that fails (a full disk) ends
// the record; flush() says so once and the window goes on.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class PcapngWriter;

class SessionRecord
{
public:
    SessionRecord();
    ~SessionRecord();
    SessionRecord(const SessionRecord&) = delete;
    SessionRecord& operator=(const SessionRecord&) = delete;

    // The record's name for a log: its name with ".pcapng" for ".csv".
    static std::string pathBeside(const std::string& logPath);
    // Creates the file (emptying an old one); description names the link.
    bool open(const std::string& path, const std::string& description, std::string& error);
    bool active() const;
    // A frame written to the link (start byte to checksum).
    void sent(std::int64_t wallNs, const std::uint8_t* frame, std::size_t count);
    // A frame decoded from the link, good or bad; logIndex is its "[n]" in
    // the traffic log, 0 for a frame not logged.
    void received(std::int64_t wallNs, const std::uint8_t* frame, std::size_t count, std::uint64_t logIndex);
    // The one-byte reply the window sent for a received frame, or the one
    // the device sent for a sent frame.
    void replySent(std::int64_t wallNs, std::uint8_t reply);
    void replyReceived(std::int64_t wallNs, std::uint8_t reply);
    // Hands what was gathered to the writer; call it on the poll tick. False
    // once, when writing failed: why() says why, to be shown once.
    bool flush();
    const std::string& why() const;
    const std::string& path() const;
    // Waits for the writer, at most until the monotonic deadline.
    void drain(std::int64_t deadlineNs);

private:
    std::unique_ptr<PcapngWriter> m_writer;
};
