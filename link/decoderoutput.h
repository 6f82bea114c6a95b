/// @brief What the reply decoder needs from the window side: log lines, the data file, the heartbeat, Run.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

/// Implemented by the composition root (and by fakes in tests). Every call is made on the
/// user-interface thread from inside ReplyDecoder::feed, synchronously, in decoding order.
class DecoderOutput {
public:
    virtual ~DecoderOutput() = default;

    /// A heartbeat reply came: flash the indicator (ConnectionManager::heartbeatReceived).
    virtual void heartbeat() = 0;
    /// A record line for the top of the message log, without moving the caret.
    virtual void displayLine(const QString& line) = 0;
    /// The complete error line ("Doh! (data) " and the description) for the top of the log,
    /// without moving the caret.
    virtual void errorLine(const QString& line) = 0;
    /// True while a run's data file is open.
    virtual bool fileIsOpen() const = 0;
    /// Appends the bytes to the open data file. On failure returns false and puts a short
    /// reason (e.g. "No space left on device") into errorText; the decoder then takes its
    /// error path.
    virtual bool writeFile(QByteArrayView bytes, QString& errorText) = 0;
    /// The state of the Run switch, for the statistics' min/max restart on the first record.
    virtual bool runTicked() const = 0;
};

/// Told of every record that reached the statistics, after them, for figures beyond count,
/// minimum and maximum (histogram, link health). Optional.
class RecordObserver {
public:
    virtual ~RecordObserver() = default;
    /// dt in ps; a and b the two readings; offset and flags as the record carried them.
    virtual void recordDecoded(qint32 dt, int a, int b, int offset, int flags) = 0;
};
