/// @brief libFuzzer harness: the update version file and its Content-length header, as an untrusted server may send them.
//
// Input: byte 0 picks where the length comes from (0: the body's own size, as a healthy server
// sends it; 1: the body's size plus the signed 8-bit delta in byte 1; 2: the header's first 8
// bytes as any 64-bit value a header text can spell; otherwise the header text itself);
// byte 2 is the header text's size n, then n bytes of header text, then the body. The file name
// asked for under "[sha256]" is the last word of the body when the input's byte 1 is odd, else a
// fixed name.
//
// The expected values are cut out of the raw bytes with QByteArray searches, not with the
// parser's QString arithmetic, so an off-by-one in the marker positions shows.

#include "fuzzcheck.h"
#include "update/versionfile.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

QByteArray lineFrom(const QByteArray& body, qsizetype start)
{
    const QByteArray rest = body.mid(start);
    const qsizetype cut = rest.indexOf("\r\n");
    return cut < 0 ? rest : rest.left(cut);
}

bool plainDecimal(const QByteArray& t)
{
    const QByteArray s = t.trimmed();
    qsizetype i = (s.startsWith('-') || s.startsWith('+')) ? 1 : 0;
    if (i == s.size() || s.size() - i > 18)
        return false;
    for (; i < s.size(); ++i)
        if (s.at(i) < '0' || s.at(i) > '9')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t mode = data[0];
    const int8_t delta = int8_t(data[1]);
    const std::size_t headerSize = std::min<std::size_t>(data[2], size - 3);
    const QByteArray header(reinterpret_cast<const char*>(data + 3), qsizetype(headerSize));
    const QByteArray body(reinterpret_cast<const char*>(data + 3 + headerSize), qsizetype(size - 3 - headerSize));

    const VersionFile file(body);

    const qsizetype p = file.versionMarker();
    FUZZ_CHECK(p == body.indexOf("[version]\r\n") + 1, "versionMarker %lld", static_cast<long long>(p));

    qint64 length = body.size();
    if (mode == 1) {
        length += delta;
    } else if (mode == 2) {
        if (header.size() < qsizetype(sizeof length))
            return 0;
        std::memcpy(&length, header.constData(), sizeof length);
    } else if (mode > 2) {
        const int e = VersionFile::lengthValue(QString::fromLatin1(header), length);
        FUZZ_CHECK(e == 0 || e == 13, "lengthValue returned %d", e);
        // A plain decimal is taken as it reads, unless it is negative: no length at all.
        if (plainDecimal(header)) {
            const qint64 expected = header.trimmed().toLongLong();
            FUZZ_CHECK(expected < 0 ? e == 13 : (e == 0 && length == expected), "lengthValue(\"%s\") = %d, %lld",
                       header.constData(), e, static_cast<long long>(length));
        }
        FUZZ_CHECK(e != 0 || length >= 0, "lengthValue accepted a negative length");
        if (!header.contains('0') && !header.contains('1') && !header.contains('2') && !header.contains('3')
            && !header.contains('4') && !header.contains('5') && !header.contains('6') && !header.contains('7')
            && !header.contains('8') && !header.contains('9'))
            FUZZ_CHECK(e == 13, "lengthValue accepted a header without a digit");
        if (e != 0)
            return 0;
    }

    QString version = QStringLiteral("untouched");
    const int ev = file.advertisedVersion(length, version);
    FUZZ_CHECK(ev == 0 || ev == 5, "advertisedVersion returned %d", ev);
    if (ev == 0) {
        FUZZ_CHECK(!version.contains(QLatin1String("\r\n")), "version holds a line end");
        FUZZ_CHECK(QString::fromLatin1(body).endsWith(version) || QString::fromLatin1(body).contains(version + QLatin1String("\r\n")),
                   "version is not a piece of the body");
        if (length == body.size() && p > 0)
            FUZZ_CHECK(version == QString::fromLatin1(lineFrom(body, p - 1 + 11)), "version \"%s\"",
                       qPrintable(version));
    }

    QString comment = QStringLiteral("untouched");
    const int ec = file.comment(length, comment);
    FUZZ_CHECK(ec == 0 || ec == 5, "comment returned %d", ec);
    const qsizetype q = body.indexOf("[comments]") + 1;
    if (q == 0)
        FUZZ_CHECK(ec == 0 && comment.isEmpty(), "comment without a marker");
    if (ec == 0) {
        FUZZ_CHECK(!comment.contains(QLatin1String("\r\n")), "comment holds a line end");
        if (length == body.size() && q > 0) {
            // The marker is taken to be followed by CR LF, whatever really follows it.
            FUZZ_CHECK(comment == QString::fromLatin1(lineFrom(body, q - 1 + 12)), "comment \"%s\"",
                       qPrintable(comment));
        }
    }

    QString name = QStringLiteral("tallyscope");
    if (delta & 1) {
        // The last word of the last line: where a listed name stands.
        const qsizetype cut = std::max({body.lastIndexOf("\r\n") + 1, body.lastIndexOf(' '), body.lastIndexOf('*')});
        name = QString::fromLatin1(body.mid(cut + 1));
    }
    const QByteArray digest = file.digestFor(name);
    FUZZ_CHECK(digest.isEmpty() || digest.size() == 32, "digest of %lld bytes", static_cast<long long>(digest.size()));
    if (!digest.isEmpty()) {
        FUZZ_CHECK(body.contains("[sha256]\r\n"), "digest without its marker");
        FUZZ_CHECK(body.contains(digest.toHex()) || body.toLower().contains(digest.toHex()),
                   "digest not written in the body");
        FUZZ_CHECK(!name.isEmpty() && QString::fromLatin1(body).contains(name), "digest for a name not in the body");
    }
    return 0;
}
