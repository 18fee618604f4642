// What the files of the port layer share behind serial.h, and nothing a
// caller needs: callers include serial.h only.
//
// The files, from the bottom up; each calls only into files below it:
//   port_table.cpp       the list `ports`, the lookup from handle to record,
//                        and each link's state (lost, and why)
//   line_transfer.cpp    sendStr, recvStr, flushRecv: text over an open port
//   transcript.cpp       openLogFile, closeLogFile
//   name_lookup.cpp      a host name looked up with a bound on the wait
//   network_connect.cpp  the TCP connection to a network serial server
//   serial_device.cpp    a serial device set up for raw transfer
//   port_open.cpp        openPort, reopenPort, closePort: the branch by name
#pragma once

#include <netinet/in.h>

#include "serial/endpoint.h"
#include "serial/line_settings.h"
#include "serial/serial.h"

// port_table.cpp

// The record of `port`, or null after a report that it is not open.
PortRecord *findPort(int port);
// As findPort, and null after a report when the port's link is lost (errno
// then says why).
PortRecord *findLivePort(int port);
// Why the link was lost, as the reports say it.
const char *lossText(const PortRecord *rec);
// Takes the link out of service for `error` (0: the peer's close); errno is kept.
void markLost(PortRecord *rec, int error);
// Marks the link lost when `error` is one that ends a link.
void lostBy(PortRecord *rec, int error);
// Marks the link lost when a hang-up is already waiting on it; never waits.
void lookForHangUp(PortRecord *rec);
// Appends the record at the tail of `ports`.
void appendRecord(PortRecord *rec);
// Unlinks the record from `ports` and frees it; errno is kept.
void dropRecord(PortRecord *rec);
// The descriptor moved off 0 (which a record reads as none). Returns it, or
// -1 with errno set.
int offDescriptorZero(int fd);

// line_transfer.cpp

// Waits up to `ms` for `events` on fd. Returns poll's result.
int waitReady(int fd, short events, int ms);

// name_lookup.cpp

// How long a reopen waits for a host name's lookup before it connects to
// the address it last reached: a silent name server must not hold up the
// caller's loop for the resolver's own time-outs (10 s by default).
constexpr int LOOKUP_BOUND_MS = 1000;

// Looks up the first IPv4 address of `host` into *address, waiting at most
// `boundMs` (below 0: as long as the resolver takes). Returns 0, or the
// resolver's code (EAI_...): EAI_AGAIN when the wait ran out, the lookup
// then going on, and a later call for the same host waiting on it again, or
// taking the address it has found since if it was asked within the last minute.
int lookUpHost(const char *host, int boundMs, in_addr *address);

// network_connect.cpp

// Connects to "tcp:HOST:PORT" in `copy`, cut up in place into *fields.
// Returns the socket, or -1 with errno set.
int connectNamed(char *copy, EndpointFields *fields);
// The network branch of openPort; a failure drops the record. Returns the
// handle, or -1 with errno set.
int openNetworkPort(PortRecord *rec, const char *name, int *handle);
// Connects a network port again for reopenPort: a host name looked up within
// LOOKUP_BOUND_MS, else the port's last address. Returns the socket, or -1
// with errno set.
int reconnectNetworkPort(PortRecord *rec);

// serial_device.cpp

// The step at which a serial device could not be opened and set up.
enum class LineStep { OPEN, GET_ATTRIBUTES, SETTINGS, SET_ATTRIBUTES };

struct LineFailure {
    LineStep step;
    LineRefusal refusal;  // with SETTINGS: the setting refused
};

// Opens and sets up a serial device without a report. Returns the
// descriptor; else open's own result (0 or below) or -1, with *failure and
// errno saying where and why.
int openRawLine(const char *name, int baud, int dataBits, int stopBits, const char *parity,
                LineFailure *failure);
// The serial branch of openPort; a failure drops the record. Returns as
// openPort does.
int openSerialPort(PortRecord *rec, const char *name, int *handle, int baud, int dataBits,
                   int stopBits, const char *parity);
