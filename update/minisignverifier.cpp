/// @brief minisign file formats over libsodium's Ed25519 and BLAKE2b.
#include "update/minisignverifier.h"

#include <QList>
#include <optional>
#include <sodium.h>

namespace {

constexpr qsizetype kIdBytes = 8;

std::optional<QByteArray> base64(const QByteArray& text)
{
    auto r = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!r)
        return std::nullopt;
    return *r;
}

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool ed25519(const QByteArray& signature, const QByteArray& message, const QByteArray& key)
{
    return signature.size() == crypto_sign_BYTES && key.size() == crypto_sign_PUBLICKEYBYTES
           && crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                          reinterpret_cast<const unsigned char*>(message.constData()),
                                          quint64(message.size()),
                                          reinterpret_cast<const unsigned char*>(key.constData()))
                  == 0;
}

} // namespace

MinisignVerifier::MinisignVerifier(const QString& publicKey)
{
    // Either the bare base64 line or a .pub file whose last non-empty line is that line.
    QByteArray line;
    for (const QByteArray& l : publicKey.toLatin1().split('\n'))
        if (!l.trimmed().isEmpty() && !l.startsWith("untrusted comment:"))
            line = l.trimmed();
    const auto raw = base64(line);
    if (!raw || raw->size() != 2 + kIdBytes + crypto_sign_PUBLICKEYBYTES || !raw->startsWith("Ed"))
        return;
    m_keyId = raw->mid(2, kIdBytes);
    m_key = raw->mid(2 + kIdBytes);
}

bool MinisignVerifier::verify(const QByteArray& message, const QByteArray& signatureFile,
                              QByteArray* trustedComment) const
{
    if (!hasKey() || !sodiumReady())
        return false;
    QList<QByteArray> lines = signatureFile.split('\n');
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    if (lines.size() < 4 || !lines[0].startsWith("untrusted comment:"))
        return false;
    const QByteArray trustedPrefix = "trusted comment: ";
    if (!lines[2].startsWith(trustedPrefix))
        return false;
    const auto sig = base64(lines[1]);
    const auto global = base64(lines[3]);
    if (!sig || !global || sig->size() != 2 + kIdBytes + crypto_sign_BYTES)
        return false;
    const QByteArray algorithm = sig->left(2);
    const QByteArray signature = sig->mid(2 + kIdBytes);
    if (sig->mid(2, kIdBytes) != m_keyId)
        return false;

    QByteArray signedBytes;
    if (algorithm == "Ed") {
        signedBytes = message;
    } else if (algorithm == "ED") {
        signedBytes.resize(crypto_generichash_BYTES_MAX);
        crypto_generichash(reinterpret_cast<unsigned char*>(signedBytes.data()), size_t(signedBytes.size()),
                           reinterpret_cast<const unsigned char*>(message.constData()), quint64(message.size()),
                           nullptr, 0);
    } else {
        return false;
    }
    if (!ed25519(signature, signedBytes, m_key))
        return false;
    const QByteArray comment = lines[2].mid(trustedPrefix.size());
    if (!ed25519(*global, signature + comment, m_key))
        return false;
    if (trustedComment)
        *trustedComment = comment;
    return true;
}
