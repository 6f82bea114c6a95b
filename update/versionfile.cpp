/// @brief Cutting the version, the comment and the program list out of the version file; version order.
#include "update/versionfile.h"

#include <QRegularExpression>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

QString beforeCrLf(const QString& text)
{
    const qsizetype cut = text.indexOf(kCrLf);
    return cut < 0 ? text : text.left(cut);
}

} // namespace

VersionFile::VersionFile(const QByteArray& body) : m_text(QString::fromLatin1(body)) {}

qsizetype VersionFile::versionMarker() const { return m_text.indexOf(QStringLiteral("[version]\r\n")) + 1; }

UpdateError VersionFile::lengthValue(const QString& header, qint64& value)
{
    bool ok = false;
    value = header.trimmed().toLongLong(&ok);
    // A negative length is no length.
    if (ok && value < 0)
        ok = false;
    return ok ? UpdateError::None : UpdateError::TypeMismatch;
}

QString VersionFile::advertisedVersion() const
{
    const qsizetype p = versionMarker();
    return p == 0 ? QString() : beforeCrLf(m_text.mid(p - 1 + 11));
}

UpdateError VersionFile::comment(QString& comment) const
{
    comment.clear();
    const qsizetype q = m_text.indexOf(QStringLiteral("[comments]")) + 1;
    if (q == 0)
        return UpdateError::None;
    // The marker is taken to be followed by CR LF, whatever follows it; the file must at least be
    // that long.
    if (m_text.size() < q + 11)
        return UpdateError::InvalidArgument;
    comment = beforeCrLf(m_text.mid(q - 1 + 12));
    return UpdateError::None;
}

std::optional<VersionFile::Listed> VersionFile::listed(const QString& fileName) const
{
    const QString marker = QStringLiteral("[sha256]\r\n");
    const qsizetype start = m_text.indexOf(marker);
    if (start < 0 || fileName.isEmpty())
        return std::nullopt;
    // The list ends at the first line that is not such a line. A line without its size (the plain
    // sha256sum form) ends it too: without a size the publisher vouches for, nothing bounds the
    // download.
    static const QRegularExpression line(QStringLiteral("^([0-9A-Fa-f]{64})[ \\t]+([0-9]{1,15})[ \\t]+\\*?(.+)$"));
    const QStringList lines = m_text.mid(start + marker.size()).split(kCrLf);
    for (const QString& l : lines) {
        const auto m = line.match(l);
        if (!m.hasMatch())
            break;
        if (m.captured(3) == fileName)
            return Listed{QByteArray::fromHex(m.captured(1).toLatin1()), m.captured(2).toLongLong()};
    }
    return std::nullopt;
}

bool VersionFile::trustedCommentNames(const QByteArray& trustedComment, const QString& fileName, const QString& version)
{
    bool file = false;
    bool named = false;
    const QByteArray fileToken = "file:" + fileName.toLatin1();
    const QByteArray versionToken = "version:" + version.toLatin1();
    for (const QByteArray& word : trustedComment.split(' ')) {
        for (const QByteArray& token : word.split('\t')) {
            file = file || token == fileToken;
            named = named || token == versionToken;
        }
    }
    return file && named && !version.isEmpty() && !fileName.isEmpty();
}

std::optional<QList<quint32>> VersionFile::versionParts(const QString& version)
{
    const QStringList parts = version.split(u'.');
    if (parts.size() > 8)
        return std::nullopt;
    QList<quint32> out;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 9)
            return std::nullopt;
        for (QChar c : part)
            if (c < u'0' || c > u'9')
                return std::nullopt;
        out.append(part.toUInt());
    }
    return out;
}

int VersionFile::compareVersions(const QList<quint32>& a, const QList<quint32>& b)
{
    for (qsizetype i = 0; i < qMax(a.size(), b.size()); ++i) {
        const quint32 x = a.value(i, 0);
        const quint32 y = b.value(i, 0);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}
