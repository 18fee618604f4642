#include "serial/endpoint.h"

#include <stdlib.h>
#include <string.h>

bool isNetworkEndpoint(const char *name) {
    return strncmp(name, "tcp", 3) == 0;
}

void splitEndpointName(char *copy, EndpointFields *fields) {
    char *rest = nullptr;
    fields->protocol = strtok_r(copy, ":", &rest);
    fields->host = fields->protocol != nullptr ? strtok_r(nullptr, ":", &rest) : nullptr;
    fields->portText = fields->host != nullptr ? strtok_r(nullptr, ":", &rest) : nullptr;
    // atoi rules without atoi's undefined overflow: glibc's atoi is this cast.
    fields->portNumber =
        fields->portText != nullptr ? static_cast<int>(strtol(fields->portText, nullptr, 10)) : 0;
    fields->tcpPort = static_cast<uint16_t>(fields->portNumber & 0xFFFF);
}
