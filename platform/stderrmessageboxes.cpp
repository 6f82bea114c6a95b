/// @brief StderrMessageBoxes: one line on stderr per box.
#include "platform/stderrmessageboxes.h"

#include <QTimer>
#include <cstdio>

void StderrMessageBoxes::show(const QString& text, const QString& title, Buttons buttons, Icon /*icon*/,
                              AnswerHandler answered)
{
    ++m_shown;
    const QString line = m_prefix + QStringLiteral(": ") + title + QStringLiteral(": ") + text + u'\n';
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    if (answered) {
        const Answer answer = buttons == Buttons::Ok ? Answer::Ok : Answer::Cancel;
        QTimer::singleShot(0, [answered = std::move(answered), answer] { answered(answer); });
    }
}
