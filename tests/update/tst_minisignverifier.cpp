/// @brief Signatures made by the minisign tool verify; any altered byte, another key or a malformed file does not.
#include "tests/update/testsigner.h"
#include "tests/update/updatefixtures.h"
#include "update/minisignverifier.h"

#include <QtTest>
#include <memory>

class TestMinisignVerifier : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TestSigner> m_signer;
    std::unique_ptr<TestSigner> m_other;

private slots:
    void initTestCase()
    {
        m_signer = std::make_unique<TestSigner>();
        m_other = std::make_unique<TestSigner>();
        QVERIFY2(m_signer->isValid() && m_other->isValid(), "the minisign tool is needed");
    }

    void verify_data()
    {
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("valid");

        for (bool legacy : {false, true}) {
            const char* f = legacy ? "legacy" : "prehashed";
            QTest::addRow("%s, untouched", f) << legacy << "" << true;
            QTest::addRow("%s, CR LF line ends", f) << legacy << "crlf" << true;
            QTest::addRow("%s, message bit", f) << legacy << "message" << false;
            QTest::addRow("%s, signature bit", f) << legacy << "signature" << false;
            QTest::addRow("%s, global signature bit", f) << legacy << "global" << false;
            QTest::addRow("%s, trusted comment", f) << legacy << "trusted" << false;
            QTest::addRow("%s, other key", f) << legacy << "key" << false;
            QTest::addRow("%s, same key under another key id", f) << legacy << "key id" << false;
            QTest::addRow("%s, truncated file", f) << legacy << "truncated" << false;
        }
        QTest::newRow("an error page") << false << "page" << false;
    }

    void verify()
    {
        QFETCH(bool, legacy);
        QFETCH(QString, change);
        QFETCH(bool, valid);

        QByteArray message = "[version]\r\n1.00.0009\r\n";
        QByteArray sig = m_signer->sign(message, legacy);
        QVERIFY(!sig.isEmpty());
        QString key = m_signer->publicKey();
        const qsizetype line2 = sig.indexOf('\n') + 1;
        if (change == u"crlf")
            sig.replace("\n", "\r\n");
        else if (change == u"message")
            message = updatefixtures::flipBit(message, 12);
        else if (change == u"signature")
            sig = updatefixtures::flipBit(sig, line2 + 40);
        else if (change == u"global")
            sig = updatefixtures::flipBit(sig, sig.lastIndexOf('\n', sig.size() - 2) + 20);
        else if (change == u"trusted")
            sig.replace("trusted comment: ", "trusted comment: x");
        else if (change == u"key")
            key = m_other->publicKey();
        else if (change == u"key id") {
            // "Ed", the 8-byte key id, the key: only the id changes.
            QByteArray raw = QByteArray::fromBase64(key.toLatin1());
            raw[5] = char(raw[5] ^ 0x10);
            key = QString::fromLatin1(raw.toBase64());
        }
        else if (change == u"truncated")
            sig.truncate(sig.indexOf("trusted comment"));
        else if (change == u"page")
            sig = "<html><body>404 Not Found</body></html>";

        const MinisignVerifier verifier(key);
        QVERIFY(verifier.hasKey());
        QByteArray comment;
        QCOMPARE(verifier.verify(message, sig, &comment), valid);
        // What the signature vouches for comes out only when it verifies.
        QCOMPARE(comment.startsWith("timestamp:"), valid);
    }

    void keyForms_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("usable");

        QTest::newRow("empty") << QString() << false;
        QTest::newRow("not base64") << "RW!!" << false;
        QTest::newRow("too short") << "RWQAAAAAAAAAAAAA" << false;
    }

    void keyForms()
    {
        QFETCH(QString, key);
        QFETCH(bool, usable);

        const MinisignVerifier verifier(key);
        QCOMPARE(verifier.hasKey(), usable);
        const QByteArray message = "m";
        QVERIFY(!verifier.verify(message, m_signer->sign(message)));
        // The whole .pub file is as good as its key line.
        const MinisignVerifier fromFile(QStringLiteral("untrusted comment: minisign public key\n") + m_signer->publicKey() + u'\n');
        QVERIFY(fromFile.verify(message, m_signer->sign(message)));
    }
};

QTEST_APPLESS_MAIN(TestMinisignVerifier)
#include "tst_minisignverifier.moc"
