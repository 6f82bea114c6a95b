/// @brief A peer on 127.0.0.1 that floods whoever connects with junk bytes at loopback speed, from a thread of its own.
#pragma once

#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
// Winsock has the same calls under other names; its sockets are handles, not descriptors.
using SocketHandle = SOCKET;
using ssize_t = long long;
inline constexpr SocketHandle NoSocket = INVALID_SOCKET;
inline int closeSocket(SocketHandle s) { return ::closesocket(s); }
inline int pollSockets(pollfd* fds, unsigned n, int ms) { return ::WSAPoll(fds, n, ms); }
inline bool wouldBlock()
{
    const int e = ::WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
}
inline void makeNonBlocking(SocketHandle s)
{
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}
inline constexpr int SendFlags = 0;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
inline constexpr SocketHandle NoSocket = -1;
inline int closeSocket(SocketHandle s) { return ::close(s); }
inline int pollSockets(pollfd* fds, unsigned n, int ms) { return ::poll(fds, n, ms); }
inline bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
inline void makeNonBlocking(SocketHandle s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK); }
inline constexpr int SendFlags = MSG_NOSIGNAL;
#endif

/// Accepts one connection and writes pseudo-random bytes to it as fast as the loopback takes
/// them until its time or byte budget is spent or stop() is called; then it keeps the
/// connection open, quiet, until destroyed. What the panel sends is read and thrown away, so
/// that the connection is never reset under the bytes still on their way.
class JunkFlood {
public:
    JunkFlood(double seconds, quint64 maxBytes) : m_seconds(seconds), m_maxBytes(maxBytes)
    {
#ifdef Q_OS_WIN
        WSADATA wsa;
        ::WSAStartup(MAKEWORD(2, 2), &wsa); // counted: paired with the WSACleanup below
#endif
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_listen == NoSocket || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
            || ::listen(m_listen, 1) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~JunkFlood()
    {
        m_stop = m_quit = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_listen != NoSocket)
            closeSocket(m_listen);
#ifdef Q_OS_WIN
        ::WSACleanup();
#endif
    }
    JunkFlood(const JunkFlood&) = delete;
    JunkFlood& operator=(const JunkFlood&) = delete;

    quint16 port() const { return m_port; } ///< 0 when it could not listen
    bool accepted() const { return m_accepted; }
    /// The flood is over (or never began: nobody connected within 20 s).
    bool done() const { return m_done; }
    quint64 sent() const { return m_sent; }
    void stop() { m_stop = true; }

private:
    void run()
    {
        pollfd listening{m_listen, POLLIN, 0};
        const SocketHandle fd = pollSockets(&listening, 1, 20000) == 1 ? ::accept(m_listen, nullptr, nullptr)
                                                                       : NoSocket;
        m_accepted = fd != NoSocket;
        if (fd != NoSocket)
            makeNonBlocking(fd);
        std::vector<char> junk(256 * 1024);
        std::mt19937 random(12345);
        std::generate(junk.begin(), junk.end(), [&random] { return char(random()); });
        char sink[4096];
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(m_seconds);
        size_t at = 0;
        while (fd != NoSocket && !m_quit) {
            m_done = m_done || m_stop || m_sent >= m_maxBytes || std::chrono::steady_clock::now() >= end;
            // Short waits, so that the time limit holds while the panel pushes back.
            pollfd p{fd, short(POLLIN | (m_done ? 0 : POLLOUT)), 0};
            if (pollSockets(&p, 1, 20) != 1)
                continue;
            if ((p.revents & (POLLIN | POLLHUP)) && ::recv(fd, sink, sizeof sink, 0) == 0)
                break; // the panel closed
            if (m_done || !(p.revents & POLLOUT))
                continue;
            const size_t n = size_t(std::min<quint64>(junk.size() - at, m_maxBytes - m_sent));
            const ssize_t put = ::send(fd, junk.data() + at, int(n), SendFlags);
            if (put < 0 && !wouldBlock())
                break;
            m_sent += quint64(std::max<ssize_t>(put, 0));
            at = (at + size_t(std::max<ssize_t>(put, 0))) % junk.size();
        }
        m_done = true;
        if (fd != NoSocket)
            closeSocket(fd);
    }

    double m_seconds;
    quint64 m_maxBytes;
    SocketHandle m_listen = NoSocket;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_accepted{false}, m_done{false}, m_stop{false}, m_quit{false};
    std::atomic<quint64> m_sent{0};
};
