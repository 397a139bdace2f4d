// CProtocol: the one transport of a process, built from a connection string by the transport
// factory. Every failure is thrown as CXNuvraError; no operation returns an error code.
#pragma once

#include <memory>
#include <string>

class CProtocol {
public:
    virtual ~CProtocol() = default;
    // Makes sure the link is usable before a session.
    virtual void Begin() = 0;
    // Sends `length` bytes of `command` and leaves the zero-terminated answer in `answer` (capacity
    // `size` > 0); the answer is emptied first, so a failure leaves at most a partial answer.
    virtual void CommandAnswer(const char* command, int length, char* answer, int size) = 0;
    // Closes the session.
    virtual void End() = 0;
    // Called just before the transport is deleted.
    virtual void Disconnect() {}
    // Called once right after construction to open the event channel.
    virtual void StartEvents() {}
};

// The transport of connection kinds that reach no server ("FILE", "DIRECT", "COM_MODEM", unknown
// words): every session fails with 2044, a command answers the empty string.
class CProtocol_no_connection : public CProtocol {
public:
    void Begin() override;
    void CommandAnswer(const char* command, int length, char* answer, int size) override;
    void End() override {}
};

// The transport kinds, chosen by the start of the connection string (case-sensitive, first match
// of this order: "COM_MODEM" before "COM").
enum class TransportKind { no_connection, com, io, netbios, tcp_ip, dde, rpc };
TransportKind TransportKindOf(const char* connection);

// Constructs the transport of the string's kind with the text after its first comma as the
// parameters. Throws CXNuvraError when it cannot be built.
std::unique_ptr<CProtocol> CreateTransport(const char* connection);
