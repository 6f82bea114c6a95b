/// @brief The update directory's version file: the version line, the comment line, the listed programs, and how
/// versions compare.
#pragma once

#include "update/updateerror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

/// The file is read as text with one character per byte, and only its own bytes count: the server's
/// "Content-length" is checked against them, never used to cut them.
class VersionFile {
public:
    /// A program the file vouches for: its SHA-256 and its size in bytes.
    struct Listed {
        QByteArray sha256;
        qint64 size = 0;
    };

    VersionFile() = default;
    explicit VersionFile(const QByteArray& body);

    /// 1-based position of the first "[version]" directly followed by CR LF; 0 when absent.
    qsizetype versionMarker() const;

    /// The numeric value of a "Content-length" text; TypeMismatch for no number (empty included).
    static UpdateError lengthValue(const QString& header, qint64& value);

    /// The advertised version: the rest of the line after the marker's CR LF. Empty without the marker.
    QString advertisedVersion() const;

    /// The comment line after the first "[comments]", empty without the marker.
    /// InvalidArgument: the marker closer to the end than its assumed CR LF.
    UpdateError comment(QString& comment) const;

    /// `fileName` as listed under "[sha256]" ("<64 hex digits> <size> <name>" lines); nothing when
    /// it is not listed with both.
    std::optional<Listed> listed(const QString& fileName) const;

    /// Whether a signature's trusted comment names this file and this version, as the tokens
    /// "file:<fileName>" and "version:<version>" among its blank- or tab-separated words.
    static bool trustedCommentNames(const QByteArray& trustedComment, const QString& fileName, const QString& version);

    /// A version as dot-separated whole numbers ("1.00.0009"): at most 8 parts of 1 to 9 digits.
    static std::optional<QList<quint32>> versionParts(const QString& version);
    /// Part by part, a missing part counting as 0: negative, 0 or positive as a is older, equal or newer.
    static int compareVersions(const QList<quint32>& a, const QList<quint32>& b);

private:
    QString m_text;
};
