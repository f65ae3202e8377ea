// The text of korvane-sim --help.
#include "options.h"

namespace OptionParser {

std::string helpText()
{
    return R"(Usage: korvane-sim (--serial COMn | --device PATH | --tcp [ADDR:]PORT) [options]

Plays the device for the Korvane tool: answers every link frame it receives
with FF (checksum good) or F0 (bad), prints what it receives, and sends frames
of its own or replays a traffic log.

Link:
  --serial COMn        make a raw pseudo-terminal and link its slave as
                       $XDG_CONFIG_HOME/korvane/ports/COMn (default
                       ~/.config/korvane/ports/COMn). An existing name is never
                       replaced; the link is removed at exit.
  --device PATH        play the device on a real serial line, e.g. a second
                       USB adapter wired null-modem to the tool's: 38400 baud
                       8N1, raw, opened exclusively. A path that is not a
                       terminal, is held by another program or cannot be
                       opened is refused (exit status 2). If the line goes
                       away, "lost PATH: why" is printed once, it is tried
                       again every second and "back PATH" says it returned.
  --tcp [ADDR:]PORT    listen on IPv4 ADDR (default 0.0.0.0), PORT (default
                       4500; 0 picks a free port); one connection at a time.

Replay:
  --replay FILE        send the frames of a traffic log (Korvane_data.csv)
                       again, each exactly as its row logged it (start byte to
                       checksum), at the time offsets between the rows; a log
                       that runs past midnight keeps its order. The header is
                       skipped; a row that does not parse is reported with its
                       line number and skipped. Ends like --count (see
                       --linger, --stay); does not mix with --frame and the
                       other stream options.
  --speed F            play the log F times as fast (default 1); 0 sends the
                       frames as fast as the link takes them.

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
Exit status: 0 after quit, a signal (SIGTERM/SIGINT/SIGHUP) or a finished
run; 1 on a failure while running; 2 on a usage error, a taken port name, a
device that cannot be had or a log that cannot be read.
)";
}

} // namespace OptionParser
