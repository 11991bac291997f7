#include "tools/readerctl/help.h"

namespace readerctl {

const char* HelpText() {
  return R"(usage: readerctl [options] demo
       readerctl [options] run FILE|-
       readerctl --help

Drives the smart-card reader driver on the built-in emulated reader, playing
the roles around it: the I/O manager that loads it, the Plug and Play and
power managers, and the smart-card resource manager.

Modes
  demo          A narrated session: the reader starts, reports its firmware and
                identity, a card goes in and the tracking request sees it, cold
                reset and ATR, T=1 selected, card commands with a chained 1 KiB
                exchange, the vendor version query, system sleep and resume,
                eject and removal; then a summary.
                  readerctl demo --time simulated
  run FILE|-    Runs a script, one command a line, from a file or (-) from
                standard input. Each command prints one result line on standard
                output:  <command as written> -> <STATUS_NAME> 0x<status> <data>
                for a command that sends a request (data: the bytes returned,
                upper-case hex), or  <command> -> OK  for one that sends none.
                The first wrong line (unknown command, malformed argument, a
                command out of order) stops the script, as sh -e would, with a
                one-line error naming the line on standard error and exit
                status 1.
                  readerctl --time simulated run session.txt

Options
  --time simulated|real   Simulated time runs every delay at once and gives the
                          same output on every run; real time (the default) runs
                          on the wall clock.
  --trace                 Writes to standard error every reader frame as it
                          crosses the bulk pipes (time, direction, meaning, bytes),
                          the other USB requests, every request the host sends
                          and every event-log entry the driver writes.
  --pcap FILE             Writes every USB request the driver sends to the reader
                          and its completion to FILE, a pcapng capture that
                          Wireshark and tshark read (USBPcap link type); with
                          tools/wireshark/reader.lua they decode the frames.
  --model kt2210|lm5520   demo: the deliverable whose behaviour to show. The
                          driver is built into readerctl, so it is the build's
                          own (Kt2210p in the x86-64 build, Lm5520p in the 32-bit
                          one); asking for the other is refused, naming the build
                          to use.
  --firmware M.mm         demo: the emulated reader's firmware (default 2.27;
                          below 2.01 the reader speaks the old frame generation).

Script commands ('#' starts a comment; numbers are decimal or 0x hex; HEX is
bytes as hex digits without separators)
  reader [firmware=M.mm] [model=kt2210|lm5520] [card=t0|t1|t0t1|none|vicc] [atr=HEX] [port=N]
        The reader the next plug puts on the bus (before the first plug).
        card=vicc (real time only): vsmartcard's vicc connects to 127.0.0.1 at
        port= (default 35963) and is the card while it stays connected.
          reader firmware=1.50 card=t1
  reader usb[=VVVV:PPPP[@BUS.DEV]]
        The next plug takes a physical reader from the machine's USB bus (real
        time only; bare usb: the emulated reader's ids 5A54:2210).
                                                       reader usb=5A54:2210@1.4
  plug  AddDevice, then IRP_MN_START_DEVICE (a failed start is followed by the
        removal).                                      plug
  card insert [t0|t1|t0t1] [atr=HEX] [after=MS]
  card remove [after=MS]
        A card goes in or out, now or MS milliseconds later while the script goes
        on (so that a following track sees it). Without a reader on the bus, the
        card is the one the next plug finds.          card insert t1 after=300
  card fault KIND [at=N] [count=N]
        The emulated T=1 card misbehaves: at=N aims at its answer to the Nth block
        it receives from now (default: the next), count=N at as many in a row.
          bad-lrc             its answer goes out with a wrong check byte
          wrong-sequence      its next I-block carries the wrong N(S)
          r-block CODE        an R-block with error code CODE (0..3) instead
          s-request resynch|ifs|abort|wtx [inf=N]
                              an S-request instead (IFS default 254, WTX 1)
          silence             no answer at all (the block is dropped)
          garbage HEX         these bytes instead
          corrupt-received    the block arrives with a wrong check byte, and
                              the card's own recovery answers it
                                                       card fault silence at=2
  reader fault KIND [at=N] [count=N]
        The emulated reader misbehaves on the Nth request frame from now.
          split SIZES         the reply in IN transfers of these sizes (3-4-1)
          delay MS            the reply MS milliseconds late
          withhold            no reply until the IN pipe is aborted
          bad-check-byte      the reply's last byte is wrong
          error-reply         the error reply; the request is not carried out
          oversized [N]       an old-generation header announcing N bytes
          truncate N          only the first N bytes of the reply
          no-reply            the request is swallowed
          usb-stall [out|in]  the Nth bulk transfer that way (default out)
          usb-error [out|in]  fails: stalled, or the device not responding
                                                       reader fault split 2-1
  open [NAME]
        Opens a handle through the reader's interface; NAME (after a backslash)
        names a pipe by its number.                   open   |   open PIPE01
  close Cleanup and close of the handle opened last.  close
  power cold|warm|down                                 power cold
        IOCTL_SMARTCARD_POWER; a reset returns the ATR.
  protocol t0|t1|t0t1|raw                              protocol t1
        IOCTL_SMARTCARD_SET_PROTOCOL; returns the selected protocol.
  apdu HEX
        IOCTL_SMARTCARD_TRANSMIT with the header of the protocol selected last;
        returns the header and the card's response.   apdu 00A4000C023F00
  track present|absent [timeout=MS]
        IOCTL_SMARTCARD_IS_PRESENT or _IS_ABSENT; waits until it completes, or
        cancels it after MS (default 60000) and shows STATUS_CANCELLED.
                                                       track present timeout=2000
  state IOCTL_SMARTCARD_GET_STATE.                     state
  attr NAME
        IOCTL_SMARTCARD_GET_ATTRIBUTE by the tag's name, with or without SCARD_ATTR_,
        or its number.                                 attr VENDOR_IFD_TYPE
  eject IOCTL_SMARTCARD_EJECT.                         eject
  vendor device-descriptor|config-descriptor|reset-port|version|eject|b0 XX|d8 XX|pass HEX
        The driver's own control codes.               vendor version
                                                       vendor pass 12000201C0D1
  ioctl CODE [HEX] [timeout=MS]
        Any control code, by number or IOCTL_ name, with HEX as its input,
        sent as written; cancelled after MS (60000) if it still waits.
                                                       ioctl 0x310040
  sleep [s1|s2|s3|s4|s5]
        System sleep (default S3): IRP_MN_QUERY_POWER, then IRP_MN_SET_POWER.
                                                       sleep s3
  resume                                               resume
  stop  IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE (or _CANCEL_STOP_ when
        the query fails).                              stop
  start IRP_MN_START_DEVICE for a stopped device.      start
  surprise-remove
        The reader leaves the bus: IRP_MN_SURPRISE_REMOVAL; IRP_MN_REMOVE_DEVICE
        follows when the last handle is closed.       surprise-remove
  remove
        Open handles are closed, then IRP_MN_QUERY_REMOVE_DEVICE and
        IRP_MN_REMOVE_DEVICE (or _CANCEL_REMOVE_ when the query fails); after a
        surprise removal, the removal alone.           remove
  pnp start|query-stop|cancel-stop|stop|query-remove|cancel-remove|remove|surprise-removal|MINOR
        One Plug and Play request alone, in any state. pnp query-remove
  wait MS
        Lets MS milliseconds pass.                     wait 500
  Every command that sends a control request also takes out=N, the room given
  to the answer (apdu and pass: 66560; ioctl: 256).    state out=2

Exit status: 0 when the whole demo or script ran, 1 when it stopped on an error,
2 for a wrong command line.
)";
}

}  // namespace readerctl
