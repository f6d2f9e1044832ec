// Sending syslog messages: a local datagram socket (unix:PATH) or UDP, one
// datagram per message, or TCP with octet-counted frames.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace actlogtool {

struct SyslogDestination {
    enum Kind { kUnix, kUdp, kTcp } kind = kUnix;
    std::string host;  // unix: the socket path
    std::string port;
    std::string text;  // as given, for messages
};

// "unix:/dev/log", "udp:HOST:PORT", "tcp:HOST:PORT" (HOST may be "[v6 address]").
// Throws UsageError for anything else.
SyslogDestination ParseDestination(std::string_view text);

class SyslogTransport {
public:
    virtual ~SyslogTransport() = default;
    // Queues or sends one message; false with `error` set when the transport refused it.
    virtual bool Send(std::string_view message, std::string& error) = 0;
    // Everything sent so far has been taken by the receiver: for TCP the
    // connection is closed in order and the receiver's own close awaited.
    virtual bool Finish(std::string& error) = 0;
};

// Connects; null with `error` set (the cause) on failure.
std::unique_ptr<SyslogTransport> OpenTransport(const SyslogDestination& destination, std::string& error);

}  // namespace actlogtool
