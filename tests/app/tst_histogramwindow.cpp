/// @brief Histogram window: figures from records decoded by a session, the refresh throttle, CSV and PNG exports.
#include "common/fakes.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "control/calibrationmodel.h"
#include "link/replydecoder.h"
#include "measure/gui/histogramwindow.h"
#include "measure/histogramfeed.h"
#include "measure/linkhealth.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray record(int a, int b, int offset)
{
    return QByteArray("R") + char(a >> 8) + char(a & 0xFF) + char(b >> 8) + char(b & 0xFF) + char(offset) + '\0';
}

} // namespace

class TestHistogramWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    // The wiring the panel uses: the feed observes the session's decoder; the window shows
    // the histogram and the session's link health.
    void showsDecodedRecordsAndLinkHealth()
    {
        FakeSocket socket;
        FakeClock clock;
        FakeMessageBoxes boxes;
        MessageLog log;
        InstrumentSession session(socket, clock, boxes, log);
        CalibrationModel& cal = session.calibration();
        const QStringList cells{"500", "3600", "510", "3590"};
        for (int c = CalibrationModel::ALow; c <= CalibrationModel::BHigh; ++c)
            cal.setCell(CalibrationModel::Cell(c), cells[c]);
        HistogramFeed feed;
        feed.setCalibrationTexts(cells[0], cells[1], cells[2], cells[3], cal.tauA(), cal.tauB());
        session.decoder().setObserver(&feed);

        HistogramWindow window(feed.histogram(), &session.linkHealth());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Histogram"));

        // 1500/1600/3 gives -30457 ps and 1500/1600/0 gives -457 ps with these cells.
        QByteArray arrival;
        for (int i = 0; i < 3; ++i)
            arrival += record(1500, 1600, 3);
        arrival += record(1500, 1600, 0);
        arrival += record(100, 1600, 0); // implausible reading: rejected, not counted
        arrival += record(0x8000 + 1500, 1600, 0); // corrupt: rejected and told
        session.decoder().feed(arrival);

        QTRY_COMPARE(window.figureText("Count"), QStringLiteral("4"));
        QCOMPARE(QStringList({window.figureText("Mean"), window.figureText("Decoded"), window.figureText("Rejected (plausibility)"),
                              window.figureText("Rejected (overflow)")}),
                 QStringList({"-22,957.0 ps", "4", "1", "1"}));
        QCOMPARE(log.line(0), QStringLiteral("Doh! (data) Overflow"));
        QVERIFY(window.figureText("Bins").contains("calibrated"));

        feed.clearForRunStart();
        QTRY_COMPARE(window.figureText("Count"), QStringLiteral("0"));
        QCOMPARE(window.figureText("Mean"), QString());
    }

    void exportsWriteFiles()
    {
        Histogram histogram;
        for (int i = 0; i < 5000; ++i)
            histogram.add(-200 + (i * 37) % 400);
        HistogramWindow window(histogram, nullptr);
        window.resize(900, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QTemporaryDir dir;
        QVERIFY(window.exportCsv(dir.filePath("run.csv")) && window.exportPng(dir.filePath("run.png")));
        QFile csv(dir.filePath("run.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(), histogram.toCsv());
        const QImage image(dir.filePath("run.png"));
        QVERIFY(!image.isNull() && image.width() >= 400 && image.height() >= 300);
        QVERIFY(!window.exportPng(dir.filePath("no/such/folder.png")));
    }
};

QTEST_MAIN(TestHistogramWindow)
#include "tst_histogramwindow.moc"
