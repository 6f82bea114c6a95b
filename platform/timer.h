/// @brief A timer as a seam: made by the Clock that measures its time, so that a fake clock moves both.
#pragma once

#include <QObject>

/// The part of QTimer the logic uses. Timers come from Clock::makeTimer(): a fake clock then
/// fires them as it is moved, and a test drives the keep-alive or a 2-second wait without sleeping.
class Timer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Timer() override = default;

    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;
    virtual void setSingleShot(bool singleShot) = 0;
    /// (Re)starts the countdown from now.
    virtual void start() = 0;
    void start(int ms)
    {
        setInterval(ms);
        start();
    }
    virtual void stop() = 0;
    virtual bool isActive() const = 0;

signals:
    void timeout();
};
