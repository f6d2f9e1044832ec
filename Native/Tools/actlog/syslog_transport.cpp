#include "syslog_transport.h"

#include <chrono>
#include <system_error>

#include "arguments.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace actlogtool {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
using Length = int;
using AddressLength = int;
const Socket kNoSocket = INVALID_SOCKET;
int LastError() { return WSAGetLastError(); }
void CloseSocket(Socket s) { closesocket(s); }
constexpr int kSendFlags = 0;
constexpr int kShutdownWrite = SD_SEND;
bool Interrupted(int) { return false; }
bool StartSockets(std::string& error) {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) error = "Winsock start-up failed: " + std::system_category().message(started);
    return started == 0;
}
#else
using Socket = int;
using Length = std::size_t;
using AddressLength = socklen_t;
constexpr Socket kNoSocket = -1;
int LastError() { return errno; }
void CloseSocket(Socket s) { ::close(s); }
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutdownWrite = SHUT_WR;
bool Interrupted(int code) { return code == EINTR; }
bool StartSockets(std::string&) { return true; }
#endif

std::string ErrorText(int code) { return std::system_category().message(code); }

// Sends all of `bytes`; false with the cause in `error`.
bool SendAll(Socket socket, std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const std::size_t chunk = bytes.size() < (1u << 30) ? bytes.size() : (1u << 30);
        auto sent = ::send(socket, bytes.data(), static_cast<Length>(chunk), kSendFlags);
        if (sent < 0) {
            int code = LastError();
            if (Interrupted(code)) continue;
            error = ErrorText(code);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

class DatagramTransport final : public SyslogTransport {
public:
    explicit DatagramTransport(Socket socket) : socket_(socket) {}
    ~DatagramTransport() override { CloseSocket(socket_); }
    bool Send(std::string_view message, std::string& error) override { return SendAll(socket_, message, error); }
    bool Finish(std::string&) override { return true; }

private:
    Socket socket_;
};

class StreamTransport final : public SyslogTransport {
public:
    explicit StreamTransport(Socket socket) : socket_(socket) {}
    ~StreamTransport() override { CloseSocket(socket_); }

    bool Send(std::string_view message, std::string& error) override {
        pending_ += std::to_string(message.size());
        pending_ += ' ';
        pending_ += message;
        return pending_.size() < kFlushBytes || Flush(error);
    }

    bool Finish(std::string& error) override {
        if (!Flush(error)) return false;
        // Closing our side in order and waiting for the receiver to close its
        // side shows that it has read every frame.
        if (::shutdown(socket_, kShutdownWrite) != 0) {
            error = ErrorText(LastError());
            return false;
        }
#ifdef _WIN32
        DWORD timeout = 30000;
#else
        timeval timeout{30, 0};
#endif
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        char buffer[512];
        for (;;) {
            auto got = ::recv(socket_, buffer, sizeof buffer, 0);
            if (got == 0) return true;
            if (got < 0) {
                int code = LastError();
                if (Interrupted(code)) continue;
                error = "the receiver did not close the connection: " + ErrorText(code);
                return false;
            }
        }
    }

private:
    static constexpr std::size_t kFlushBytes = 64 * 1024;

    bool Flush(std::string& error) {
        bool sent = SendAll(socket_, pending_, error);
        pending_.clear();
        return sent;
    }

    Socket socket_;
    std::string pending_;
};

Socket ConnectInet(const SyslogDestination& to, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = to.kind == SyslogDestination::kTcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* found = nullptr;
    int result = ::getaddrinfo(to.host.c_str(), to.port.c_str(), &hints, &found);
    if (result != 0) {
#ifdef _WIN32
        error = "cannot resolve " + to.host + ": " + ErrorText(result);
#else
        error = "cannot resolve " + to.host + ": " + ::gai_strerror(result);
#endif
        return kNoSocket;
    }
    Socket socket = kNoSocket;
    for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
        socket = ::socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (socket == kNoSocket) {
            error = ErrorText(LastError());
            continue;
        }
        if (::connect(socket, at->ai_addr, static_cast<AddressLength>(at->ai_addrlen)) == 0) break;
        error = ErrorText(LastError());
        CloseSocket(socket);
        socket = kNoSocket;
    }
    ::freeaddrinfo(found);
    return socket;
}

}  // namespace

SyslogDestination ParseDestination(std::string_view text) {
    SyslogDestination to;
    to.text = std::string(text);
    const std::size_t colon = text.find(':');
    const std::string_view scheme = text.substr(0, colon);
    std::string_view rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (scheme == "unix") {
        if (rest.empty()) throw UsageError("--to unix: needs a socket path");
        to.kind = SyslogDestination::kUnix;
        to.host = std::string(rest);
        return to;
    }
    if (scheme != "udp" && scheme != "tcp") {
        throw UsageError("--to must be unix:PATH, udp:HOST:PORT or tcp:HOST:PORT, not '" + std::string(text) + "'");
    }
    to.kind = scheme == "udp" ? SyslogDestination::kUdp : SyslogDestination::kTcp;
    const std::size_t portColon = rest.rfind(':');
    if (portColon == std::string_view::npos || portColon == 0 || portColon + 1 == rest.size()) {
        throw UsageError("--to " + std::string(scheme) + ": needs HOST:PORT");
    }
    std::string_view host = rest.substr(0, portColon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    to.host = std::string(host);
    to.port = std::string(rest.substr(portColon + 1));
    ParseNumber(to.port, "--to port");
    return to;
}

std::unique_ptr<SyslogTransport> OpenTransport(const SyslogDestination& to, std::string& error) {
    if (!StartSockets(error)) return nullptr;
    if (to.kind == SyslogDestination::kUnix) {
#ifdef _WIN32
        error = "local syslog sockets are not available on Windows; use udp: or tcp:";
        return nullptr;
#else
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (to.host.size() >= sizeof address.sun_path) {
            error = "socket path too long";
            return nullptr;
        }
        std::memcpy(address.sun_path, to.host.c_str(), to.host.size() + 1);
        Socket socket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        if (socket == kNoSocket || ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            error = ErrorText(LastError());
            if (socket != kNoSocket) CloseSocket(socket);
            return nullptr;
        }
        return std::make_unique<DatagramTransport>(socket);
#endif
    }
    Socket socket = ConnectInet(to, error);
    if (socket == kNoSocket) return nullptr;
    if (to.kind == SyslogDestination::kTcp) return std::make_unique<StreamTransport>(socket);
    return std::make_unique<DatagramTransport>(socket);
}

}  // namespace actlogtool
