/// @brief SignalWatcher: SIGINT and SIGTERM delivered through the event loop.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

/// One per process: the handlers write the signal's number into a pipe the event loop reads.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;
    /// False when the pipe or the handlers could not be set up.
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void caught(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
