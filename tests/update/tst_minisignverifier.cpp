/// @brief Signatures made by the minisign tool verify, with either line end; an altered trusted comment, global signature or a cut file does not.
#include "tests/update/testsigner.h"
#include "tests/update/updatefixtures.h"
#include "update/minisignverifier.h"

#include <QtTest>
#include <memory>

class TestMinisignVerifier : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TestSigner> m_signer;

private slots:
    void initTestCase()
    {
        m_signer = std::make_unique<TestSigner>();
        QVERIFY2(m_signer->isValid(), "the minisign tool is needed");
    }

    // Other spoilt bytes and keys are the fuzz harness's; here, the real tool's files.
    void verify_data()
    {
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("valid");

        for (bool legacy : {false, true}) {
            const char* f = legacy ? "legacy" : "prehashed";
            QTest::addRow("%s, untouched", f) << legacy << "" << true;
            QTest::addRow("%s, CR LF line ends", f) << legacy << "crlf" << true;
            QTest::addRow("%s, global signature bit", f) << legacy << "global" << false;
            QTest::addRow("%s, trusted comment", f) << legacy << "trusted" << false;
            QTest::addRow("%s, truncated file", f) << legacy << "truncated" << false;
        }
    }

    void verify()
    {
        QFETCH(bool, legacy);
        QFETCH(QString, change);
        QFETCH(bool, valid);

        const QByteArray message = "[version]\r\n1.00.0009\r\n";
        QByteArray sig = m_signer->sign(message, legacy);
        QVERIFY(!sig.isEmpty());
        if (change == u"crlf")
            sig.replace("\n", "\r\n");
        else if (change == u"global")
            sig = updatefixtures::flipBit(sig, sig.lastIndexOf('\n', sig.size() - 2) + 20);
        else if (change == u"trusted")
            sig.replace("trusted comment: ", "trusted comment: x");
        else if (change == u"truncated")
            sig.truncate(sig.indexOf("trusted comment"));

        const MinisignVerifier verifier(m_signer->publicKey());
        QByteArray comment;
        QCOMPARE(verifier.verify(message, sig, &comment), valid);
        // What the signature vouches for comes out only when it verifies.
        QCOMPARE(comment.startsWith("timestamp:"), valid);
    }

    void keyForms()
    {
        const QByteArray message = "m";
        for (const QString& bad : {QString(), QStringLiteral("RW!!"), QStringLiteral("RWQAAAAAAAAAAAAA")}) {
            const MinisignVerifier verifier(bad);
            QVERIFY(!verifier.hasKey());
            QVERIFY(!verifier.verify(message, m_signer->sign(message)));
        }
        // The whole .pub file is as good as its key line.
        const MinisignVerifier fromFile(QStringLiteral("untrusted comment: minisign public key\n") + m_signer->publicKey() + u'\n');
        QVERIFY(fromFile.hasKey());
        QVERIFY(fromFile.verify(message, m_signer->sign(message)));
    }
};

QTEST_APPLESS_MAIN(TestMinisignVerifier)
#include "tst_minisignverifier.moc"
