// The attributes of a serial line for raw transfer at given line settings.
// Internal to the port layer; kept apart from the system calls around it so
// that every line setting can be checked without a device.
//
// openPort reads the line's attributes, discards its pending data, has them
// turned here into those for raw transfer, and hands the result to the line.
// A setting that the line cannot be given is returned, not reported: the
// caller names its port in the message.
#pragma once

#include <termios.h>

// The first line setting refused, in the order they are checked.
enum class LineRefusal {
    NONE,       // every setting accepted
    BAUD,       // a rate without a terminal interface constant
    DATA_BITS,  // other than 5 to 8
    PARITY,     // other than "none", "even" or "odd" in any case, or null
};

// Turns *tio, the attributes read from a serial line, into those for raw
// transfer at `baud`, `dataBits`, `stopBits` (2 for two, else one) and
// `parity`; every attribute that these do not set is kept as read. Returns
// LineRefusal::NONE when *tio holds the new attributes, else the first setting
// refused, after which *tio is partly changed and must not reach the line.
LineRefusal rawLineAttributes(termios *tio, int baud, int dataBits, int stopBits,
                              const char *parity);
