/// @brief SignalWatcher: SIGINT and SIGTERM (on Windows: Ctrl-C, Ctrl-Break, the console closing) delivered through the
/// event loop.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

/// One per process. On Unix the handlers write the signal's number into a pipe the event loop reads;
/// on Windows the console's handler, which runs on a thread of its own, posts it to the event loop.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;
    /// False when the pipe or the handlers could not be set up.
    bool isActive() const { return m_active; }

signals:
    void caught(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_active = false;
};
