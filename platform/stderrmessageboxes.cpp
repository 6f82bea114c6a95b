/// @brief StderrMessageBoxes: one line on stderr per box.
#include "platform/stderrmessageboxes.h"

#include <cstdio>

MessageBoxes::Answer StderrMessageBoxes::show(const QString& text, const QString& title, Buttons buttons, Icon /*icon*/)
{
    ++m_shown;
    const QString line = m_prefix + QStringLiteral(": ") + title + QStringLiteral(": ") + text + u'\n';
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    return buttons == Buttons::Ok ? Answer::Ok : Answer::Cancel;
}
