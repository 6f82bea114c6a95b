/// @brief The executable's own version-information block: embedded at build time, found in the file on disk, read for
/// "FileVersion".
#pragma once

#include "update/updateerror.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

/// The block is laid out like a Windows version resource as far as the update check reads it:
/// 16-bit little-endian characters, the key "FileVersion", its NUL, one padding character, then
/// the version text and a NUL. The build places it in every executable that links the update
/// code, behind a marker, so that the version of the file on disk is what is compared; a file
/// replaced under a running panel reports its own version, not the running one's.
class VersionBlock {
public:
    /// The running version: at most 50 characters from 13 past the first "FileVersion", cut before
    /// the first NUL. InvalidArgument when there is no NUL among them (an empty block included).
    static UpdateError fileVersion(const QByteArray& block, QString& version);

    /// The block inside the bytes of an executable file; empty when the file carries none.
    static QByteArray extract(QByteArrayView fileBytes);

    /// extract() over the file at `path`, mapped rather than read; empty when unreadable.
    static QByteArray readFromFile(const QString& path);

    /// The block this build embedded, as it lies in memory.
    static QByteArrayView embedded();
};
