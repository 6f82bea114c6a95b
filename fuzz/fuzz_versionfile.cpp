/// @brief libFuzzer harness: the update's version file and its minisign signature read together, as an untrusted server
/// may send them.
//
// Input: byte 0 picks what goes wrong (low three bits) and the signature format (bit 3: legacy);
// bytes 1 and 2 pick a position; the rest is the version file's body. The harness signs the
// body itself with a fixed key, as the publisher would, with a trusted comment naming the file
// and the version the body states, then spoils it as byte 0 says:
//   0: nothing              1: one bit of the body          2: one bit of the signature file
//   3: the key id only      4: the body's first line read as a Content-length header
//   5: another file named   6: the same key id, another key 7: the body itself as the signature file
// Whatever the spoiling, only the untouched signature over the untouched body verifies, and what
// the version file says is cut out of its own bytes. The expected values are found with plain
// QByteArray searches, not with the parser's own code.

#include "fuzzcheck.h"
#include "update/minisignverifier.h"
#include "update/versionfile.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <cstdint>
#include <sodium.h>

namespace {

const QByteArray kKeyId = QByteArray("\x11\x22\x33\x44\x55\x66\x77\x88", 8);

struct Key {
    QByteArray publicKey;
    QByteArray secretKey;
};

Key keyFromSeed(unsigned char first)
{
    unsigned char seed[crypto_sign_SEEDBYTES];
    for (size_t i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<unsigned char>(first + i);
    Key k{QByteArray(crypto_sign_PUBLICKEYBYTES, '\0'), QByteArray(crypto_sign_SECRETKEYBYTES, '\0')};
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char*>(k.publicKey.data()),
                             reinterpret_cast<unsigned char*>(k.secretKey.data()), seed);
    return k;
}

QByteArray sign(const QByteArray& message, const Key& key)
{
    QByteArray s(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(s.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(message.constData()), quint64(message.size()),
                         reinterpret_cast<const unsigned char*>(key.secretKey.constData()));
    return s;
}

QByteArray signatureFile(const QByteArray& body, const QByteArray& comment, const Key& key, bool legacy,
                         const QByteArray& keyId)
{
    QByteArray signedBytes = body;
    if (!legacy) {
        signedBytes = QByteArray(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(reinterpret_cast<unsigned char*>(signedBytes.data()), size_t(signedBytes.size()),
                           reinterpret_cast<const unsigned char*>(body.constData()), quint64(body.size()), nullptr, 0);
    }
    const QByteArray sig = sign(signedBytes, key);
    return "untrusted comment: fuzz\n" + (QByteArray(legacy ? "Ed" : "ED") + keyId + sig).toBase64() + '\n'
           + "trusted comment: " + comment + '\n' + sign(sig + comment, key).toBase64() + '\n';
}

QByteArray lineFrom(const QByteArray& body, qsizetype start)
{
    const QByteArray rest = body.mid(start);
    const qsizetype cut = rest.indexOf("\r\n");
    return cut < 0 ? rest : rest.left(cut);
}

// Which line of `file` holds byte `at` (a line feed belongs to the line it ends), and where
// that line starts.
int lineOf(const QByteArray& file, qsizetype at, qsizetype& start)
{
    start = at == 0 ? 0 : file.lastIndexOf('\n', at - 1) + 1;
    return int(file.left(at).count('\n'));
}

void checkVersionFile(const QByteArray& body)
{
    const VersionFile file(body);
    const qsizetype p = file.versionMarker();
    FUZZ_CHECK(p == body.indexOf("[version]\r\n") + 1, "versionMarker %lld", static_cast<long long>(p));
    const QString version = file.advertisedVersion();
    FUZZ_CHECK(version == (p > 0 ? QString::fromLatin1(lineFrom(body, p - 1 + 11)) : QString()), "version \"%s\"",
               qPrintable(version));

    QString comment = QStringLiteral("untouched");
    const int ec = int(file.comment(comment));
    const qsizetype q = body.indexOf("[comments]") + 1;
    FUZZ_CHECK(ec == (q > 0 && body.size() < q + 11 ? 5 : 0), "comment returned %d", ec);
    if (ec == 0)
        FUZZ_CHECK(comment == (q > 0 ? QString::fromLatin1(lineFrom(body, q - 1 + 12)) : QString()), "comment \"%s\"",
                   qPrintable(comment));

    // Versions: only dot-separated digits, and an order that is a real order.
    static const QRegularExpression shape(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,9}(\\.[0-9]{1,9}){0,7}")));
    const auto parts = VersionFile::versionParts(version);
    FUZZ_CHECK(parts.has_value() == shape.match(version).hasMatch(), "versionParts(\"%s\")", qPrintable(version));
    const auto other = VersionFile::versionParts(comment);
    if (parts) {
        FUZZ_CHECK(VersionFile::compareVersions(*parts, *parts) == 0, "a version differs from itself");
        QList<quint32> longer = *parts;
        longer.append(0);
        FUZZ_CHECK(VersionFile::compareVersions(*parts, longer) == 0, "a trailing .0 changed the order");
        if (other)
            FUZZ_CHECK(VersionFile::compareVersions(*parts, *other) == -VersionFile::compareVersions(*other, *parts),
                       "order not antisymmetric");
    }

    const QString name = QString::fromLatin1(body.mid(body.lastIndexOf(' ') + 1)).remove(u'*');
    const auto listed = file.listed(body.size() & 1 ? name : QStringLiteral("tallyscope"));
    if (listed) {
        FUZZ_CHECK(listed->sha256.size() == 32, "digest of %lld bytes", static_cast<long long>(listed->sha256.size()));
        FUZZ_CHECK(body.toLower().contains(listed->sha256.toHex() + ' ')
                       || body.toLower().contains(listed->sha256.toHex() + '\t'),
                   "digest not written in the body");
        FUZZ_CHECK(body.contains(QByteArray::number(listed->size)), "size not written in the body");
        FUZZ_CHECK(body.contains("[sha256]\r\n"), "listed without its marker");
    }
}

void checkLength(const QByteArray& header)
{
    qint64 length = -1;
    const int e = int(VersionFile::lengthValue(QString::fromLatin1(header), length));
    FUZZ_CHECK(e == 0 || e == 13, "lengthValue returned %d", e);
    FUZZ_CHECK(e != 0 || length >= 0, "lengthValue accepted a negative length");
    static const QRegularExpression plain(
        QRegularExpression::anchoredPattern(QStringLiteral("\\s*[+-]?[0-9]{1,18}\\s*")));
    if (plain.match(QString::fromLatin1(header)).hasMatch()) {
        const qint64 expected = header.trimmed().toLongLong();
        FUZZ_CHECK(expected < 0 ? e == 13 : (e == 0 && length == expected), "lengthValue(\"%s\")", header.constData());
    }
    static const QRegularExpression digit(QStringLiteral("[0-9]"));
    if (!digit.match(QString::fromLatin1(header)).hasMatch())
        FUZZ_CHECK(e == 13, "lengthValue accepted a header without a digit");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || sodium_init() < 0)
        return 0;
    static const Key key = keyFromSeed(1);
    static const Key otherKey = keyFromSeed(101);
    static const MinisignVerifier verifier(QString::fromLatin1((QByteArray("Ed") + kKeyId + key.publicKey).toBase64()));

    const int spoil = data[0] & 7;
    const bool legacy = (data[0] & 8) != 0;
    const qsizetype position = data[1] | (data[2] << 8);
    const QByteArray body(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));

    checkVersionFile(body);
    if (spoil == 4)
        checkLength(lineFrom(body, 0).left(32));

    const QString version = VersionFile(body).advertisedVersion();
    const QString fileName = spoil == 5 ? QStringLiteral("other.ver") : QStringLiteral("tallyscope.ver");
    const QByteArray comment = "timestamp:0\tfile:" + fileName.toLatin1() + "\tversion:" + version.toLatin1();
    QByteArray message = body;
    QByteArray sigFile = signatureFile(body, comment, spoil == 6 ? otherKey : key, legacy, kKeyId);
    const QByteArray genuine = sigFile;
    // The trusted comment is one line of the signature file: a version holding a line feed, or
    // ending in a CR, cannot be vouched for.
    bool expected = !comment.contains('\n') && !comment.endsWith('\r');
    qsizetype flipped = -1;

    switch (spoil) {
    case 1:
        if (message.isEmpty())
            return 0;
        flipped = position % message.size();
        message[flipped] = char(message[flipped] ^ (1 << (data[0] >> 5)));
        expected = false;
        break;
    case 2:
        flipped = position % sigFile.size();
        sigFile[flipped] = char(sigFile[flipped] ^ (1 << (data[0] >> 5)));
        break;
    case 3:
        sigFile = signatureFile(body, comment, key, legacy, QByteArray(kKeyId).replace(position % 8, 1, "\x99"));
        expected = false;
        break;
    case 6:
    case 7:
        if (spoil == 7)
            sigFile = body;
        expected = false;
        break;
    default:
        break;
    }

    QByteArray vouched = "untouched";
    const bool verified = verifier.verify(message, sigFile, &vouched);
    FUZZ_CHECK(verified ? vouched == comment : vouched == "untouched", "trusted comment \"%s\"", vouched.constData());
    if (spoil == 2) {
        // Only the untrusted comment may change, or a base64 line in a way that decodes the same
        // (a final line feed turned into a blank, say).
        qsizetype start = 0;
        const int line = lineOf(genuine, flipped, start);
        const auto decoded = [start](const QByteArray& file) {
            const qsizetype end = file.indexOf('\n', start);
            return QByteArray::fromBase64(file.mid(start, end - start));
        };
        const bool harmless = (line == 0 && flipped >= qsizetype(sizeof "untrusted comment:" - 1))
                              || ((line == 1 || line == 3) && decoded(genuine) == decoded(sigFile));
        FUZZ_CHECK(!verified || (expected && harmless), "a changed signature file verified (byte %lld, line %d)",
                   static_cast<long long>(flipped), line);
    } else {
        FUZZ_CHECK(verified == expected, "verify %d, expected %d (spoil %d)", int(verified), int(expected), spoil);
    }

    if (verified) {
        const bool named = VersionFile::trustedCommentNames(vouched, QStringLiteral("tallyscope.ver"), version);
        const bool plainVersion = !version.isEmpty() && !version.contains(u' ') && !version.contains(u'\t');
        FUZZ_CHECK(named == (spoil != 5 && plainVersion), "trustedCommentNames %d for \"%s\"", int(named),
                   vouched.constData());
    }
    return 0;
}
