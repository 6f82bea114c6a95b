/// @brief The run's description beside its data file: "<data file name>.json", rewritten atomically at run start, on
/// changes and at run stop.
#pragma once

#include "link/calibration.h"
#include "link/dataoptions.h"
#include "measure/linkhealth.h"
#include "platform/fileerror.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

/// The data file holds only records, exactly as it always has; everything needed to read it
/// again later (the calibration and Tau values the lines were converted with, the options, the
/// instrument) goes here instead. Each save writes a temporary file and renames it over the
/// old one, so a reader sees either the previous or the new content, never a torn one. A link,
/// a FIFO or a folder at the sidecar's name makes the save fail and is left as it is. The
/// description at run start is saved with "complete": false; only the stop sets it true, so a
/// crash leaves a sidecar that says the run never ended. A save that fails leaves the last good
/// file in place.
///
/// Knows nothing of the models: the owner fills the Description.
class RunSidecar {
public:
    static constexpr int FormatVersion = 1;
    static inline const QString Kind = QStringLiteral("Tallyscope run");

    /// The calibration in force from entry `entriesBefore` of the data file on.
    struct CalibrationChange {
        QDateTime time;
        QString reason;
        quint64 entriesBefore = 0;
        Calibration calibration;
    };
    /// A run that ends by itself after a number of records or a time (0: that bound is not set).
    struct Acquisition {
        quint64 records = 0;
        qint64 milliseconds = 0;
        /// Records that came after the bound ended it and before the description was finished:
        /// in none of the run's figures and not in its file.
        quint64 recordsAfterStop = 0;
        bool operator==(const Acquisition&) const = default;
    };
    struct Register {
        int index = 0;
        QString name;
        std::optional<int> value;
    };
    struct Description {
        QString programVersion;
        QString dataFileName;
        QDateTime start;
        /// Invalid until the run stops.
        QDateTime stop;
        bool complete = false;
        QString address;
        quint16 port = 0;
        QString fpgaVersion;
        QString moduleVersion;
        /// QLocale name the calibration's texts are spelled in and the lines were formatted in;
        /// empty: the default locale.
        QString locale;
        DataOptions options;
        /// Kept in the file as texts (JSON strings) in `locale`: the cells as whole readings or
        /// "???", the taus spelled so that a reader in that locale reads the same numbers back.
        Calibration calibration;
        QList<CalibrationChange> calibrationChanges;
        std::optional<int> dacACode;
        std::optional<QString> dacAEntry;
        QList<Register> registers;
        quint64 recordsDecoded = 0;
        quint64 entriesWritten = 0;
        LinkHealthFigures linkHealth;
        QString dataFileError;
        /// Only for a bounded acquisition; a plain run's description has no such key.
        std::optional<Acquisition> acquisition;
    };

    /// The data file's path with ".txt" replaced by ".json" (appended when there is no ".txt").
    static QString pathFor(const QString& dataFilePath);
    /// ISO 8601 with milliseconds and the UTC offset.
    static QString timeText(const QDateTime& time);

    static QByteArray toJson(const Description& description);
    /// Reads what toJson wrote; empty with errorText when the text is not a sidecar of a
    /// format this program knows or a calibration text is missing. The calibration's texts are
    /// read in the locale named `readIn`, by default the sidecar's own.
    static std::optional<Description> fromJson(const QByteArray& json, QString* errorText = nullptr,
                                               const std::optional<QString>& readIn = std::nullopt);

    /// Starts describing the run of `dataFilePath` and saves at once.
    bool begin(const QString& dataFilePath, const Description& description);
    bool isActive() const { return m_active; }
    /// The current sidecar's path, or the last one's.
    QString path() const { return m_path; }
    Description& description() { return m_description; }
    const Description& description() const { return m_description; }
    /// Saves the description as it stands now. False (with errorString()) when not active or
    /// the file could not be written; the previous content then stays.
    bool save();
    /// Marks the description complete with its stop time, saves and stops describing.
    bool finish(const QDateTime& stop);
    /// Saves a finished description once more, with what was learnt after the stop (a closing
    /// sync of the data file that failed). False (with errorString()) when nothing was finished
    /// or the file could not be written.
    bool saveFinished();
    /// Empty after every successful save.
    QString errorString() const { return m_error; }
    /// The kind of the last save's failure; None after every successful save.
    FileFailure failure() const { return m_failure; }

    /// Disk space held beyond the sidecar's end where the file system allows it (Linux): on a
    /// full disk the new copy of a save has no room of its own, and giving this back makes it.
    static constexpr qint64 ReserveBytes = 16 * 1024;

private:
    bool writeWhole(const QByteArray& bytes);
    void holdReserve(qint64 size);
    /// Gives the held room back: the file at the name cut to the size last saved.
    bool trimToSaved();

    QString m_path;
    Description m_description;
    QString m_error;
    FileFailure m_failure = FileFailure::None;
    bool m_active = false;
    bool m_reserved = false;
    qint64 m_savedSize = 0;
};
