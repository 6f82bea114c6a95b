/// @brief What the update tests publish: version files with digests, program bytes, version blocks.
#pragma once

#include "tests/update/testsigner.h"

#include <QCryptographicHash>
#include <QString>

namespace updatefixtures {

/// Bytes that a text-mode request refuses (they hold NUL bytes), `size` long.
inline QByteArray program(qsizetype size, char tag)
{
    QByteArray b(size, '\0');
    for (qsizetype i = 0; i < size; i += 7)
        b[i] = char(tag + i % 13);
    return b;
}

inline QByteArray digestLine(const QByteArray& bytes, const QString& name)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + ' ' + name.toLatin1() + "\r\n";
}

/// A version file as the publisher writes it: CR LF lines, version, optional comment, digests.
inline QByteArray versionFile(const QString& version, const QString& comment, const QByteArray& digests)
{
    QByteArray t = "[version]\r\n" + version.toLatin1() + "\r\n";
    if (!comment.isNull())
        t += "[comments]\r\n" + comment.toLatin1() + "\r\n";
    t += "[sha256]\r\n" + digests;
    return t;
}

/// A version-information block with the layout the reader expects.
inline QByteArray versionBlock(const QString& fileVersion)
{
    const QString chars = QStringLiteral("VS_VERSION_INFO") + QChar(0) + QStringLiteral("FileVersion") + QChar(0)
                          + QChar(0) + fileVersion + QChar(0);
    QByteArray out;
    for (QChar c : chars) {
        out.append(char(c.unicode() & 0xff));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

inline QByteArray flipBit(QByteArray bytes, qsizetype at)
{
    bytes[at] = char(bytes[at] ^ 0x04);
    return bytes;
}

} // namespace updatefixtures
