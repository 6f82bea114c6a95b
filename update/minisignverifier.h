/// @brief Verification of minisign signatures (Ed25519, plain or BLAKE2b-prehashed) against one built-in public key.
#pragma once

#include <QByteArray>
#include <QString>

/// A signature counts only when its key number matches the public key's, the signature over the
/// file verifies, and the global signature over the trusted comment verifies as well; anything
/// malformed is simply "does not verify".
class MinisignVerifier {
public:
    /// `publicKey`: the base64 line of a minisign public key, or the whole .pub file. A text that
    /// is not such a key leaves the verifier without a key.
    explicit MinisignVerifier(const QString& publicKey);

    bool hasKey() const { return !m_key.isEmpty(); }
    /// `signatureFile`: the whole .minisig file as served. On success `trustedComment`, when given,
    /// receives the comment the signature vouches for (without its "trusted comment: " prefix).
    bool verify(const QByteArray& message, const QByteArray& signatureFile, QByteArray* trustedComment = nullptr) const;

private:
    QByteArray m_keyId;
    QByteArray m_key;
};
