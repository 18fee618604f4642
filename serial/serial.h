// The port layer: serial devices and TCP endpoints of network serial servers
// behind one integer port handle.
//
// Principles of operation. openPort names a port by an endpoint string: a
// name that begins with "tcp" is "tcp:HOST:PORT" (split at ':' as strtok
// does, so runs of colons count as one and fields after the port are
// ignored); any other name is the path of a serial device, which is set up
// for raw transfer at the given line settings. The handle is the port's
// descriptor. The layer keeps one record per open port in the list `ports`;
// every other operation finds its port there by handle and refuses, with a
// message and -1, a handle that is not in the list.
//
// A command is sent whole with sendStr (drained on a serial line, then a
// 10 ms pause); a reply is taken with recvStr, which waits up to 2 seconds
// for its first byte and then takes the pieces that follow until the line
// has been quiet for RECEIVE_QUIET_GAP_MS, as a serial line or a network
// serial server delivers a reply in pieces. flushRecv discards input left
// over from an earlier exchange, so the next reply is read in step with its
// request. A port may carry a transcript file that records every string sent
// on it with its time.
//
// Links that drop. A link is lost when the peer has closed or reset the
// connection, when it has timed out (a connect gives up after 2 s, and a host
// that vanishes is found out within about 30 s by keepalive and a bound on
// unacknowledged data), or when a serial device has gone (EIO, ENXIO,
// ENODEV, as from an unplugged USB adapter). No input within a receive's
// wait is a quiet line, not a lost link. The operations find a loss as they
// go, and sendStr looks for a waiting hang-up before it writes; the link's
// descriptor is then closed, while the handle stays reserved, and every
// transfer on the port is refused until reopenPort. linkLost asks the state,
// reopenPort opens the same endpoint with the same settings under the same
// handle; when to reopen, and what to tell anyone, is the caller's choice.
// A reopen looks a host name up again for about a second at most; when the
// lookup fails or runs past that, it connects to the address the port last
// reached, and takeLookupNote says so once per outage. A name that moves is
// followed as soon as its lookup answers: a lookup that answered after its
// reopen gave up gives the next reopen its address, if asked within a minute.
//
// Diagnostics go to the standard error stream after the location prefix
// "FILE:LINE:", FILE being the layer's source file that reports (such as
// "line_transfer.cpp"). All operations block and must run on one thread.
#pragma once

#include <stdint.h>

// One open port. The handle of a port is its descriptor `fd`.
struct PortRecord {
    uint8_t isSocket;  // 1 for a TCP connection, 0 for a serial device
    int fd;            // the port's descriptor; 0 until the open succeeds
    int logFd;         // descriptor of the port's transcript file, 0 for none
    PortRecord *prev;
    PortRecord *next;
    // What the port was opened with, for reopenPort.
    char *name;
    int baud, dataBits, stopBits;
    char parity[8];
    uint8_t lost;   // 1 once the link has been found lost, until it is reopened
    int lossErrno;  // why it was lost: the system error, 0 for the peer's close
    // A network port's address (network byte order) at its last connect, 0
    // for none; the resolver's code (EAI_...) when the last reopen's lookup
    // failed, else 0; and 1 once takeLookupNote has said so in this outage.
    uint32_t lastAddress;
    int lookupError;
    uint8_t lookupNoted;
};

// The first record of the list of open ports, in the order they were opened;
// null when no port is open.
extern PortRecord *ports;

// Opens the port named `name` and stores its handle in *handle (0 on any
// failure). `baud`, `dataBits` (5 to 8), `stopBits` (2 for two, else one)
// and `parity` ("none", "even" or "odd", any case) apply to a serial device
// only. Returns the handle on success; -1 on failure (with errno saying why
// for a network endpoint), or the value that open() gave when a device could
// not be opened at all.
int openPort(const char *name, int *handle, int baud, int dataBits, int stopBits,
             const char *parity);

// Connects a TCP socket to `host` (dotted decimal when it starts with a digit,
// else its IPv4 address looked up by name, for as long as the resolver takes)
// at `tcpPort` (low 16 bits), with a 2-second receive time-out. `protocol`
// is not used. Returns the socket, never descriptor 0; or -1 with errno
// saying why (ENXIO or EAGAIN for a host that does not resolve, EDESTADDRREQ
// for no host).
int connectAtPort(const char *protocol, const char *host, int tcpPort);

// Closes the port, takes its record out of the list and closes its transcript.
// Returns the result of close() on the port's descriptor: 0, or -1.
int closePort(int port);

// Writes the NUL-terminated `str` on the port whole and, on a serial line,
// waits until it has been sent; records it in the port's transcript, then
// pauses 10 ms. Nothing is written into a link with a hang-up waiting.
// Returns 0 on success; a negative result on failure (the write's -1, the
// drain's failure, or -1 when the port is unknown or its link lost).
int sendStr(int port, const char *str);

// How long the line must stay quiet before recvStr takes a reply as whole.
// It bridges a serial server's forwarding timer, a USB serial adapter's
// latency timer and TCP's delayed acknowledgement.
constexpr int RECEIVE_QUIET_GAP_MS = 100;

// Waits up to 2 seconds for input on the port, then stores what arrives,
// piece by piece, until len - 1 bytes are stored or no byte has come for
// RECEIVE_QUIET_GAP_MS; the text in `buf` is NUL-terminated. Prints
// "calling select" and the outcome of the wait on standard output. Returns
// the number of bytes stored; 0 when nothing came in time or the peer closed;
// -1 on failure. A hang-up or failure after some bytes returns those bytes;
// the link is lost from then on. `len` must be at least 2.
int recvStr(int port, char *buf, int len);

// Discards input that has arrived but not been read: on a serial line the
// line's input queue, on a network port what is waiting on the connection
// (without waiting for more). Returns 0 on success; -1 on failure.
int flushRecv(int port);

// Opens the transcript file "PREFIX_TIME.log" (appending when it exists) and
// attaches it to the port, closing the transcript it had. Returns its
// descriptor (never 0), or -1 on failure, after which the port has no
// transcript.
int openLogFile(int port, const char *prefix);

// Closes the port's transcript. Returns the result of close(): 0, or -1; -1
// also when the port has no transcript.
int closeLogFile(int port);

// Whether the port's link is lost. Before it answers no, it looks for a
// hang-up already waiting (a peer's close or reset, a time-out, a device
// gone), without reading or waiting. Returns 1 when lost, 0 when open, -1
// when the port is unknown.
int linkLost(int port);

// Why the port's link was lost: the system's error text, or "connection
// closed by peer". Null while the link is open or the port is unknown.
const char *linkLossText(int port);

// Opens the port's endpoint again, with the settings it was opened with,
// under the same handle; a link still open is replaced. One attempt, bounded
// in time on a network endpoint (about 1 s for a host name's lookup, 2 s for
// the connect), and without a report: the caller says what it means.
// Returns the handle, or -1 with errno saying why, after which the link is
// as it was.
int reopenPort(int port);

// What the port's last reopen found when its host name did not resolve:
// "HOST not resolved (CAUSE); using ADDRESS", the cause in the resolver's
// words, and the address connected to instead when there was one. Given once
// per outage: null after that until the link is lost again, and null when the
// lookup answered or the port is unknown.
const char *takeLookupNote(int port);
