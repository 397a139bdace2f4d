// The TCP/IP host transport: commands over TCP behind 13-byte frame headers, events as UDP
// datagrams.
#pragma once

#include "server/hosts/hostslot.h"

extern const HostTransport host_transport_tcp_ip;
