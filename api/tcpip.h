// CProtocol_tcp_ip: the transport of "TCP_IP[,host[,port[,event port[,keep header]]]]". One TCP
// connection to the server's TCP/IP host carries framed commands and answers (tcp_frame.h); a
// listener thread turns the event datagrams arriving on the UDP event port into deliveries.
#pragma once

#include <memory>

#include "api/protocol.h"
#include "api/tcp_frame.h"
#include "platform/socket.h"

class CTcpEventListener;

class CProtocol_tcp_ip : public CProtocol {
public:
    // Reads the parameters and the [PROTOCOL] keys and connects. A failed connection is not an
    // error here: the next Begin or command connects again.
    explicit CProtocol_tcp_ip(const char* parameters);
    ~CProtocol_tcp_ip() override;

    // The usability check with reconnection ([PROTOCOL] CONNECT_TRYS attempts).
    void Begin() override;
    // One command exchange with retries ([PROTOCOL] COMMAND_TRYS attempts, each on a new
    // connection). Not retried: an answer of another ID (2061) and an answer larger than the
    // buffer (2000). A command that fails for good closes the connection, so that its late answer
    // cannot be taken for the next command's.
    void CommandAnswer(const char* command, int length, char* answer, int size) override;
    void End() override {}
    // Binds the event port (unless it is 0) and starts the listener.
    void StartEvents() override;

    const TcpIpParameters& Parameters() const { return parameters_; }
    bool Established() const { return established_; }
    bool Listening() const { return events_ != nullptr; }

    // The process-wide frame ID of the next request (0 .. 999); it outlives the transport.
    static unsigned FrameId();
    static void SetFrameId(unsigned id);

private:
    void Connect();
    void CloseCommandSocket();
    void UsabilityCheck();
    void Exchange(const char* command, int length, char* answer, int size, TcpFailure* failure);
    void Send(const char* data, std::size_t size, bool command_part);

    TcpIpParameters parameters_;
    int connect_time_out_ = 5000;
    int connect_trys_ = 5;
    int answer_time_out_ = 5000;
    int command_trys_ = 5;
    platform::Socket socket_ = platform::INVALID_SOCKET;
    bool established_ = false;
    std::unique_ptr<CTcpEventListener> events_;
};
