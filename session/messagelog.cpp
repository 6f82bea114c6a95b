/// @brief Message log model: prepends are O(1), the oldest lines fall off past the capacity.
#include "session/messagelog.h"

#include "platform/smallcopy.h"

#include <algorithm>
#include <cstring>

namespace {
const QString CrLf = QStringLiteral("\r\n");
constexpr QByteArrayView CrLfBytes("\r\n", 2);

/// Where the line after the first `lines` lines of `bytes` starts (each line ends in LF;
/// there are that many). A bulk trim cuts tens of thousands of lines off a run: eight bytes
/// at a time, counting the LFs in each word, rather than a search per line.
qsizetype afterLines(QByteArrayView bytes, quint64 lines)
{
    constexpr quint64 Ones = 0x0101010101010101u;
    constexpr quint64 Low7 = 0x7F7F7F7F7F7F7F7Fu;
    if (lines == 0)
        return 0;
    const char* const data = bytes.data();
    qsizetype at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        quint64 word;
        std::memcpy(&word, data + at, 8);
        const quint64 x = word ^ (Ones * '\n');
        // The high bit of each byte that is not zero; what is left are the LFs. Their count is
        // summed into the top byte by one multiplication: a popcount without the instruction is a
        // library call on the baseline x86-64 this is built for.
        const quint64 nonZero = ((x & Low7) + Low7) | x;
        const quint64 found = (((~nonZero & ~Low7) >> 7) * Ones) >> 56;
        if (found >= lines)
            break;
        lines -= found;
    }
    while (true) {
        if (data[at++] == '\n' && --lines == 0)
            return at;
    }
}
} // namespace

MessageLog::MessageLog(QObject* parent, qsizetype capacity) : QObject(parent), m_capacity(capacity) {}

void MessageLog::EntryRing::grow()
{
    std::vector<Entry> bigger(std::max<size_t>(64, m_items.size() * 2));
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

MessageLog::Chunk& MessageLog::chunkWithRoom(qsizetype n)
{
    if (m_chunks.empty() || m_chunks.back().size + n > m_chunks.back().capacity) {
        Chunk c;
        if (!m_spares.empty() && m_spares.back().capacity >= n) {
            c = std::move(m_spares.back());
            m_spares.pop_back();
        } else {
            c.capacity = std::max(ChunkBytes, n);
            c.data = std::make_unique_for_overwrite<char[]>(size_t(c.capacity));
        }
        c.start = m_nextPos;
        c.size = 0;
        m_chunks.push_back(std::move(c));
    }
    return m_chunks.back();
}

quint64 MessageLog::store(QByteArrayView first, QByteArrayView second)
{
    const qsizetype n = first.size() + second.size();
    Chunk& c = chunkWithRoom(n);
    const quint64 pos = c.start + quint64(c.size);
    char* to = c.data.get() + c.size;
    if (!first.isEmpty())
        std::memcpy(to, first.data(), size_t(first.size()));
    to += first.size();
    // The second part is a line end: two stores, not a call.
    for (char byte : second)
        *to++ = byte;
    c.size += n;
    m_nextPos = pos + quint64(n);
    return pos;
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

QByteArrayView MessageLog::lineOf(const Entry& e, quint64 index) const
{
    const QByteArrayView bytes = bytesOf(e);
    if (!e.run)
        return bytes;
    // The starts of the run's lines, found once per run and extended as it grows.
    if (m_offsetsPos != e.pos) {
        m_offsetsPos = e.pos;
        m_offsets.assign(1, 0);
    }
    while (m_offsets.size() <= index) {
        const char* from = bytes.data() + m_offsets.back();
        const auto* lf = static_cast<const char*>(std::memchr(from, '\n', size_t(bytes.size() - m_offsets.back())));
        m_offsets.push_back(quint32(lf - bytes.data() + 1));
    }
    const quint32 start = m_offsets[index];
    const char* lf = static_cast<const char*>(std::memchr(bytes.data() + start, '\n', size_t(bytes.size() - start)));
    return QByteArrayView(bytes.data() + start, qsizetype(lf - bytes.data() - start - 1));
}

size_t MessageLog::entryHolding(quint64 number) const
{
    size_t low = 0;
    size_t high = m_entries.size();
    while (high - low > 1) {
        const size_t mid = (low + high) / 2;
        if (m_entries[mid].firstLine <= number)
            low = mid;
        else
            high = mid;
    }
    return low;
}

QString MessageLog::line(qsizetype row) const
{
    const quint64 number = m_lineEnd - 1 - quint64(row);
    const Entry& e = m_entries[entryHolding(number)];
    return QString::fromUtf8(lineOf(e, number - e.firstLine));
}

qsizetype MessageLog::storedBytes() const
{
    qsizetype n = qsizetype(m_entries.size() * sizeof(Entry));
    for (const Chunk& c : m_chunks)
        n += c.capacity;
    return n;
}

void MessageLog::pushNewest(QByteArrayView utf8, bool closed)
{
    Entry e;
    e.pos = store(utf8);
    e.firstLine = m_lineEnd++;
    e.size = quint32(utf8.size());
    e.closed = closed;
    m_entries.push_back(e);
}

void MessageLog::releaseChunks()
{
    // Every live entry lies at or after the oldest one's position (rewritten lines are stored
    // anew at the end), so chunks wholly before it can go.
    const quint64 oldest = m_entries.empty() ? m_nextPos : m_entries[0].pos;
    while (m_chunks.size() > 1 && m_chunks[1].start <= oldest) {
        if (m_chunks.front().capacity == ChunkBytes && m_spares.size() < MaxSpares)
            m_spares.push_back(std::move(m_chunks.front()));
        m_chunks.pop_front();
    }
    if (m_entries.empty())
        m_chunks.clear();
}

qsizetype MessageLog::lineCount() const { return qsizetype(totalLines() - std::max(excessLines(), m_hiddenLines)); }

void MessageLog::trim()
{
    const quint64 slack = std::min(TrimSlack, quint64(m_capacity));
    quint64 total = totalLines();
    if (total <= quint64(m_capacity) + slack) {
        m_trimAt = m_entries.empty() ? 0 : m_entries[0].firstLine + quint64(m_capacity) + slack;
        return;
    }
    while (total > quint64(m_capacity)) {
        Entry& front = m_entries[0];
        const quint64 excess = total - quint64(m_capacity);
        const bool hidden = m_hidden > 0;
        if (front.lines <= excess) {
            if (hidden) {
                --m_hidden;
                m_hiddenLines -= front.lines;
            }
            total -= front.lines;
            m_entries.pop_front();
            continue;
        }
        // The oldest lines of a run fall off its front.
        const QByteArrayView bytes = bytesOf(front);
        const qsizetype cut = afterLines(bytes, excess);
        front.pos += quint64(cut);
        front.size -= quint32(cut);
        front.lines -= quint32(excess);
        front.firstLine += excess;
        if (hidden)
            m_hiddenLines -= excess;
        total -= excess;
    }
    m_trimAt = m_entries.empty() ? 0 : m_entries[0].firstLine + quint64(m_capacity) + slack;
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
        // The text goes on top as given: its first line ends up the newest.
        const QStringList parts = text.split(CrLf);
        for (qsizetype i = parts.size() - 1; i >= 0; --i)
            pushNewest(parts.at(i).toUtf8(), true);
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
    // ASCII is its own UTF-8. A record line right after the last one joins its run when the
    // run's chunk has room for it.
    const qsizetype n = line.size() + 2;
    Entry* last = openRun();
    Chunk* chunk = m_chunks.empty() ? nullptr : &m_chunks.back();
    if (last && chunk->size + n <= chunk->capacity) {
        char* to = chunk->data.get() + chunk->size;
        copySmall(to, line.data(), size_t(line.size()));
        to[line.size()] = '\r';
        to[line.size() + 1] = '\n';
        chunk->size += n;
        m_nextPos += quint64(n);
        last->size += quint32(n);
        ++last->lines;
        ++m_lineEnd;
    } else {
        Entry e;
        e.pos = store(line, CrLfBytes);
        e.firstLine = m_lineEnd++;
        e.size = quint32(n);
        e.run = true;
        m_entries.push_back(e);
    }
    ++m_appended;
    if (m_lineEnd > m_trimAt)
        trim();
    if (!m_changeSignalled) {
        m_changeSignalled = true;
        emit changed();
    }
}

void MessageLog::appendAsciiLines(QByteArrayView bytes, qsizetype lines)
{
    const char* from = bytes.data();
    qsizetype left = bytes.size();
    qsizetype linesLeft = lines;
    while (left > 0) {
        Entry* last = openRun();
        bool joins = last != nullptr;
        Chunk* chunk = m_chunks.empty() ? nullptr : &m_chunks.back();
        // As many whole lines as the newest chunk has room for; a new chunk when not one fits.
        qsizetype take = wholeLinesWithin(from, left, chunk ? chunk->capacity - chunk->size : 0);
        if (take == 0) {
            chunk = &chunkWithRoom(std::min(left, ChunkBytes));
            joins = false;
            take = wholeLinesWithin(from, left, chunk->capacity - chunk->size);
        }
        qsizetype taken = linesLeft;
        if (take < left) {
            taken = 0;
            for (qsizetype i = 0; i < take; ++i)
                taken += from[i] == '\n';
        }
        std::memcpy(chunk->data.get() + chunk->size, from, size_t(take));
        chunk->size += take;
        if (joins) {
            last->size += quint32(take);
            last->lines += quint32(taken);
        } else {
            Entry e;
            e.pos = m_nextPos;
            e.firstLine = m_lineEnd;
            e.size = quint32(take);
            e.lines = quint32(taken);
            e.run = true;
            m_entries.push_back(e);
        }
        m_nextPos += quint64(take);
        m_lineEnd += quint64(taken);
        from += take;
        left -= take;
        linesLeft -= taken;
    }
    m_appended += quint64(lines);
    if (m_lineEnd > m_trimAt)
        trim();
    if (lines > 0 && !m_changeSignalled) {
        m_changeSignalled = true;
        emit changed();
    }
}

MessageLog::Entry* MessageLog::openRun()
{
    if (m_entries.empty() || m_chunks.empty() || qsizetype(m_entries.size()) <= m_hidden)
        return nullptr;
    Entry& last = m_entries.back();
    return last.run && last.pos + last.size == m_nextPos ? &last : nullptr;
}

qsizetype MessageLog::wholeLinesWithin(const char* from, qsizetype size, qsizetype room)
{
    if (size <= room)
        return size;
    qsizetype end = room;
    while (end > 0 && from[end - 1] != '\n')
        --end;
    return end;
}

void MessageLog::setText(const QString& text)
{
    // Only the visible lines are replaced; lines kept aside by a calibration stay aside.
    m_entries.truncate(size_t(m_hidden));
    if (!m_entries.empty())
        m_lineEnd = m_entries.back().firstLine + m_entries.back().lines;
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
    out.reserve(
        qsizetype(std::min<quint64>(quint64(m_nextPos - (m_chunks.empty() ? 0 : m_chunks.front().start)), 1u << 30)));
    qsizetype left = lineCount();
    for (size_t i = m_entries.size(); i > size_t(m_hidden) && left > 0; --i) {
        const Entry& e = m_entries[i - 1];
        if (!e.run) {
            out.append(bytesOf(e));
            if (e.closed)
                out.append(CrLfBytes);
            --left;
            continue;
        }
        // A run holds its lines oldest first; the text reads newest first.
        const QByteArrayView bytes = bytesOf(e);
        qsizetype end = bytes.size();
        while (end > 0 && left-- > 0) {
            qsizetype start = end - 2;
            while (start > 0 && bytes[start - 1] != '\n')
                --start;
            out.append(bytes.sliced(start, end - start));
            end = start;
        }
    }
    return QString::fromUtf8(out);
}

void MessageLog::beginAside(const QString& header)
{
    m_hidden = qsizetype(m_entries.size());
    m_hiddenLines = totalLines();
    m_asideActive = true;
    pushNewest(header.toUtf8(), false);
    trim();
    emit reset();
}

void MessageLog::endAside(const QString& closing)
{
    const QByteArray closingUtf8 = closing.toUtf8();
    const bool headerOpen = size_t(m_hidden) < m_entries.size() && !m_entries[size_t(m_hidden)].closed;
    if (headerOpen) {
        // The open header gets the closing text after it; stored anew at the end.
        Entry& e = m_entries[size_t(m_hidden)];
        const QByteArray joined = bytesOf(e).toByteArray() + closingUtf8;
        e.pos = store(joined);
        e.size = quint32(joined.size());
        e.closed = true;
    } else {
        // Between the lines kept aside and the newer ones: every newer line moves up by one.
        Entry e;
        e.pos = store(closingUtf8);
        e.size = quint32(closingUtf8.size());
        e.firstLine = size_t(m_hidden) < m_entries.size() ? m_entries[size_t(m_hidden)].firstLine : m_lineEnd;
        for (size_t i = size_t(m_hidden); i < m_entries.size(); ++i)
            ++m_entries[i].firstLine;
        ++m_lineEnd;
        m_entries.insert(size_t(m_hidden), e);
    }
    m_hidden = 0;
    m_hiddenLines = 0;
    m_asideActive = false;
    trim();
    emit reset();
}
