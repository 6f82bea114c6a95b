/// @brief Register requests: the Update button, a click on a register name, and the Auto poll.
#pragma once

#include <QByteArray>
#include <QObject>
#include <functional>
#include <memory>

#include "platform/timer.h"

class Clock;

/// Requests only; the replies reach RegisterModel through the reply decoder, unpaired with
/// the requests. Every failed send is skipped without a word, the name click included: the
/// operator sees the row stay unchanged, which is what a request without reply shows anyway.
class RegisterPanel : public QObject {
    Q_OBJECT
public:
    using SendFunction = std::function<bool(const QByteArray&)>;

    static constexpr int AutoIntervalMs = 250;
    static constexpr int RegisterCount = 8;

    RegisterPanel(SendFunction send, const Clock& clock, QObject* parent = nullptr);

    /// Registers 0 to 6 (the window's "Update") as seven sends of one digit each; register 7 is left out.
    void requestAll();
    /// Register `index` alone (0 to 7; the window's name labels); any other index sends nothing.
    void request(int index);
    /// The poll runs exactly while this is on (the window's Auto box).
    void setAutoPoll(bool on);
    /// One poll step, public so that tests can drive it without waiting for the timer.
    void pollTick();

    bool autoActive() const { return m_auto->isActive(); }
    /// The last register the poll asked for; 0 before the first tick. Never reset, so
    /// Auto off and on resumes the cycle where it stopped.
    int autoIndex() const { return m_autoIndex; }
    Timer& autoTimer() { return *m_auto; }

private:
    SendFunction m_send;
    std::unique_ptr<Timer> m_auto;
    int m_autoIndex = 0;
};
