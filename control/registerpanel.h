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

    /// "Update": registers 0 to 6 as seven sends of one digit each; register 7 is left out.
    void cmdReg_Click();
    /// The name label of register `index` (0 to 7); any other index sends nothing.
    void lblRegName_Click(int index);
    /// The Auto box changed: the poll runs exactly while it is ticked.
    void chkAuto_Click(bool ticked);
    /// One poll step, public so that tests can drive it without waiting for the timer.
    void tmrAuto_Timer();

    bool autoActive() const { return m_auto->isActive(); }
    /// The last register the poll asked for; 0 before the first tick. Never reset, so
    /// Auto off and on resumes the cycle where it stopped.
    int autoIndex() const { return m_autoIndex; }
    Timer& autoTimer() { return *m_auto; }

private:
    void request(int index);

    SendFunction m_send;
    std::unique_ptr<Timer> m_auto;
    int m_autoIndex = 0;
};
