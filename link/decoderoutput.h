/// @brief The narrow interfaces the reply decoder reports through and reads from; the layers above implement them.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <span>
#include <vector>

/// What the decoder hands to the front ends: log lines, the data file, the heartbeat.
/// Implemented by the session (and by fakes in tests). Every call is made on the
/// user-interface thread from inside ReplyDecoder::feed, synchronously, in decoding order.
class DecoderOutput {
public:
    virtual ~DecoderOutput() = default;

    /// A heartbeat reply came.
    virtual void heartbeat() = 0;
    /// A record line for the top of the message log, without moving the caret.
    virtual void displayLine(const QString& line) = 0;
    /// The same for a line that is plain ASCII, as record lines are: no text to build per record.
    virtual void displayAscii(QByteArrayView line) { displayLine(QString::fromLatin1(line)); }
    /// The complete error line ("Doh! (data) " and the description) for the top of the log,
    /// without moving the caret.
    virtual void errorLine(const QString& line) = 0;
    /// True while a run's data file is open.
    virtual bool fileIsOpen() const = 0;
    /// Appends the bytes to the open data file. On failure returns false and puts a short
    /// reason (e.g. "No space left on device") into errorText; the decoder then takes its
    /// error path.
    virtual bool writeFile(QByteArrayView bytes, QString& errorText) = 0;

    /// An output that takes record lines in bulk says so here. The decoder then collects
    /// consecutive plain record lines (each followed by CR LF, oldest first) and hands them
    /// over together: to the file first, then to the log, before anything else reaches either
    /// and before the arrival ends. Nothing changes in what the file and the log end up
    /// with, only the cost: at millions of records a second, a call per line for each of
    /// them is most of the work.
    virtual bool takesLineBatches() const { return false; }
    /// Bytes the data file takes before the one that hands its buffer to the OS. The decoder
    /// never collects more than this for the file, so a failing hand-over still fails on the
    /// record it would have failed on one by one, and the lines behind it are not decoded.
    virtual qsizetype fileRoom() const { return 0; }
    /// `lines` whole lines for the data file; on failure as writeFile, the last line being
    /// the one that failed.
    virtual bool writeFileLines(QByteArrayView bytes, qsizetype lines, QString& errorText);
    /// `records` raw records of `recordSize` bytes each for the data file; on failure as
    /// writeFileLines, the last record being the one that failed.
    virtual bool writeFileRecords(QByteArrayView bytes, int recordSize, QString& errorText);
    /// `lines` whole lines for the top of the log, the last one newest.
    virtual void displayAsciiLines(QByteArrayView bytes, qsizetype lines);
};

/// One converted record as the decoder hands it on.
struct DecodedRecord {
    qint32 dt;
    quint16 a;
    quint16 b;
    quint8 offset;
    quint8 flags;
};

/// Told of every converted record, in order: the run statistics first, then whoever wants
/// figures beyond count, minimum and maximum (histogram, link health).
class RecordObserver {
public:
    virtual ~RecordObserver() = default;
    /// dt in ps; a and b the two readings; offset and flags as the record carried them.
    virtual void recordDecoded(qint32 dt, int a, int b, int offset, int flags) = 0;
    /// Consecutive records, oldest first. The decoder hands them on in blocks: at millions of
    /// records a second a call per record and observer costs more than what the observers do.
    /// An observer that overrides this loops without a call per record.
    virtual void recordsDecoded(std::span<const DecodedRecord> records)
    {
        for (const DecodedRecord& r : records)
            recordDecoded(r.dt, r.a, r.b, r.offset, r.flags);
    }
    /// Around the records of one arrival, for figures shown once per arrival.
    virtual void arrivalBegins() {}
    virtual void arrivalEnds() {}
};

/// Several observers in the decoder's one place, told in the order they were added.
class RecordFanout : public RecordObserver {
public:
    void add(RecordObserver* observer) { m_observers.push_back(observer); }
    void remove(RecordObserver* observer) { std::erase(m_observers, observer); }
    const std::vector<RecordObserver*>& observers() const { return m_observers; }
    void recordDecoded(qint32 dt, int a, int b, int offset, int flags) override
    {
        for (RecordObserver* o : m_observers)
            o->recordDecoded(dt, a, b, offset, flags);
    }
    void recordsDecoded(std::span<const DecodedRecord> records) override
    {
        for (RecordObserver* o : m_observers)
            o->recordsDecoded(records);
    }

private:
    std::vector<RecordObserver*> m_observers;
};

/// Told of each register reply ("0".."7"), with the value as that register shows it.
/// The calibration capture implements it: during a calibration, the ADC registers are the cells.
class RegisterReplies {
public:
    virtual ~RegisterReplies() = default;
    virtual void registerReplied(int index, int shownValue) = 0;
};

/// Told of the version reply, with the captions the window shows for the FPGA and the
/// network module. The version model implements it.
class VersionReplies {
public:
    virtual ~VersionReplies() = default;
    virtual void versionReplied(const QString& fpgaCaption, const QString& moduleCaption) = 0;
};
