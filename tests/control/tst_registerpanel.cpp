/// @brief Register panel: Update sends 0..6 one by one, name clicks, the Auto cycle 1..7, 0 and its resumption.
#include "control/registerpanel.h"
#include "platform/fakeclock.h"

#include <QSignalSpy>
#include <QTest>

class TestRegisterPanel : public QObject {
    Q_OBJECT

private:
    struct Rig {
        QList<QByteArray> sends;
        bool sendOk = true;
        FakeClock clock;
        RegisterPanel panel{[this](const QByteArray& b) {
            sends << b;
            return sendOk;
                            },
                            clock};
        QString wire() const
        {
            QString s;
            for (const auto& b : sends)
                s += QString::fromLatin1(b);
            return s;
        }
    };

private slots:
    void requests_data()
    {
        QTest::addColumn<int>("nameIndex"); // -1: the Update button
        QTest::addColumn<bool>("sendOk");
        QTest::addColumn<QString>("wire");

        QTest::newRow("update") << -1 << true << "0123456";
        QTest::newRow("update, link down: every step still tried") << -1 << false << "0123456";
        QTest::newRow("name 3") << 3 << true << "3";
        QTest::newRow("name 7, Verilog version") << 7 << true << "7";
        QTest::newRow("no register 8") << 8 << true << "";
    }

    void requests()
    {
        QFETCH(int, nameIndex);
        QFETCH(bool, sendOk);
        QFETCH(QString, wire);

        Rig rig;
        rig.sendOk = sendOk;
        if (nameIndex < 0)
            rig.panel.requestAll();
        else
            rig.panel.request(nameIndex);
        QCOMPARE(rig.wire(), wire);
        // One register per send: the instrument reads each byte as its own request.
        for (const auto& b : rig.sends)
            QCOMPARE(b.size(), 1);
    }

    void autoCycle_data()
    {
        QTest::addColumn<int>("ticks");
        QTest::addColumn<QString>("wire");
        QTest::newRow("eight ticks cover all registers") << 8 << "12345670";
        QTest::newRow("wraps and goes on") << 11 << "12345670123";
    }

    void autoCycle()
    {
        QFETCH(int, ticks);
        QFETCH(QString, wire);
        Rig rig;
        rig.panel.setAutoPoll(true);
        for (int i = 0; i < ticks; ++i)
            rig.panel.pollTick();
        QCOMPARE(rig.wire(), wire);
    }

    void autoResumesWhereItStopped()
    {
        Rig rig;
        rig.panel.setAutoPoll(true);
        for (int i = 0; i < 3; ++i)
            rig.panel.pollTick();
        rig.panel.setAutoPoll(false);
        rig.panel.setAutoPoll(true);
        rig.panel.pollTick();
        QCOMPARE(rig.wire(), QStringLiteral("1234"));
    }

    void failedSendsDoNotStallTheCycle()
    {
        Rig rig;
        rig.sendOk = false;
        rig.panel.pollTick();
        rig.panel.pollTick();
        rig.sendOk = true;
        rig.panel.pollTick();
        QCOMPARE(rig.sends.last(), QByteArray("3"));
    }

    void timerRunsExactlyWhileTicked()
    {
        Rig rig;
        QVERIFY(!rig.panel.autoActive());
        rig.panel.setAutoPoll(true);
        QVERIFY(rig.panel.autoActive());
        QCOMPARE(rig.panel.autoTimer().interval(), 250);
        rig.clock.elapse(0.5);
        QVERIFY(rig.sends.size() >= 2);
        QCOMPARE(rig.wire().left(2), QStringLiteral("12"));

        rig.panel.setAutoPoll(false);
        const auto count = rig.sends.size();
        rig.clock.elapse(3 * RegisterPanel::AutoIntervalMs / 1000.0);
        QCOMPARE(rig.sends.size(), count);
    }
};

QTEST_GUILESS_MAIN(TestRegisterPanel)
#include "tst_registerpanel.moc"
