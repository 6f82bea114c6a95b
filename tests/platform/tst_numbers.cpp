/// @brief The forgiving and the strict number readers, and the stored-number text.
#include "platform/numbers.h"

#include <QLocale>
#include <QTest>

class TestNumbers : public QObject {
    Q_OBJECT
private slots:
    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("plain") << "1905" << 1905.0;
        QTest::newRow("trailing letters") << "12ab" << 12.0;
        QTest::newRow("unknown cell") << "???" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("blanks anywhere") << " 1 2\t3\n" << 123.0;
        QTest::newRow("one point only") << "1.5.3" << 1.5;
        QTest::newRow("exponent E") << "1.5E3x" << 1500.0;
        QTest::newRow("exponent D") << "2D2" << 200.0;
        QTest::newRow("exponent without digits") << "7E" << 7.0;
        QTest::newRow("hex lower") << "&hff zz" << 255.0;
        QTest::newRow("octal") << "&O17" << 15.0;
        QTest::newRow("octal stops at 8") << "&O18" << 1.0;
        QTest::newRow("comma is not a point") << "3,5" << 3.0;
        QTest::newRow("too small a magnitude is zero") << "-1D-999" << 0.0;
        QTest::newRow("too large is infinite") << "1e999" << qInf();
        // The written exponent's sign alone does not tell: the digits carry the magnitude.
        QTest::newRow("400 digits, negative exponent")
            << u'1' + QString(400, u'0') + QStringLiteral("e-00005") << qInf();
        QTest::newRow("400 zeros after the point, positive exponent")
            << QStringLiteral("0.") + QString(400, u'0') + QStringLiteral("1e+5") << 0.0;
    }
    void leadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, expected);
        QCOMPARE(numbers::leadingNumber(text), expected);
    }

    void strictNumberFollowsTheLocale()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(numbers::strictNumber(QStringLiteral("9,47")).value_or(-1), 9.47);
        // A text written with a point still reads as the point means, not as grouping.
        QCOMPARE(numbers::strictNumber(QStringLiteral("9.47")).value_or(-1), 9.47);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(numbers::strictNumber(QStringLiteral(" 1,000 ")).value_or(-1), 1000.0);
        QCOMPARE(numbers::strictNumber(QStringLiteral("&H10")).value_or(-1), 16.0);
    }

    void strictNumberRefusesNonNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("unknown") << "???";
        QTest::newRow("trailing letters") << "12ab";
        QTest::newRow("minus infinity") << " -Inf ";
        QTest::newRow("not a number") << "nan";
    }
    void strictNumberRefusesNonNumbers()
    {
        QFETCH(QString, text);
        QVERIFY(!numbers::strictNumber(text).has_value());
    }

    void storedGeometryTextIsShortest()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(numbers::shortestText(-75.0f), QStringLiteral("-75"));
        QCOMPARE(numbers::shortestText(12.5f), QStringLiteral("12.5"));
        QCOMPARE(numbers::shortestText(0.1f), QStringLiteral("0.1"));
    }
};

QTEST_APPLESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
