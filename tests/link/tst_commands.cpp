/// @brief Command bytes on the wire, byte for byte, including the DAC code's rounding and clamping.
#include "link/commands.h"

#include <QTest>
#include <limits>

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void fixedCommands_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("heartbeat") << commands::heartbeat() << QByteArray::fromHex("48");
        QTest::newRow("version") << commands::versionRequest() << QByteArray::fromHex("56");
        QTest::newRow("run on") << commands::runOn() << QByteArray::fromHex("5201");
        QTest::newRow("run off") << commands::runOff() << QByteArray::fromHex("5200");
        QTest::newRow("calibration low") << commands::calibrationLow() << QByteArray::fromHex("43013334");
        QTest::newRow("calibration high") << commands::calibrationHigh() << QByteArray::fromHex("43033334");
        QTest::newRow("calibration off") << commands::calibrationOff() << QByteArray::fromHex("4300");
    }
    void fixedCommands()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        QCOMPARE(bytes.toHex(' '), expected.toHex(' '));
    }

    void dacSetPoint_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("0") << 0.0 << QByteArray::fromHex("410000");
        QTest::newRow("256") << 256.0 << QByteArray::fromHex("410100");
        QTest::newRow("4095") << 4095.0 << QByteArray::fromHex("410FFF");
        // One whole code for a fractional entry; splitting the unrounded value would give
        // high 0 / low 0 for 255.5.
        QTest::newRow("255.5 rounds up across the byte") << 255.5 << QByteArray::fromHex("410100");
        QTest::newRow("255.4 rounds down") << 255.4 << QByteArray::fromHex("4100FF");
        QTest::newRow("257.5 ties to even") << 257.5 << QByteArray::fromHex("410102");
        QTest::newRow("4094.5 ties to even") << 4094.5 << QByteArray::fromHex("410FFE");
        QTest::newRow("4095.6 clamps") << 4095.6 << QByteArray::fromHex("410FFF");
        QTest::newRow("infinity clamps") << std::numeric_limits<double>::infinity() << QByteArray::fromHex("410FFF");
        QTest::newRow("-3 clamps") << -3.0 << QByteArray::fromHex("410000");
        QTest::newRow("NaN is 0") << std::numeric_limits<double>::quiet_NaN() << QByteArray::fromHex("410000");
    }
    void dacSetPoint()
    {
        QFETCH(double, value);
        QFETCH(QByteArray, expected);
        QCOMPARE(commands::dacA(value).toHex(' '), expected.toHex(' '));
    }

    void registerRead_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("expected");
        for (int i = 0; i <= 7; ++i)
            QTest::addRow("register %d", i) << i << QByteArray(1, char(0x30 + i));
        QTest::newRow("-1 sends nothing") << -1 << QByteArray();
        QTest::newRow("8 sends nothing") << 8 << QByteArray();
    }
    void registerRead()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, expected);
        QCOMPARE(commands::registerRead(index), expected);
    }
};

QTEST_APPLESS_MAIN(TestCommands)
#include "tst_commands.moc"
