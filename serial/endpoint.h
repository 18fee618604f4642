// The split of a network endpoint name, "tcp:HOST:PORT", into its fields.
// Internal to the port layer; kept apart so that the split can be checked on
// any text without connecting anywhere.
//
// The fields are found as strtok finds them: a run of colons counts as one
// separator, empty fields are skipped and fields after the third are ignored.
// The port text is read by atoi rules: optional leading white space and sign,
// then decimal digits up to the first other character; no digits give 0.
#pragma once

#include <stdint.h>

// The fields of a split name. Each text points into the split copy, or is
// null when the name has fewer fields.
struct EndpointFields {
    const char *protocol;  // field 1, normally "tcp"; passed on and not used
    const char *host;      // field 2: a host name or a dotted-decimal address
    const char *portText;  // field 3: the TCP port number in decimal
    int portNumber;        // portText by atoi rules, 0 without it
    uint16_t tcpPort;      // the low 16 bits of portNumber: the port connected to
};

// True when `name` names a network endpoint: its first three characters are
// "tcp", compared case-sensitively.
bool isNetworkEndpoint(const char *name);

// Splits `copy`, a writable copy of the name, in place and fills *fields.
void splitEndpointName(char *copy, EndpointFields *fields);
