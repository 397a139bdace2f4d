// The transport factory: prefix table and construction.
#include <cstring>

#include "api/nuvra_error.h"
#include "api/protocol.h"
#include "api/protocol_1745.h"
#include "api/tcpip.h"

namespace {

struct Prefix {
    const char* prefix;
    TransportKind kind;
};

constexpr Prefix PREFIXES[] = {
    {"COM_MODEM", TransportKind::no_connection},
    {"COM", TransportKind::com},
    {"IO", TransportKind::io},
    {"FILE", TransportKind::no_connection},
    {"NET", TransportKind::netbios},
    {"TCP_IP", TransportKind::tcp_ip},
    {"DDE", TransportKind::dde},
    {"DIRECT", TransportKind::no_connection},
    {"RPC", TransportKind::rpc},
};

} // namespace

void CProtocol_no_connection::Begin() { NV_RAISE(ERROR_NO_CONNECTION, "No connection, check type of connection"); }

void CProtocol_no_connection::CommandAnswer(const char*, int, char* answer, int size) {
    if (size > 0)
        answer[0] = '\0';
}

TransportKind TransportKindOf(const char* connection) {
    for (const Prefix& p : PREFIXES)
        if (std::strncmp(connection, p.prefix, std::strlen(p.prefix)) == 0)
            return p.kind;
    return TransportKind::no_connection;
}

std::unique_ptr<CProtocol> CreateTransport(const char* connection) {
    const char* comma = std::strchr(connection, ',');
    const char* parameters = comma ? comma + 1 : nullptr;
    switch (TransportKindOf(connection)) {
    case TransportKind::tcp_ip:
        return std::make_unique<CProtocol_tcp_ip>(parameters);
    case TransportKind::com:
        return std::make_unique<CProtocol_1745>(parameters, IoKind::com);
    case TransportKind::io:
        return std::make_unique<CProtocol_1745>(parameters, IoKind::io);
    // The transports below are not part of this build: say so instead of quietly building a
    // transport that fails every session with "No connection".
    case TransportKind::netbios:
        NV_RAISE(ERROR_GENERIC, "NetBIOS connections (\"%.40s\") are not available yet; "
                                "set [SETUP] CONNECTION=TCP_IP,host in NUVRAAPI.INI",
                 connection);
    case TransportKind::rpc:
        NV_RAISE(ERROR_GENERIC, "RPC connections (\"%.40s\") are not available yet", connection);
    case TransportKind::dde:
        NV_RAISE(ERROR_GENERIC, "DDE connections (\"%.40s\") are not available yet", connection);
    case TransportKind::no_connection:
        break;
    }
    return std::make_unique<CProtocol_no_connection>();
}
