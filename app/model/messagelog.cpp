/// @brief Message log model: prepends are O(1), the oldest lines fall off past the capacity.
#include "app/model/messagelog.h"

namespace {
const QString CrLf = QStringLiteral("\r\n");
}

MessageLog::MessageLog(QObject* parent, qsizetype capacity) : QObject(parent), m_capacity(capacity) {}

void MessageLog::pushFront(Entry e)
{
    m_lines.push_front(std::move(e));
}

void MessageLog::trim()
{
    qsizetype dropped = 0;
    while (qsizetype(m_lines.size()) > m_capacity) {
        m_lines.pop_back();
        if (m_hidden > 0)
            --m_hidden;
        else
            ++dropped;
    }
    if (dropped > 0)
        emit oldestDropped(dropped);
}

void MessageLog::LogMessage(const QString& text, bool moveCaret)
{
    // A line with embedded CR LF becomes several lines, so that the model's rows and the
    // text the operator copies always agree.
    const QStringList parts = text.split(CrLf);
    for (const QString& p : parts)
        pushFront({p, true});
    emit linesPrepended(parts.size());
    trim();
    if (moveCaret)
        emit caretToEnd();
}

void MessageLog::setText(const QString& text)
{
    // Only the visible lines are replaced; lines kept aside by a calibration stay aside.
    std::deque<Entry> lines;
    if (!text.isEmpty()) {
        QStringList parts = text.split(CrLf);
        const bool lastOpen = !parts.last().isEmpty();
        if (!lastOpen)
            parts.removeLast();
        for (qsizetype i = 0; i < parts.size(); ++i)
            lines.push_back({parts.at(i), !(lastOpen && i == parts.size() - 1)});
    }
    lines.insert(lines.end(), m_lines.end() - m_hidden, m_lines.end());
    m_lines = std::move(lines);
    trim();
    emit reset();
}

void MessageLog::clear() { setText(QString()); }

QString MessageLog::text() const
{
    QString out;
    const qsizetype n = lineCount();
    qsizetype total = 0;
    for (qsizetype i = 0; i < n; ++i)
        total += m_lines[size_t(i)].text.size() + 2;
    out.reserve(total);
    for (qsizetype i = 0; i < n; ++i) {
        const Entry& e = m_lines[size_t(i)];
        out += e.text;
        if (e.closed)
            out += CrLf;
    }
    return out;
}

void MessageLog::beginAside(const QString& header)
{
    m_hidden = qsizetype(m_lines.size());
    m_asideActive = true;
    m_lines.push_front({header, false});
    trim();
    emit reset();
}

void MessageLog::endAside(const QString& closing)
{
    const qsizetype visible = lineCount();
    if (visible > 0 && !m_lines[size_t(visible - 1)].closed) {
        Entry& e = m_lines[size_t(visible - 1)];
        e.text += closing;
        e.closed = true;
    } else {
        m_lines.insert(m_lines.begin() + visible, Entry{closing, true});
    }
    m_hidden = 0;
    m_asideActive = false;
    trim();
    emit reset();
}
