/// @brief Calibration read from the panel's texts: the strict and the forgiving rule at their edges, per locale, and
/// the texts a file keeps.
#include "link/calibration.h"

#include <QTest>

namespace {

/// A number (its shortest exact spelling) or "-" for none, so that a row reads as one line.
QString shown(std::optional<double> v)
{
    return v ? QString::number(*v, 'g', QLocale::FloatingPointShortest) : QStringLiteral("-");
}

} // namespace

class TestCalibration : public QObject {
    Q_OBJECT
private slots:
    // What the decoder converts with and gates by, as the panel has always read the texts.
    void readingRules_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("texts"); // A low, A high, B low, B high, Tau A, Tau B
        QTest::addColumn<QString>("read");      // A low, A high, Tau A, Tau B, the channels that convert, the gate

        const QString en = QStringLiteral("en_US");
        QTest::newRow("reference") << en << QStringList{"500", "3600", "510", "3590", "9.47", "9.49"}
                                   << "500 3600 9.47 9.49 AB gate";
        QTest::newRow("cell unknown: A converts nothing, gate shut")
            << en << QStringList{"???", "3600", "510", "3590", "9.47", "9.49"} << "- 3600 9.47 9.49 B shut";
        QTest::newRow("leading number opens the gate, converts nothing")
            << en << QStringList{"500x", "3600", "510", "3590", "9.47", "9.49"} << "- 3600 9.47 9.49 B gate";
        QTest::newRow("window bounds are outside")
            << en << QStringList{"450", "3650", "510", "3590", "9.47", "9.49"} << "450 3650 9.47 9.49 AB shut";
        QTest::newRow("just inside both windows")
            << en << QStringList{"451", "3649.9", "549.9", "3551", "9.47", "9.49"} << "451 3649.9 9.47 9.49 AB gate";
        QTest::newRow("B high outside alone")
            << en << QStringList{"500", "3600", "510", "3550", "9.47", "9.49"} << "500 3600 9.47 9.49 AB shut";
        QTest::newRow("blanks, exponent, sign, radix")
            << en << QStringList{" 500 ", "3.6E3", "+510", "&HE06", "&H9", "9.49"} << "500 3600 9 9.49 AB gate";
        QTest::newRow("decimal comma is no number in English")
            << en << QStringList{"500", "3600", "510", "3590", "9,47", "9.49"} << "500 3600 - 9.49 B gate";
        QTest::newRow("decimal comma in German")
            << QStringLiteral("de_DE") << QStringList{"500", "3600", "510", "3590", "9,47", "9,49"}
            << "500 3600 9.47 9.49 AB gate";
        QTest::newRow("C spelling still read in German")
            << QStringLiteral("de_DE") << QStringList{"500", "3600", "510", "3590", "9.47", "9.49"}
            << "500 3600 9.47 9.49 AB gate";
        // The two rules disagree: strictly a grouped 3600, forgivingly 3.6 and outside.
        QTest::newRow("German grouping: converts, gate shut")
            << QStringLiteral("de_DE") << QStringList{"500", "3.600", "510", "3590", "9,47", "9,49"}
            << "500 3600 9.47 9.49 AB shut";
        QTest::newRow("decimal comma in French")
            << QStringLiteral("fr_FR") << QStringList{"500", "3600", "510", "3590", "9,5", "abc"}
            << "500 3600 9.5 - A gate";
        QTest::newRow("empty and infinite are no numbers")
            << en << QStringList{"500", "3600", "510", "3590", "", "1e999"} << "500 3600 - - - gate";
    }
    void readingRules()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, texts);
        QFETCH(QString, read);

        const Calibration c = Calibration::fromTexts({texts[0], texts[1], texts[2], texts[3]}, texts[4], texts[5],
                                                     QLocale(locale));
        QString converting;
        if (c.converts(Calibration::A))
            converting += u'A';
        if (c.converts(Calibration::B))
            converting += u'B';
        const QString gate = c.cellsInWindows() ? QStringLiteral("gate") : QStringLiteral("shut");
        QCOMPARE(QStringList({shown(c.reading(Calibration::ALow)), shown(c.reading(Calibration::AHigh)),
                              shown(c.tau(Calibration::A)), shown(c.tau(Calibration::B)),
                              converting.isEmpty() ? QStringLiteral("-") : converting, gate})
                     .join(u' '),
                 read);
        // The B cells are read as the A cells are.
        QCOMPARE(c.reading(Calibration::BLow),
                 Calibration::fromTexts({texts[2], texts[3], texts[2], texts[3]}, texts[4], texts[5], QLocale(locale))
                     .reading(Calibration::ALow));
    }

    // A sidecar keeps texts: read back in its locale they must give the very same numbers, and
    // what an untouched panel holds keeps its spelling.
    void fileTextsReadBackAsTheSameNumbers_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("cell");
        QTest::addColumn<QString>("tau");
        QTest::addColumn<QString>("cellText");
        QTest::addColumn<QString>("tauText");

        QTest::newRow("C") << "C"
                           << "3600"
                           << "9.47"
                           << "3600"
                           << "9.47";
        QTest::newRow("English") << "en_US"
                                 << "1905"
                                 << "9.49"
                                 << "1905"
                                 << "9.49";
        QTest::newRow("German, no grouping") << "de_DE"
                                             << "3600"
                                             << "9.47"
                                             << "3600"
                                             << "9.47";
        QTest::newRow("German comma: the C spelling") << "de_DE"
                                                      << "???"
                                                      << "9,470"
                                                      << "???"
                                                      << "9.47";
        QTest::newRow("German, C spelling would group") << "de_DE"
                                                        << "510"
                                                        << "1,234"
                                                        << "510"
                                                        << "1,234";
        QTest::newRow("French") << "fr_FR"
                                << "3590"
                                << "9,5"
                                << "3590"
                                << "9.5";
        QTest::newRow("exponent") << "en_US"
                                  << "5E2"
                                  << "1e-3"
                                  << "500"
                                  << "0.001";
        QTest::newRow("not a number") << "en_US"
                                      << "500x"
                                      << "abc"
                                      << "???"
                                      << "???";
    }
    void fileTextsReadBackAsTheSameNumbers()
    {
        QFETCH(QString, locale);
        QFETCH(QString, cell);
        QFETCH(QString, tau);
        QFETCH(QString, cellText);
        QFETCH(QString, tauText);

        const QLocale l(locale);
        const Calibration c = Calibration::fromTexts({cell, cell, cell, cell}, tau, tau, l);
        QCOMPARE(c.cellText(Calibration::BHigh, l) + u' ' + c.tauText(Calibration::B, l), cellText + u' ' + tauText);
        const QString spelledCell = c.cellText(Calibration::ALow, l);
        const QString spelledTau = c.tauText(Calibration::A, l);
        const Calibration back = Calibration::fromTexts({spelledCell, spelledCell, spelledCell, spelledCell},
                                                        spelledTau, spelledTau, l);
        QCOMPARE(shown(back.reading(Calibration::ALow)) + u' ' + shown(back.tau(Calibration::A)),
                 shown(c.reading(Calibration::ALow)) + u' ' + shown(c.tau(Calibration::A)));
    }
};

QTEST_APPLESS_MAIN(TestCalibration)
#include "tst_calibration.moc"
