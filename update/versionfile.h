/// @brief The update directory's version file: the version line, the comment line and the file digests.
#pragma once

#include <QByteArray>
#include <QString>

/// The file is read as text with one character per byte. The version and the comment are cut out
/// with the server's "Content-length" rather than the body's own length, as the panel always did,
/// so a header that disagrees with the body shifts what is read.
class VersionFile {
public:
    VersionFile() = default;
    explicit VersionFile(const QByteArray& body);

    /// 1-based position of the first "[version]" directly followed by CR LF; 0 when absent.
    qsizetype versionMarker() const;

    /// The numeric value of a "Content-length" text; 0 or 13 (not a number, empty included).
    static int lengthValue(const QString& header, qint64& value);

    /// The advertised version: the last (length - marker - 10) characters, cut before the first
    /// CR LF. Returns 0 or 5 (negative count).
    int advertisedVersion(qint64 contentLength, QString& version) const;

    /// The comment line after the first "[comments]", empty without the marker.
    /// Returns 0 or 5 (the marker closer to the end than its assumed CR LF).
    int comment(qint64 contentLength, QString& comment) const;

    /// The 32-byte SHA-256 listed for `fileName` under "[sha256]", empty when not listed.
    QByteArray digestFor(const QString& fileName) const;

private:
    QString m_text;
};
