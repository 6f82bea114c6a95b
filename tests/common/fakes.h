/// @brief Test doubles for the platform seams: a clock the test moves, a socket that never leaves the process, message
/// boxes that answer by script.
#pragma once

#include "platform/fakeclock.h"
#include "platform/messagebox.h"
#include "platform/socket.h"

#include <QList>
#include <QStringList>
#include <functional>

/// Records what the logic asks of the link; the test decides what the link reports back.
class FakeSocket final : public Socket {
public:
    void connectToHost(const QString& host, quint16 port) override
    {
        connects.append(host + u':' + QString::number(port));
        m_state = Connecting;
    }
    void close() override { ++closes, m_state = Closed; }
    bool send(const QByteArray& bytes) override
    {
        if (m_state == Connected)
            sent.append(bytes);
        return m_state == Connected;
    }
    int state() const override { return m_state; }
    void catchUp() override
    {
        // A copy runs, so that the hand-over may end itself.
        if (const std::function<void()> handOver = onCatchUp)
            handOver();
    }
    void setHoldAllowed(bool allowed) override { holdAllowed = allowed; }

    void completeConnect() { m_state = Connected, emit connected(); }
    void fail(const QString& description) { m_state = Error, emit errorOccurred(10061, description); }
    void deliver(const QByteArray& bytes) { emit dataArrived(bytes); }

    QStringList connects;
    QList<QByteArray> sent;
    int closes = 0;
    /// What the link had left waiting for a display frame, handed on when one catches up.
    std::function<void()> onCatchUp;
    bool holdAllowed = true;

private:
    int m_state = Closed;
};

/// One record reply as the instrument sends it: readings A and B, the offset, no flags.
inline QByteArray recordBytes(int a, int b, int offset = 3)
{
    const char bytes[7] = {'R', char(a >> 8), char(a & 0xFF), char(b >> 8), char(b & 0xFF), char(offset), 0};
    return QByteArray(bytes, 7);
}

class FakeMessageBoxes final : public MessageBoxes {
public:
    struct Shown {
        QString text;
        QString title;
        Buttons buttons;
        Icon icon;
    };
    /// Answers with `answer` at once, or, with `holdAnswers`, keeps the box open until answerNext().
    void show(const QString& text, const QString& title, Buttons buttons, Icon icon,
              AnswerHandler answered = {}) override
    {
        shown.append({text, title, buttons, icon});
        if (holdAnswers)
            m_open.append(std::move(answered));
        else if (answered)
            answered(answer);
    }
    int openCount() const { return int(m_open.size()); }
    /// Answers the oldest box still open.
    void answerNext(Answer a)
    {
        if (const AnswerHandler answered = m_open.takeFirst())
            answered(a);
    }
    QList<Shown> shown;
    Answer answer = Answer::Ok;
    bool holdAnswers = false;

private:
    QList<AnswerHandler> m_open;
};
