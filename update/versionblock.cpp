/// @brief The embedded version block and its reader.
#include "update/versionblock.h"

#include <QFile>

#ifndef TALLYSCOPE_FILE_VERSION
#error "TALLYSCOPE_FILE_VERSION (\"1.00.0008\" style) comes from the build"
#endif

namespace {

// Kept in the object by [[gnu::used]] although nothing but embedded() refers to it, and laid out
// in UTF-16 so that the ASCII marker constant below never matches it by accident.
[[gnu::used]] const char16_t kBlock[] = u"TALLYSCOPE-VERSION-BLOCK"
                                        u"\0"
                                        u"VS_VERSION_INFO"
                                        u"\0"
                                        u"FileVersion"
                                        u"\0"
                                        u"\0" TALLYSCOPE_FILE_VERSION u"\0";

constexpr char kMarker[] = "TALLYSCOPE-VERSION-BLOCK";
// Room for the marker and a FileVersion of the longest readable length.
constexpr qsizetype kBlockBytes = 256;

QByteArray utf16le(const char* ascii)
{
    QByteArray out;
    for (const char* c = ascii; *c; ++c) {
        out.append(*c);
        out.append('\0');
    }
    return out;
}

} // namespace

UpdateError VersionBlock::fileVersion(const QByteArray& block, QString& version)
{
    QString chars;
    chars.reserve(block.size() / 2);
    for (qsizetype i = 0; i + 1 < block.size(); i += 2)
        chars.append(QChar(char16_t(quint8(block[i]) | (quint8(block[i + 1]) << 8))));
    const qsizetype k = chars.indexOf(QStringLiteral("FileVersion")) + 1;
    const QString window = chars.mid(k + 13 - 1, 50);
    const qsizetype nul = window.indexOf(QChar(u'\0'));
    if (nul < 0)
        return UpdateError::InvalidArgument;
    version = window.left(nul);
    return UpdateError::None;
}

QByteArray VersionBlock::extract(QByteArrayView fileBytes)
{
    const QByteArray marker = utf16le(kMarker);
    const qsizetype at = fileBytes.indexOf(marker);
    if (at < 0)
        return {};
    return fileBytes.sliced(at, qMin(kBlockBytes, fileBytes.size() - at)).toByteArray();
}

QByteArray VersionBlock::readFromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
        return {};
    if (const uchar* mapped = file.map(0, file.size()))
        return extract(QByteArrayView(mapped, file.size()));
    return extract(file.readAll());
}

QByteArrayView VersionBlock::embedded() { return {reinterpret_cast<const char*>(kBlock), sizeof kBlock}; }
