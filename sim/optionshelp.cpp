// The text of korvane-sim --help.
#include "options.h"

namespace OptionParser {

std::string helpText()
{
    return R"(Usage: korvane-sim (--serial COMn | --device PATH | --tcp [ADDR:]PORT) [options]
       korvane-sim --monitor A B [--pcap FILE] [--log FILE] [--quiet]

Plays the device for the Korvane tool: answers every link frame it receives
with FF (checksum good) or F0 (bad), prints what it receives, and sends frames
of its own or replays a traffic log. Or sits between a host and a device as a
line monitor (--monitor).

Link:
  --serial COMn        make a raw pseudo-terminal and link its slave as
                       $XDG_CONFIG_HOME/korvane/ports/COMn (default
                       ~/.config/korvane/ports/COMn). An existing name is never
                       replaced; the link is removed at exit. A lease file
                       .COMn.korvane-sim, locked while the simulator runs,
                       marks the link as its own, so that the tool and the
                       next simulator remove it if the simulator was killed.
  --device PATH        play the device on a real serial line, e.g. a second
                       USB adapter wired null-modem to the tool's: 38400 baud
                       8N1, raw, opened exclusively. A path that is not a
                       terminal, is held by another program or cannot be
                       opened is refused (exit status 2). If the line goes
                       away, "lost PATH: why" is printed once, it is tried
                       again every second and "back PATH" says it returned.
  --tcp [ADDR:]PORT    listen on IPv4 ADDR (default 0.0.0.0), PORT (default
                       4500; 0 picks a free port); one connection at a time.

Monitor:
  --monitor A B        pass every byte between lines A and B at once and
                       unchanged, and print what each side says, decoded as
                       the tool decodes it. Each line is COMn (a pseudo-
                       terminal linked as with --serial, for a host such as
                       the tool) or the PATH of a real serial line (opened
                       and retried as with --device). Two names for one
                       device, or a line held by another program, are
                       refused (exit status 2). While a line is away, or no
                       program has COMn open, bytes for it are dropped and
                       counted. Standard input takes "stats" and "quit".
  --pcap FILE          also write a pcapng capture: one packet per read, its
                       direction in the packet flags (A>B sent, B>A
                       received), link type USER0 (147), which the dissector
                       wireshark/korvane.lua decodes. Written within 20 ms of
                       each read, in whole blocks; a capture that cannot be
                       written is refused at start, and one that fails later
                       (a full disk) stops with one message while the
                       monitoring goes on.
  --log FILE           also write the good frames of both directions as rows
                       of the tool's traffic log, with a last column "dir"
                       (A>B or B>A): 12:34:56,789,2E,01,02,0A,FF,F3,-,[1],A>B
  Only --quiet (no event lines) and --exit-on-eof go with --monitor.

Replay:
  --replay FILE        send the frames of a traffic log (Korvane_data.csv)
                       again, each exactly as its row logged it (start byte to
                       checksum), at the time offsets between the rows; a log
                       that runs past midnight keeps its order. The header is
                       skipped; a row that does not parse is reported with its
                       line number and skipped. Ends like --count (see
                       --linger, --stay); does not mix with --frame and the
                       other stream options.
  --speed F            play the log F times as fast (default 1), F from 0.001
                       to 1000000; 0 sends the frames as fast as the link
                       takes them.

Frames to send (each "TT DD DD ..": type, then data bytes, in hex; len and
checksum are computed):
  --frame "TT DD.."    a frame to send; repeat for several, sent in turn.
                       Without --rate/--count/--duration each is sent once.
                       With them but without --frame: "01 00 00 00 00".
  --rate FPS           send at FPS frames per second (absolute deadlines on
                       the monotonic clock; up to 1 s of lateness is caught
                       up, a longer stall moves the timetable, no frame is
                       skipped). Without it frames go as fast as the link
                       takes them.
  --count N            send N frames in all, cycling through the --frame list.
  --duration S         stop sending after S seconds.
  --bad-share F        corrupt the checksum of this share of frames (0..1),
                       spread evenly: exactly floor(N*F) of N frames.
  --noise-share F      follow this share of frames with a run of noise bytes
                       (never 2E, FF or F0).
  --noise-max N        noise runs are 1..N bytes long (default 8).
  --seed N             seed for the noise bytes (default 1).
  --number             data bytes 0..3 of each frame carry a 32-bit big-endian
                       sequence number from 0 (data padded to 4 bytes).
  --timestamps FILE    write "seq wall_ns" per sent frame: its sequence number
                       and CLOCK_REALTIME in ns just after its last byte was
                       written.
  --hold               wait for "start" on standard input before sending.
  With --count or --duration the program exits once all is written and
  --linger MS (default 200) has passed for replies; --stay keeps it running.
  The stream (and a replay) runs only while the tool is there: in TCP mode
  while a client is connected, in serial mode while the tool has COMn open
  (seen through inotify on Linux; elsewhere always), in device mode while the
  line is open. It pauses otherwise and resumes with the next
  sequence number. Commands on standard input are written at once in serial
  mode (the terminal keeps them for the tool) and need a connection in TCP.

Behaviour:
  --no-reply           do not answer received frames.
  --quiet              do not print received frames and reply bytes.
  --exit-on-eof        end of standard input ends the program (as "quit").
  -h, --help           this text.

Standard input, one command per line (hex bytes separated by blanks):
  send TT DD..         send a frame with a good checksum
  bad TT DD..          send a frame with a wrong checksum
  raw XX XX..          send exactly these bytes (split frames, noise)
  ack | nak            send one reply byte FF | F0
  close                TCP: close the connection (listening goes on).
                       Serial: hang up: the pseudo-terminal is closed (the tool
                       reads end-of-file/EIO) and a new one is linked under the
                       same name; prints "hangup" and a new ready line.
                       Device: close the line and open it again; prints
                       "hangup" and the ready line.
  rst                  TCP: close the connection with an RST. Serial: as close.
  start                begin sending the --frame stream (after --hold)
  stats                print the stats line now
  quit                 write what is pending, print the stats line and exit

Output (standard output, one line per event):
  ready COMn /dev/pts/N      ready ADDR:PORT      ready PATH (device)
  connected                  disconnected    (TCP client; serial: COMn opened/closed;
                                              device: line open/lost)
  lost PATH: why             back PATH       (device went away / is back)
  hangup                                     (serial close, before the new ready line)
  hh:mm:ss.zzz  2E TT LL DD.. CS [n]      a received frame; " bad" appended
                             when its checksum is wrong; n counts all frames
  reply FF                   reply F0     a reply byte received between frames
  stats sent=N sent_bad=B noise_bytes=X rx_good=G rx_bad=K acks=A naks=K2 bytes_in=I bytes_out=O
                             with --replay also: replay_rows=R skipped_rows=S

Monitor output (standard output, one line per event):
  ready A=COM4 /dev/pts/N B=/dev/ttyUSB0
  connected COM4             disconnected COM4   (a program opened/closed COMn)
  lost PATH: why             back PATH
  hh:mm:ss.zzz A>B  2E TT LL DD.. CS [n]   a frame; " bad" appended when its
                             checksum is wrong; n counts the frames of that
                             direction; after a len above 50 the 51st data
                             byte is read as the checksum, as the tool reads it
  hh:mm:ss.zzz B>A  reply FF                a reply byte between frames
  hh:mm:ss.zzz A>B  noise N: XX XX ..       other bytes between frames (16 shown)
  stats ab_frames=F ab_bad=B ab_replies=R ab_noise_bytes=X ab_bytes=I ab_dropped=D
        ba_frames=.. (the same for B>A) pcap_packets=P
Example: the tool on COM4 and a device simulator at the far end of a
null-modem cable (here two pseudo-terminals made by socat), watched:
  socat pty,raw,echo=0,link=/tmp/line pty,raw,echo=0,link=/tmp/device &
  korvane-sim --device /tmp/device &
  korvane-sim --monitor COM4 /tmp/line --pcap cap.pcapng --log monitor.csv
  korvane                    (port 4, then open)
  ...
  12:34:56.352 B>A  2E 01 02 0A FF F3 [1]
  12:34:56.378 A>B  reply FF
  tshark -r cap.pcapng -X lua_script:wireshark/korvane.lua
      1 0.000000000  B → A  Korvane 6 Frame type 0x01 len 2 good
      2 0.025743499  A → B  Korvane 1 ACK
Exit status: 0 after quit, a signal (SIGTERM/SIGINT/SIGHUP) or a finished
run; 1 on a failure while running; 2 on a usage error, a taken port name, a
device that cannot be had, a log that cannot be read or a capture or
monitor log that cannot be written.
)";
}

} // namespace OptionParser
