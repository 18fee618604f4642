#include "serial/line_settings.h"

#include <strings.h>

#include <array>
#include <utility>

namespace {

// Every rate the Linux terminal interface has a constant for.
constexpr std::array<std::pair<int, speed_t>, 30> SPEEDS{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

bool speedFor(int baud, speed_t *speed) {
    for (const auto &[rate, constant] : SPEEDS) {
        if (rate == baud) {
            *speed = constant;
            return true;
        }
    }
    return false;
}

}  // namespace

LineRefusal rawLineAttributes(termios *tio, int baud, int dataBits, int stopBits,
                              const char *parity) {
    speed_t speed;
    if (!speedFor(baud, &speed)) {
        return LineRefusal::BAUD;
    }
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);

    if (stopBits == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        tio->c_cflag &= ~CSTOPB;
    }

    tcflag_t size;
    switch (dataBits) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return LineRefusal::DATA_BITS;
    }
    tio->c_cflag = (tio->c_cflag & ~CSIZE) | size;

    if (parity != nullptr && strcasecmp(parity, "NONE") == 0) {
        tio->c_cflag &= ~PARENB;  // PARODD means nothing without PARENB and stays as read
    } else if (parity != nullptr && strcasecmp(parity, "EVEN") == 0) {
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~PARODD;
    } else if (parity != nullptr && strcasecmp(parity, "ODD") == 0) {
        tio->c_cflag |= PARENB | PARODD;
    } else {
        return LineRefusal::PARITY;
    }

    // Raw bytes; a read returns what is there after at most one second.
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 10;
    tio->c_iflag &= ~(IGNCR | ICRNL | INLCR);
    tio->c_lflag &= ~(ICANON | ECHO);
    tio->c_cflag |= CLOCAL | CREAD;
    return LineRefusal::NONE;
}
