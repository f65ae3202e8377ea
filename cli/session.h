#pragma once
// The client's one loop, for all three commands: it reads the line,
// decodes it as the window does, answers each frame (as the window does, or
// as the caller set), records rows and capture, reports events, and serves
// requests: those of the session protocol on standard input, or the one
// frame of `send`. A line that goes away is reported and opened again every
// 200 ms; requests fail meanwhile.
//
// Nothing here waits for the device. Bytes for it are queued on the link,
// and what depends on them having gone out waits for that in the loop: a
// send's reply counts only once its frame has left, a raw write is
// answered once its bytes have left, and a frame's event says how it was
// answered only once the answer has left or failed (the event is held
// until then, and the events behind it with it, so that order stays).
//
// session.cpp: start, the loop, losing and regaining the line.
// sessionline.cpp: what the line brings: frames, replies, noise, telnet.
// sessionrequests.cpp: requests and their answers.
// sessionoutput.cpp: the lines written out, in order, and the answers' fate.

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
    // An answer byte on its way: queued when due (end set), resolved once
    // it has left or failed.
    struct Answer
    {
        std::uint64_t ticket = 0;
        std::uint8_t byte = 0;
        std::int64_t dueNs = 0;   // monotonic; when it may be queued
        std::uint64_t end = 0;    // where it ends in the link's stream; 0 while not queued
    };
    struct Received
    {
        ReceivedFrame frame;
        const char* answered; // "ack", "nak" or null
        std::uint64_t ticket; // its answer while on its way, else 0
        std::string answerError;
    };
    struct Pending
    {
        bool active = false;
        Request request;
        std::int64_t sentNs = 0;     // monotonic, before the write
        std::int64_t deadlineNs = 0; // monotonic
        std::uint64_t end = 0;       // send, raw: where the bytes end in the link's stream
        bool out = false;            // send, raw: they have left
        bool handed = false;         // send, raw: they have all been handed to the line
        std::string sent;            // hex
        std::vector<ReceivedFrame> came; // expect_frame: what came meanwhile (the first few)
        std::size_t cameCount = 0;
    };
    // A line to write out; held while the answer it tells of is on its way.
    struct OutLine
    {
        nlohmann::ordered_json line;
        std::uint64_t ticket = 0;
    };

    // session.cpp
    bool openFiles(std::string& error);
    // warnings: what the open has to warn of (an RFC 2217 server's other
    // settings), also said on standard error.
    void sayHello(std::uint64_t waiting, const std::vector<std::string>& warnings);
    // What the line warns of after the open, on standard error.
    void sayLaterWarnings();
    void loop();
    bool finished() const;
    int nextWakeMs(std::int64_t now) const;
    void serviceInput();
    void serviceTimers(std::int64_t now);
    void lose(const std::string& reason);
    void endRun(int status, const std::string& error);

    // sessionline.cpp
    // Reads what has arrived; returns the count of bytes read.
    std::uint64_t serviceLine(bool hungUp);
    // Adds the bytes to those held; false while they are held, or when a
    // telnet server has been recognised (and the run ended).
    bool sniffTelnet(const std::uint8_t* bytes, std::size_t count);
    // A lone first FF that no telnet verb followed in time goes on as read.
    void releaseSniffed();
    void answerFrame(const ReceivedFrame& frame, Received& kept);
    void frameReceived(const ReceivedFrame& frame) override;
    void replyReceived(std::uint8_t reply) override;
    void noiseReceived(std::uint8_t byte) override;
    void endNoise();

    // sessionrequests.cpp
    void takeRequest(const LineSplitter::Line& line);
    void serveRequests();
    void start(const Request& request);
    void startWrite(const Request& request);
    // The pending send's or raw write's bytes have left.
    void written();
    // Ends the pending send with the reply (or none, at its deadline).
    void finishSend(int reply);
    // Ends the pending expect_frame with the frame, or fails it with error.
    void finishExpect(const Received* found, const std::string& error);
    void failPending(const std::string& error);

    // sessionoutput.cpp
    // Moves the link's writes on and settles what depends on them.
    void pumpLine(std::int64_t now);
    void settleAnswers();
    void resolveAnswer(std::uint64_t ticket, const char* name, const std::string& error);
    void failAnswers(const std::string& error, bool queuedOnly);
    void answer(const nlohmann::ordered_json& id, nlohmann::ordered_json body, std::uint64_t ticket = 0);
    void fail(const nlohmann::ordered_json& id, const std::string& error);
    void event(const nlohmann::ordered_json& body, std::uint64_t ticket = 0);
    void emit(nlohmann::ordered_json line, std::uint64_t ticket = 0);
    void flush();
    // A "dropped" event when what the record lacks has grown (recording.h).
    void reportDropped(std::int64_t nowNs);

    const Options& m_options;
    Console& m_console;
    Link m_link;
    FrameDecoder m_decoder;
    LineSplitter m_splitter;
    Recording m_recording;

    AnswerMode m_answer;
    int m_answerDelayMs;
    std::deque<Answer> m_answers;   // on their way, oldest first
    std::uint64_t m_nextTicket = 1;
    std::deque<Received> m_frames;  // not yet taken by expect_frame
    // Read, not yet served, in order: a request, or the error a line that
    // was none is answered with.
    std::deque<std::pair<Request, std::string>> m_requests;
    Pending m_pending;
    std::deque<OutLine> m_out; // lines not yet written, in order

    std::string m_lostReason;
    std::int64_t m_retryNs = 0;
    std::int64_t m_readWallNs = 0; // when the bytes being decoded were read
    std::int64_t m_readMonoNs = 0;
    bool m_sendOutBeforeRead = false; // the pending send's frame was all handed on before this read
    std::int64_t m_endNs = -1;     // listen --duration
    long long m_events = 0;        // listen: events printed
    std::uint64_t m_goodFrames = 0; // the log's index, as the window counts its lines
    std::string m_noise;
    // socket://: the first bytes of a connection, until they show whether
    // a telnet server speaks there.
    bool m_sniffing = false;
    std::vector<std::uint8_t> m_sniffed;
    std::int64_t m_sniffWallNs = 0;
    std::int64_t m_sniffMonoNs = 0;
    bool m_sniffOutBeforeRead = false;
    bool m_inputEnded = false;
    bool m_outputGone = false;
    bool m_done = false;
    bool m_stopReading = false; // done: what the line still brings is not ours to report
    int m_status = 0;
};
