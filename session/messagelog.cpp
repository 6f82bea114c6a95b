/// @brief Message log model: prepends are O(1), the oldest lines fall off past the capacity.
#include "session/messagelog.h"

#include <algorithm>
#include <cstring>

namespace {
const QString CrLf = QStringLiteral("\r\n");
}

MessageLog::MessageLog(QObject* parent, qsizetype capacity) : QObject(parent), m_capacity(capacity) {}

void MessageLog::EntryRing::grow()
{
    // Doubling keeps a short log small; a full one holds one more than the capacity for the
    // moment between a push and its trim.
    std::vector<Entry> bigger(std::max<size_t>(1024, m_items.size() * 2));
    for (size_t i = 0; i < m_size; ++i)
        bigger[i] = (*this)[i];
    m_items = std::move(bigger);
    m_head = 0;
}

void MessageLog::EntryRing::insert(size_t i, const Entry& e)
{
    push_back(e);
    for (size_t at = m_size - 1; at > i; --at)
        std::swap((*this)[at], (*this)[at - 1]);
}

MessageLog::Entry MessageLog::store(QByteArrayView utf8, bool closed)
{
    const qsizetype n = utf8.size();
    if (m_chunks.empty() || m_chunks.back().size + n > m_chunks.back().capacity) {
        Chunk c;
        if (m_spare.data && m_spare.capacity >= n) {
            c = std::move(m_spare);
            m_spare = Chunk{};
        } else {
            c.capacity = std::max(ChunkBytes, n);
            c.data = std::make_unique_for_overwrite<char[]>(size_t(c.capacity));
        }
        c.start = m_nextPos;
        c.size = 0;
        m_chunks.push_back(std::move(c));
    }
    Chunk& c = m_chunks.back();
    const Entry e{c.start + quint64(c.size), quint32(n), closed};
    if (n > 0)
        std::memcpy(c.data.get() + c.size, utf8.data(), size_t(n));
    c.size += n;
    m_nextPos = e.pos + quint64(n);
    return e;
}

QByteArrayView MessageLog::bytesOf(const Entry& e) const
{
    // Chunks are few (a quarter megabyte each); find the one holding the position.
    auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), e.pos,
                               [](quint64 pos, const Chunk& c) { return pos < c.start; });
    if (it == m_chunks.begin())
        return {};
    --it;
    return QByteArrayView(it->data.get() + (e.pos - it->start), qsizetype(e.size));
}

QString MessageLog::line(qsizetype row) const { return QString::fromUtf8(bytesOf(entryAt(row))); }

qsizetype MessageLog::storedBytes() const
{
    qsizetype n = qsizetype(m_entries.size() * sizeof(Entry));
    for (const Chunk& c : m_chunks)
        n += c.capacity;
    return n;
}

void MessageLog::pushNewest(QByteArrayView utf8, bool closed) { m_entries.push_back(store(utf8, closed)); }

void MessageLog::releaseChunks()
{
    // Every live entry lies at or after the oldest one's position (rewritten lines are stored
    // anew at the end), so chunks wholly before it can go.
    const quint64 oldest = m_entries.empty() ? m_nextPos : m_entries.front().pos;
    while (m_chunks.size() > 1 && m_chunks[1].start <= oldest) {
        if (m_chunks.front().capacity == ChunkBytes)
            m_spare = std::move(m_chunks.front());
        m_chunks.pop_front();
    }
    if (m_entries.empty()) {
        m_chunks.clear();
    }
}

void MessageLog::trim()
{
    if (qsizetype(m_entries.size()) <= m_capacity)
        return;
    while (qsizetype(m_entries.size()) > m_capacity) {
        m_entries.pop_front();
        if (m_hidden > 0)
            --m_hidden;
    }
    releaseChunks();
}

void MessageLog::LogMessage(const QString& text, bool moveCaret)
{
    // A line with embedded CR LF becomes several lines, so that the model's rows and the
    // text the operator copies always agree.
    qsizetype count = 0;
    if (!text.contains(u'\r')) {
        pushNewest(text.toUtf8(), true);
        count = 1;
    } else {
        const QStringList parts = text.split(CrLf);
        for (const QString& p : parts)
            pushNewest(p.toUtf8(), true);
        count = parts.size();
    }
    m_appended += quint64(count);
    trim();
    if (!m_changeSignalled) {
        m_changeSignalled = true;
        emit changed();
    }
    if (moveCaret)
        emit caretToEnd();
}

void MessageLog::appendAsciiLine(QByteArrayView line)
{
    // ASCII is its own UTF-8: stored as it stands.
    pushNewest(line, true);
    ++m_appended;
    trim();
    if (!m_changeSignalled) {
        m_changeSignalled = true;
        emit changed();
    }
}

void MessageLog::setText(const QString& text)
{
    // Only the visible lines are replaced; lines kept aside by a calibration stay aside.
    m_entries.truncate(size_t(m_hidden));
    if (!text.isEmpty()) {
        QStringList parts = text.split(CrLf);
        const bool lastOpen = !parts.last().isEmpty();
        if (!lastOpen)
            parts.removeLast();
        // The text reads newest first; entries are kept oldest first.
        for (qsizetype i = parts.size() - 1; i >= 0; --i)
            pushNewest(parts.at(i).toUtf8(), !(lastOpen && i == parts.size() - 1));
    }
    trim();
    releaseChunks();
    emit reset();
}

void MessageLog::clear() { setText(QString()); }

QString MessageLog::text() const
{
    QByteArray out;
    const qsizetype n = lineCount();
    qsizetype total = 0;
    for (qsizetype i = 0; i < n; ++i)
        total += entryAt(i).size + 2;
    out.reserve(total);
    for (qsizetype i = 0; i < n; ++i) {
        const Entry& e = entryAt(i);
        out.append(bytesOf(e));
        if (e.closed)
            out.append("\r\n", 2);
    }
    return QString::fromUtf8(out);
}

void MessageLog::beginAside(const QString& header)
{
    m_hidden = qsizetype(m_entries.size());
    m_asideActive = true;
    pushNewest(header.toUtf8(), false);
    trim();
    emit reset();
}

void MessageLog::endAside(const QString& closing)
{
    const qsizetype visible = lineCount();
    const QByteArray closingUtf8 = closing.toUtf8();
    if (visible > 0 && !entryAt(visible - 1).closed) {
        // The open header gets the closing text after it; stored anew at the end.
        Entry& e = m_entries[size_t(m_hidden)];
        const QByteArray joined = bytesOf(e).toByteArray() + closingUtf8;
        e = store(joined, true);
    } else {
        const Entry e = store(closingUtf8, true);
        m_entries.insert(size_t(m_hidden), e);
    }
    m_hidden = 0;
    m_asideActive = false;
    trim();
    emit reset();
}
