/// @brief Histogram window: figures from records decoded by a session, caught up with at each refresh, the refresh
/// throttle, CSV and PNG exports.
#include "common/fakes.h"
#include "common/sessiontestaccess.h"
#include "control/calibrationmodel.h"
#include "link/replydecoder.h"
#include "measure/gui/histogramwindow.h"
#include "measure/histogramfeed.h"
#include "measure/linkhealth.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"

#include <QApplication>
#include <QChartView>
#include <QDoubleSpinBox>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <random>

namespace {

// A peak at 2,000 ps (sigma 20) on a flat background over ±60 ns.
void fillPeakOnBackground(Histogram& h)
{
    std::mt19937 rng(5);
    std::normal_distribution<double> peak(2000, 20);
    std::uniform_int_distribution<int> flat(-60000, 60000);
    for (int i = 0; i < 20000; ++i)
        h.add(i % 3 ? qint32(std::lround(peak(rng))) : flat(rng));
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
        SessionTestAccess parts(session);
        CalibrationModel& cal = parts.calibration();
        const QStringList cells{"500", "3600", "510", "3590"};
        for (int c = CalibrationModel::ALow; c <= CalibrationModel::BHigh; ++c)
            cal.setCell(CalibrationModel::Cell(c), cells[c]);
        HistogramFeed feed;
        feed.setCalibration(cal.calibration());
        session.addRecordObserver(&feed);

        HistogramWindow window(feed.histogram(), [&session] { return session.linkHealthFigures(); });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Histogram"));

        // 1500/1600/3 gives -30457 ps and 1500/1600/0 gives -457 ps with these cells.
        QByteArray arrival;
        for (int i = 0; i < 3; ++i)
            arrival += recordBytes(1500, 1600, 3);
        arrival += recordBytes(1500, 1600, 0);
        arrival += recordBytes(100, 1600, 0);           // implausible reading: rejected, not counted
        arrival += recordBytes(0x8000 + 1500, 1600, 0); // corrupt: rejected and told
        // Bytes the link left waiting for a frame: a refresh catches up first and shows them.
        QObject::connect(&window, &HistogramWindow::aboutToRefresh, &session, &InstrumentSession::catchUp);
        QString shownByThatRefresh;
        socket.onCatchUp = [&] {
            socket.onCatchUp = {};
            socket.deliver(arrival);
            QTimer::singleShot(0, &window, [&] { shownByThatRefresh = window.figureText("Count"); });
        };
        QTRY_COMPARE(shownByThatRefresh, QStringLiteral("4"));
        QCOMPARE(QStringList({window.figureText("Mean"), window.figureText("Decoded"),
                              window.figureText("Rejected (plausibility)"), window.figureText("Rejected (overflow)")}),
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

#ifdef Q_OS_WIN
        return; // a symbolic link needs privileges there; QFile::link makes a shortcut instead
#endif
        // A link standing at the chosen name is neither followed nor replaced.
        QFile victim(dir.filePath("victim"));
        QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("mine") == 4);
        victim.close();
        for (const char* name : {"link.csv", "link.png"})
            QVERIFY(QFile::link(victim.fileName(), dir.filePath(name)));
        QString error;
        QVERIFY(!window.exportCsv(dir.filePath("link.csv"), &error) && !error.isEmpty());
        QVERIFY(!window.exportPng(dir.filePath("link.png")));
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), QByteArray("mine"));
        QVERIFY(QFileInfo(dir.filePath("link.csv")).isSymLink() && QFileInfo(dir.filePath("link.png")).isSymLink());
    }

    // What the wheel, a drag and a double-click do to the time axis, through the chart's own
    // mouse events; then Show all, a range by hand, log counts and the read-out.
    void viewFollowsTheMouse()
    {
        Histogram histogram;
        fillPeakOnBackground(histogram);
        HistogramWindow window(histogram, nullptr);
        window.resize(1200, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto [autoLow, autoHigh] = window.shownRange();
        QVERIFY2(autoLow < 1900 && autoHigh > 2100 && autoHigh - autoLow < 2000,
                 qPrintable(QStringLiteral("%1..%2").arg(autoLow).arg(autoHigh)));
        const auto stepIs125 = [](double step) {
            const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
            return std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 || std::abs(mantissa - 5) < 1e-9;
        };
        QVERIFY(stepIs125(window.tickInterval()));

        // The window boxes follow the peak until edited; "Window on peak" gives it back.
        const auto boxes = window.findChildren<QDoubleSpinBox*>();
        QDoubleSpinBox* windowFrom = boxes.at(1);
        QCOMPARE(windowFrom->value(), std::round(histogram.summary().windowLow * 10) / 10);
        windowFrom->setValue(1990);
        QVERIFY(!histogram.summary().automaticWindow && histogram.summary().windowLow == 1990);
        for (QPushButton* b : window.findChildren<QPushButton*>())
            if (b->text() == QLatin1String("Window on peak"))
                b->click();
        QVERIFY(histogram.summary().automaticWindow);

        QWidget* viewport = window.findChild<QChartView*>()->viewport();
        const QPoint middle = viewport->rect().center();
        QWheelEvent wheel(middle, viewport->mapToGlobal(middle), {}, {0, 240}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &wheel);
        const auto [zoomLow, zoomHigh] = window.shownRange();
        // Two notches of 0.8; the edges then snap outwards to the 10 ps bins.
        QVERIFY2(std::abs((zoomHigh - zoomLow) - 0.64 * (autoHigh - autoLow)) <= 20,
                 qPrintable(QStringLiteral("%1..%2").arg(zoomLow).arg(zoomHigh)));
        QVERIFY(zoomLow > autoLow && zoomHigh < autoHigh);

        // Dragging right by a tenth of the plot shows earlier values.
        QTest::mousePress(viewport, Qt::LeftButton, {}, middle);
        QTest::mouseMove(viewport, middle + QPoint(viewport->width() / 10, 0));
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, middle + QPoint(viewport->width() / 10, 0));
        const auto [panLow, panHigh] = window.shownRange();
        QVERIFY2(panLow < zoomLow - 30 && std::abs((panHigh - panLow) - (zoomHigh - zoomLow)) <= 20,
                 qPrintable(QStringLiteral("%1..%2").arg(panLow).arg(panHigh)));

        QTest::mouseDClick(viewport, Qt::LeftButton, {}, middle);
        QCOMPARE(window.shownRange(), std::pair(autoLow, autoHigh));

        window.setShowAll(true);
        QVERIFY(window.shownRange().first < *histogram.summary().minimum
                && window.shownRange().second > *histogram.summary().maximum);
        QVERIFY(stepIs125(window.tickInterval()));
        window.setManualRange(1900, 2100);
        QCOMPARE(window.shownRange(), std::pair(1899.5, 2109.5)); // whole 10 ps bins
        QCOMPARE(window.tickInterval(), 50.0);                    // 210 ps in at most 8 steps

        // The read-out gives the count of the bin under the mouse.
        const Histogram::Bin bin = histogram.bins().at(10);
        QCOMPARE(window.readout((bin.low + bin.high) / 2),
                 QStringLiteral("dt %1 ps, count %2")
                     .arg(QLocale().toString((bin.low + bin.high) / 2, 'f', 1), QLocale().toString(bin.count)));
        QCOMPARE(window.readout(5000), QString());

        // On a log axis the flat background, a few counts a bin, fills far more of the plot
        // than on the linear one, where the peak sets the scale.
        window.setShowAll(true);
        const auto filled = [&window] {
            QTest::qWait(100); // the chart lays its items out from the event loop
            const QImage image = window.findChild<QChartView*>()->grab().toImage();
            qint64 n = 0; // pixels in the series' blue
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    n += qBlue(image.pixel(x, y)) > 150 && qRed(image.pixel(x, y)) < 100;
            return n;
        };
        const qint64 linear = filled();
        window.setLogScale(true);
        const qint64 log = filled();
        QVERIFY2(log > 5 * linear, qPrintable(QStringLiteral("%1 vs %2 pixels").arg(log).arg(linear)));
        window.setLogScale(false);
        QCOMPARE(filled(), linear);
    }

    // The strip charts take one point a second from an injected clock, show the chosen span
    // and export what they show.
    void trendsSampleOnTheClock()
    {
        Histogram histogram;
        histogram.setWindow(-100, 100);
        qint64 now = 0;
        HistogramWindow window(histogram, nullptr);
        window.setClock([&now] { return now; });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.sampleTrend();
        for (int s = 1; s <= 900; ++s) {
            for (int i = 0; i < s % 7; ++i)
                histogram.add(s / 10);
            now = s * 1000;
            window.sampleTrend();
        }
        QCOMPARE(window.trends().size(), 900);
        QCOMPARE(window.trendPointsShown(), 601); // ten minutes, both ends
        window.setTrendSpanMinutes(1);
        QCOMPARE(window.trendPointsShown(), 61);
        QCOMPARE(window.trends().at(899).rate, double(900 % 7));
        QCOMPARE(window.trends().at(899).drift, 90.0);

        QTemporaryDir dir;
        QVERIFY(window.exportTrendsCsv(dir.filePath("t.csv")) && window.exportTrendsPng(dir.filePath("t.png")));
        QFile csv(dir.filePath("t.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll(), window.trends().toCsv(60));
        QVERIFY(!QImage(dir.filePath("t.png")).isNull());
    }
};

QTEST_MAIN(TestHistogramWindow)
#include "tst_histogramwindow.moc"
