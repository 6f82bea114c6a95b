/**
 * @brief Renders a chart built from the classes the panel uses and checks that the lines,
 * the filled area, both axes and the legend reached the image.
 *
 * Exit status 0 when everything was drawn and Qt reported no broken signal or property
 * wiring; otherwise 1, with the reason on stderr. An optional argument names a PNG to
 * write the rendered chart to.
 */
#include <QChart>
#include <QChartView>
#include <QLegend>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QValueAxis>

#include <QApplication>
#include <QImage>
#include <QStringList>
#include <cmath>
#include <cstdio>

namespace {

QStringList g_wiringWarnings;

// A port that misses a renamed signal or an unregistered type still draws something; Qt
// only says so in a warning, so those warnings fail the check.
void recordWarning(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    std::fprintf(stderr, "qt: %s\n", qPrintable(message));
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    static const char* const wiringMarkers[] = {"QObject::connect", "QObject::disconnect", "No such signal",
                                                "No such slot",     "QMetaProperty",       "QMetaType",
                                                "QVariantAnimation"};
    for (const char* marker : wiringMarkers) {
        if (message.contains(QLatin1String(marker))) {
            g_wiringWarnings << message;
            return;
        }
    }
}

int countPixels(const QImage& image, const QColor& wanted, int tolerance)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (std::abs(qRed(line[x]) - wanted.red()) <= tolerance
                && std::abs(qGreen(line[x]) - wanted.green()) <= tolerance
                && std::abs(qBlue(line[x]) - wanted.blue()) <= tolerance)
                ++count;
        }
    }
    return count;
}

// Counts pixels whose colour differs from the background in the given strip.
int countInk(const QImage& image, const QRect& strip, QRgb background)
{
    int count = 0;
    const QRect area = strip.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != background)
                ++count;
    return count;
}

bool expect(bool condition, const char* what, int figure)
{
    std::printf("%-46s %8d  %s\n", what, figure, condition ? "ok" : "FAILED");
    return condition;
}

} // namespace

int main(int argc, char* argv[])
{
    qInstallMessageHandler(recordWarning);
    QApplication app(argc, argv);

    // Pure colours nothing in the theme uses, so their pixels can only come from the series.
    const QColor lineColour(255, 0, 0);
    const QColor areaColour(0, 0, 255);

    auto* chart = new QChart;
    chart->setTheme(QChart::ChartThemeLight);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setBackgroundBrush(Qt::white);
    chart->setPlotAreaBackgroundVisible(false);
    chart->setTitle(QStringLiteral("check"));

    auto* line = new QLineSeries;
    line->setName(QStringLiteral("line"));
    for (int i = 0; i <= 100; ++i)
        line->append(i, 1.0 + 999.0 * i / 100.0);
    QPen linePen(lineColour);
    linePen.setWidth(3);
    line->setPen(linePen);

    auto* upper = new QLineSeries;
    auto* lower = new QLineSeries;
    for (int i = 0; i <= 100; ++i) {
        upper->append(i, 100.0);
        lower->append(i, 10.0);
    }
    auto* area = new QAreaSeries(upper, lower);
    area->setName(QStringLiteral("area"));
    area->setBrush(areaColour);
    area->setPen(QPen(areaColour));

    chart->addSeries(area);
    chart->addSeries(line);

    auto* axisX = new QValueAxis;
    axisX->setRange(0, 100);
    axisX->setTickType(QValueAxis::TicksDynamic);
    axisX->setTickAnchor(0);
    axisX->setTickInterval(25);
    axisX->setLabelFormat(QStringLiteral("%d"));

    auto* axisY = new QLogValueAxis;
    axisY->setBase(10);
    axisY->setRange(1, 1000);
    axisY->setLabelFormat(QStringLiteral("%g"));

    chart->addAxis(axisX, Qt::AlignBottom);
    chart->addAxis(axisY, Qt::AlignLeft);
    for (QAbstractSeries* series : {static_cast<QAbstractSeries*>(area), static_cast<QAbstractSeries*>(line)}) {
        series->attachAxis(axisX);
        series->attachAxis(axisY);
    }
    chart->legend()->setVisible(true);
    chart->legend()->setAlignment(Qt::AlignTop);

    QChartView view(chart);
    // White around the chart too, so any pixel that is not white was drawn by the chart.
    view.setBackgroundBrush(Qt::white);
    chart->setBackgroundRoundness(0);
    view.setRenderHint(QPainter::Antialiasing, false);
    view.resize(640, 480);
    view.show();

    const QImage image = view.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    if (argc > 1)
        image.save(QString::fromLocal8Bit(argv[1]));

    const QRgb background = QColor(Qt::white).rgb();
    const QRectF plot = chart->plotArea();
    const int plotLeft = int(plot.left());
    const int plotBottom = int(plot.bottom());

    bool ok = true;
    ok &= expect(image.width() >= 640 && image.height() >= 480, "image width", image.width());
    ok &= expect(plot.width() > 300 && plot.height() > 200, "plot area width", int(plot.width()));
    ok &= expect(countPixels(image, lineColour, 40) > 200, "line pixels", countPixels(image, lineColour, 40));
    ok &= expect(countPixels(image, areaColour, 40) > 5000, "area pixels", countPixels(image, areaColour, 40));
    // 10..100 on a 1..1000 log axis is exactly the middle third of the plot's height.
    const int bandTop = int(plot.top() + plot.height() / 3.0);
    const int bandBottom = int(plot.top() + plot.height() * 2.0 / 3.0);
    const QPoint inBand(int(plot.center().x()), (bandTop + bandBottom) / 2);
    const QPoint aboveBand(int(plot.center().x()) + 40, bandTop - 15);
    ok &= expect(countPixels(image.copy(QRect(inBand, QSize(1, 1))), areaColour, 40) == 1,
                 "area fills the log band 10..100", 1);
    ok &= expect(countPixels(image.copy(QRect(aboveBand, QSize(1, 1))), areaColour, 40) == 0,
                 "area stops at 100 on the log axis", 0);
    ok &= expect(axisX->tickType() == QValueAxis::TicksDynamic, "x axis keeps dynamic ticks", 1);
    ok &= expect(countInk(image, QRect(0, 0, plotLeft - 2, image.height()), background) > 100,
                 "ink left of the plot (log axis labels)",
                 countInk(image, QRect(0, 0, plotLeft - 2, image.height()), background));
    ok &= expect(countInk(image, QRect(0, plotBottom + 2, image.width(), image.height()), background) > 100,
                 "ink below the plot (value axis labels)",
                 countInk(image, QRect(0, plotBottom + 2, image.width(), image.height()), background));
    ok &= expect(countInk(image, QRect(0, 0, image.width(), int(plot.top()) - 2), background) > 100,
                 "ink above the plot (title and legend)",
                 countInk(image, QRect(0, 0, image.width(), int(plot.top()) - 2), background));
    ok &= expect(chart->legend()->markers().size() == 2, "legend markers", int(chart->legend()->markers().size()));
    ok &= expect(g_wiringWarnings.isEmpty(), "signal/property warnings", int(g_wiringWarnings.size()));
    for (const QString& warning : std::as_const(g_wiringWarnings))
        std::fprintf(stderr, "wiring: %s\n", qPrintable(warning));

    std::printf("%s\n", ok ? "chartcheck: PASS" : "chartcheck: FAIL");
    return ok ? 0 : 1;
}
