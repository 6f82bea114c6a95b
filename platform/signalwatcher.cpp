/// @brief SignalWatcher: the self-pipe between the signal handlers and the event loop; the console handler on Windows.
#include "platform/signalwatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_WIN
#include <QMetaObject>
#include <QPointer>
#include <csignal>
#include <mutex>
#include <windows.h>

namespace {

std::mutex g_watcherLock;
QPointer<SignalWatcher> g_watcher;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    int number = 0;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        number = SIGINT;
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        number = SIGTERM;
        break;
    default:
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(g_watcherLock);
        if (!g_watcher)
            return FALSE;
        QMetaObject::invokeMethod(
            g_watcher.data(),
            [w = g_watcher, number] {
            if (w)
                emit w->caught(number);
            },
            Qt::QueuedConnection);
    }
    if (number == SIGTERM) {
        // Windows ends the process as soon as this handler returns from a closing console;
        // the wait gives the event loop its few seconds to close the run and the files.
        ::Sleep(4500);
    }
    return TRUE;
}

} // namespace

#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int number)
{
    // Only async-signal-safe work here.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignalPipe()
{
    if (g_signalPipe[0] < 0 && ::pipe(g_signalPipe) != 0)
        return false;
    for (int fd : g_signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

} // namespace

#endif

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent)
{
#ifdef Q_OS_WIN
    std::lock_guard<std::mutex> guard(g_watcherLock);
    g_watcher = this;
    m_active = ::SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
#else
    if (!installSignalPipe())
        return;
    m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        while (::read(g_signalPipe[0], &number, 1) == 1)
            emit caught(number);
    });
    m_active = true;
#endif
}

SignalWatcher::~SignalWatcher()
{
#ifdef Q_OS_WIN
    std::lock_guard<std::mutex> guard(g_watcherLock);
    if (g_watcher == this) {
        ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
        g_watcher = nullptr;
    }
#endif
}
