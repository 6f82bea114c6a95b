/// @brief Cutting the version, the comment and the digests out of the version file.
#include "update/versionfile.h"

#include <QRegularExpression>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// The last `count` characters, all of them when there are fewer.
QString right(const QString& text, qint64 count) { return count >= text.size() ? text : text.right(count); }

QString beforeCrLf(const QString& text)
{
    const qsizetype cut = text.indexOf(kCrLf);
    return cut < 0 ? text : text.left(cut);
}

} // namespace

VersionFile::VersionFile(const QByteArray& body) : m_text(QString::fromLatin1(body)) {}

qsizetype VersionFile::versionMarker() const { return m_text.indexOf(QStringLiteral("[version]\r\n")) + 1; }

int VersionFile::lengthValue(const QString& header, qint64& value)
{
    bool ok = false;
    value = header.trimmed().toLongLong(&ok);
    // A negative length is no length: it would also make the arithmetic below overflow.
    if (ok && value < 0)
        ok = false;
    return ok ? 0 : 13;
}

int VersionFile::advertisedVersion(qint64 contentLength, QString& version) const
{
    if (contentLength < qint64(versionMarker()) + 10)
        return 5;
    const qint64 count = contentLength - versionMarker() - 10;
    version = beforeCrLf(right(m_text, count));
    return 0;
}

int VersionFile::comment(qint64 contentLength, QString& comment) const
{
    comment.clear();
    const qsizetype q = m_text.indexOf(QStringLiteral("[comments]")) + 1;
    if (q == 0)
        return 0;
    if (contentLength < qint64(q) + 11)
        return 5;
    const qint64 count = contentLength - q - 11;
    comment = beforeCrLf(right(m_text, count));
    return 0;
}

QByteArray VersionFile::digestFor(const QString& fileName) const
{
    const QString marker = QStringLiteral("[sha256]\r\n");
    const qsizetype start = m_text.indexOf(marker);
    if (start < 0 || fileName.isEmpty())
        return {};
    // The lines sha256sum prints ("<hex>  name", "<hex> *name") are accepted as they are; the
    // list ends at the first line that is not such a line.
    static const QRegularExpression line(QStringLiteral("^([0-9A-Fa-f]{64})[ \\t]+\\*?(.+)$"));
    const QStringList lines = m_text.mid(start + marker.size()).split(kCrLf);
    for (const QString& l : lines) {
        const auto m = line.match(l);
        if (!m.hasMatch())
            break;
        if (m.captured(2) == fileName)
            return QByteArray::fromHex(m.captured(1).toLatin1());
    }
    return {};
}
