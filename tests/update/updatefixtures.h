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
inline QString trustedComment(const QByteArray& versionFileText,
                              const QString& fileName = QStringLiteral("tallyscope.ver"))
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

/// What the platform appends to a program's name: the update fetches, and the changeover program
/// replaces, "tallyscope" with it. Stated here on its own rather than asked of the update code, so
/// that a wrong suffix there shows as a test failure.
inline QString exeSuffix()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return {};
#endif
}

#ifdef TALLYSCOPE_STANDIN_EXE
// Only the tests that start panels are built with the stand-in program.

/// How a copy of the stand-in program (tests/update/standinpanel.cpp) behaves when started.
enum class StandIn {
    Healthy,   ///< records "started", then reports a healthy start by removing <itself>.old
    Ends,      ///< records "started" and ends, leaving the .old file
    Hangs,     ///< records "started", then sleeps 20 s
    Restarted, ///< records "restarted" and ends (the old panel, put back and started again)
    Waits,     ///< sleeps 60 s (the running panel the changeover waits for)
};

/// A program whose behaviour is `mode`: the stand-in's bytes, `block`, then the line naming the
/// mode. Each mode gives other bytes, and an executable's header holds NUL bytes, so the update's
/// text probe sees a program. Empty when the stand-in cannot be read.
inline QByteArray standInProgram(StandIn mode, QByteArrayView block = {})
{
    static const QByteArray program = [] {
        QFile f(QStringLiteral(TALLYSCOPE_STANDIN_EXE));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    if (program.isEmpty())
        return {};
    QByteArray name;
    switch (mode) {
    case StandIn::Healthy:
        name = "healthy";
        break;
    case StandIn::Ends:
        name = "ends";
        break;
    case StandIn::Hangs:
        name = "hangs";
        break;
    case StandIn::Restarted:
        name = "restarted";
        break;
    case StandIn::Waits:
        name = "waits";
        break;
    }
    return program + block.toByteArray() + "\nSTANDIN:" + name + "\n";
}

/// A program folder whose panel ("tallyscope" with the platform's suffix) carries this build's
/// version block. Started, it only records that, so that a changeover that puts it back and
/// restarts it cannot start a test program again.
struct ProgramFolder {
    ProgramFolder()
    {
        const QByteArray bytes = standInProgram(StandIn::Restarted, VersionBlock::embedded());
        ok = dir.isValid() && !bytes.isEmpty() && writeAll(panel(), bytes, true);
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    QString panel() const { return path(QStringLiteral("tallyscope") + exeSuffix()); }
    QTemporaryDir dir;
    bool ok = false;
};

#endif // TALLYSCOPE_STANDIN_EXE

} // namespace updatefixtures
