#pragma once
// The client's one loop, for all three commands: it reads the line,
// decodes it as the window does, answers each frame (as the window does, or
// as the caller set), records rows and capture, reports events, and serves
// requests: those of the session protocol on standard input, or the one
// frame of `send`. A line that goes away is reported and opened again every
// 200 ms; requests fail meanwhile.

#include "console.h"
#include "framedecoder.h"
#include "link.h"
#include "linesplitter.h"
#include "options.h"
#include "recording.h"
#include "request.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class Session : private FrameSink
{
public:
    Session(const Options& options, Console& console);

    // Runs the command; returns the exit status.
    int run();

private:
    struct Received
    {
        ReceivedFrame frame;
        const char* answered; // "ack", "nak" or null
    };
    struct Pending
    {
        bool active = false;
        Request request;
        std::int64_t sentNs = 0;     // monotonic, before the write
        std::int64_t deadlineNs = 0; // monotonic
        std::string sent;            // hex
    };

    bool openFiles(std::string& error);
    void loop();
    int nextWakeMs(std::int64_t now) const;
    void serviceLine(bool hungUp);
    void serviceInput();
    void serviceTimers(std::int64_t now);
    void lose(const std::string& reason);
    void takeRequest(const LineSplitter::Line& line);
    void start(const Request& request);
    bool write(const std::vector<std::uint8_t>& bytes, std::string& reason);
    // Ends the pending send with the reply (or none, at its deadline).
    void finishSend(int reply);
    // Ends the pending expect_frame with the frame, or fails it with error.
    void finishExpect(const ReceivedFrame* frame, const char* answered, const std::string& error);
    void answer(const nlohmann::ordered_json& id, nlohmann::ordered_json body);
    void fail(const nlohmann::ordered_json& id, const std::string& error);
    void event(const nlohmann::ordered_json& body);
    void emit(const nlohmann::ordered_json& line);
    void flush();
    void endNoise();

    void frameReceived(const ReceivedFrame& frame) override;
    void replyReceived(std::uint8_t reply) override;
    void noiseReceived(std::uint8_t byte) override;

    const Options& m_options;
    Console& m_console;
    Link m_link;
    FrameDecoder m_decoder;
    LineSplitter m_splitter;
    Recording m_recording;

    AnswerMode m_answer;
    int m_answerDelayMs;
    std::deque<std::pair<std::int64_t, std::uint8_t>> m_delayed; // monotonic due time, byte
    std::deque<Received> m_frames;  // not yet taken by expect_frame
    // Read, not yet served, in order: a request, or the error a line that
    // was none is answered with.
    std::deque<std::pair<Request, std::string>> m_requests;
    Pending m_pending;

    std::string m_out; // lines not yet written
    std::string m_lostReason;
    std::int64_t m_retryNs = 0;
    std::int64_t m_readWallNs = 0; // when the bytes being decoded were read
    std::int64_t m_readMonoNs = 0;
    const char* m_lastAnswered = nullptr; // what the last frame got
    std::int64_t m_endNs = -1;     // listen --duration
    long long m_events = 0;        // listen: events printed
    std::uint64_t m_goodFrames = 0; // the log's index, as the window counts its lines
    std::string m_noise;
    bool m_inputEnded = false;
    bool m_outputGone = false;
    bool m_done = false;
    bool m_linkFailed = false; // send: the line was lost while waiting
    int m_status = 0;
};
