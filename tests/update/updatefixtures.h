/// @brief What the update tests publish: version files with digests, program bytes, version blocks.
#pragma once

#include "tests/update/testsigner.h"
#include "update/versionblock.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace updatefixtures {

/// Bytes that a text-mode request refuses (they hold NUL bytes), `size` long.
inline QByteArray program(qsizetype size, char tag)
{
    QByteArray b(size, '\0');
    for (qsizetype i = 0; i < size; i += 7)
        b[i] = char(tag + i % 13);
    return b;
}

/// "<sha256> <size> <name>" and CR LF, as the publisher lists a program.
inline QByteArray digestLine(const QByteArray& bytes, const QString& name)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + ' ' + QByteArray::number(bytes.size())
           + ' ' + name.toLatin1() + "\r\n";
}

/// The trusted comment the publisher signs with: the file and the version its text states.
inline QString trustedComment(const QByteArray& versionFileText, const QString& fileName = QStringLiteral("tallyscope.ver"))
{
    const qsizetype at = versionFileText.indexOf("[version]\r\n");
    const QByteArray version = at < 0 ? QByteArray() : versionFileText.mid(at + 11).split('\r').value(0);
    return QStringLiteral("timestamp:1\tfile:%1\tversion:%2").arg(fileName, QString::fromLatin1(version));
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
    return QByteArray(reinterpret_cast<const char*>(chars.utf16()), chars.size() * 2); // UTF-16LE on this machine
}

inline QByteArray flipBit(QByteArray bytes, qsizetype at) { return bytes[at] = char(bytes[at] ^ 0x04), bytes; }

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes, bool executable = false)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size()
           && (!executable || f.setPermissions(f.permissions() | QFileDevice::ExeOwner));
}

/// A stand-in for a new panel: records that it ran; `healthy` also reports a healthy start the
/// way the panel does, by removing the backup the changeover program keeps. Ends before its NUL
/// padding, which makes it a program to the update's text probe.
inline QByteArray newPanelScript(bool healthy = true, const QByteArray& then = "exit 0")
{
    return QByteArray("#!/bin/sh\n") + (healthy ? "rm -f \"$0.old\"\n" : "")
           + "echo \"started $*\" > \"$(dirname \"$0\")/started\"\n" + then + "\n" + QByteArray(3000, '\0');
}

/// A program folder whose "tallyscope" carries this build's version block. It is a script that
/// only records being started, so that a changeover that puts it back and restarts it cannot
/// start a test program again.
struct ProgramFolder {
    ProgramFolder()
        : ok(dir.isValid() && writeAll(panel(), "#!/bin/sh\necho restarted > \"$(dirname \"$0\")/restarted\"\nexit 0\n" + QByteArray(100, '\0')
                                                       + VersionBlock::embedded().toByteArray(), true))
    {
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    QString panel() const { return path(QStringLiteral("tallyscope")); }
    QTemporaryDir dir;
    bool ok;
};

} // namespace updatefixtures
