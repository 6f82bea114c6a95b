/// @brief Layout, throttled refresh and exports of the histogram window.
#include "measure/gui/histogramwindow.h"
#include "platform/nofollowfile.h"

#include "measure/histogram.h"
#include "measure/linkhealth.h"

#include <QAreaSeries>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QLocale>
#include <QLogValueAxis>
#include <QMouseEvent>
#include <QPen>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

/// As a CSV export: replaced whole, never written through a link at the name.
bool savePng(const QPixmap& picture, const QString& path)
{
    QBuffer png;
    png.open(QIODevice::WriteOnly);
    return picture.save(&png, "PNG") && NoFollowFile::replaceContents(path, png.data()).ok();
}

QString ps(double v, int decimals = 1) { return QLocale().toString(v, 'f', decimals) + QStringLiteral(" ps"); }

QString whole(quint64 v) { return QLocale().toString(v); }

QDoubleSpinBox* psBox(double low, double high, double value)
{
    auto* box = new QDoubleSpinBox;
    box->setRange(low, high);
    box->setDecimals(1);
    box->setSuffix(QStringLiteral(" ps"));
    box->setValue(value);
    box->setKeyboardTracking(false);
    return box;
}

// Counts below this are drawn at it on the log axis, where 0 has no place.
constexpr double LogFloor = 0.5;
// Zooming stops at this many ps across: below it every bin is a single value anyway.
constexpr double NarrowestSpan = 4;

QChartView* stripChart(QChart* chart, QLineSeries* series, const QString& title, const QString& yTitle)
{
    chart->legend()->hide();
    chart->setTitle(title);
    chart->addSeries(series);
    auto* x = new QValueAxis;
    auto* y = new QValueAxis;
    x->setTitleText(QStringLiteral("s"));
    x->setLabelFormat(QStringLiteral("%.0f"));
    y->setTitleText(yTitle);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(x);
    series->attachAxis(y);
    auto* view = new QChartView(chart);
    view->setMinimumSize(360, 160);
    return view;
}

QValueAxis* axisOf(QChart* chart, Qt::Orientation o) { return qobject_cast<QValueAxis*>(chart->axes(o).value(0)); }

QString labelFormat(double step)
{
    return QStringLiteral("%.%1f").arg(step >= 1 ? 0 : int(std::ceil(-std::log10(step) - 1e-9)));
}

// [low, high] widened to whole 1-2-5 steps, one tick on each.
void niceRange(QValueAxis* axis, double low, double high)
{
    const double step = tickStep125(high - low, 6);
    const double from = std::floor(low / step) * step;
    const double to = std::max(from + step, std::ceil(high / step) * step);
    axis->setRange(from, to);
    axis->setTickCount(int(std::lround((to - from) / step)) + 1);
    axis->setLabelFormat(labelFormat(step));
}

// A y range with a little room, and some height when every value is the same.
void fitY(QValueAxis* axis, double low, double high)
{
    const double pad = high > low ? (high - low) * 0.05 : std::max(1.0, std::abs(high) * 0.1);
    niceRange(axis, low - pad, high + pad);
}

} // namespace

HistogramWindow::HistogramWindow(Histogram& histogram, LinkHealthSource linkHealth, QWidget* parent)
    : QWidget(parent, Qt::Window), m_histogram(histogram), m_linkHealth(std::move(linkHealth)),
      m_timer(new QTimer(this)), m_chart(new QChart), m_chartView(new QChartView(m_chart)), m_outline(new QLineSeries),
      m_baseline(new QLineSeries), m_area(new QAreaSeries(m_outline, m_baseline)), m_axisX(new QValueAxis),
      m_axisY(new QValueAxis), m_axisLog(new QLogValueAxis), m_rateChart(new QChart), m_driftChart(new QChart),
      m_rate(new QLineSeries), m_drift(new QLineSeries), m_trendTimer(new QTimer(this))
{
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    m_clock = [elapsed] { return elapsed->elapsed(); };

    setWindowTitle(QStringLiteral("Histogram"));

    m_chart->legend()->hide();
    m_chart->addSeries(m_area);
    // The theme's colour, set outright: left to the theme the area came out white in some runs.
    m_area->setColor(QColor(0x20, 0x9f, 0xdf));
    // A border of one pixel, in the fill's colour: the theme's wider pen is outlined as a polygon
    // on every redraw (thousands of corners at 30 Hz), where a thin pen is drawn as plain lines.
    QPen border(QColor(0x20, 0x9f, 0xdf));
    border.setWidth(1);
    border.setCosmetic(true);
    m_area->setPen(border);
    m_axisX->setTitleText(QStringLiteral("time difference (ps)"));
    m_axisX->setLabelFormat(QStringLiteral("%.0f"));
    m_axisY->setLabelFormat(QStringLiteral("%.0f"));
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisY, Qt::AlignLeft);
    m_area->attachAxis(m_axisX);
    m_area->attachAxis(m_axisY);
    m_axisX->setTickInterval(1e12);
    m_axisX->setTickType(QValueAxis::TicksDynamic);
    m_axisX->setTickAnchor(0);
    m_axisLog->setLabelFormat(QStringLiteral("%g"));
    m_axisLog->setBase(10);
    // Only one counts axis is on the chart at a time; the window keeps the other.
    m_axisLog->setParent(this);
    m_chartView->setRenderHint(QPainter::Antialiasing, false);
    m_chartView->setMinimumSize(520, 360);
    m_chartView->viewport()->installEventFilter(this);
    m_chartView->setMouseTracking(true);
    m_chartView->setToolTip(QStringLiteral("Wheel: zoom, drag: pan, double-click: automatic range"));

    m_readout = new QLabel;
    m_readout->setMinimumWidth(
        m_readout->fontMetrics().horizontalAdvance(QStringLiteral("dt -000,000,000.0 ps, count 000,000,000")));
    m_showAll = new QPushButton(QStringLiteral("Show all"));
    m_showAll->setCheckable(true);
    connect(m_showAll, &QPushButton::toggled, this, &HistogramWindow::setShowAll);
    m_log = new QCheckBox(QStringLiteral("Log counts"));
    connect(m_log, &QCheckBox::toggled, this, &HistogramWindow::setLogScale);
    auto* viewRow = new QHBoxLayout;
    viewRow->addWidget(m_readout, 1);
    viewRow->addWidget(m_log);
    viewRow->addWidget(m_showAll);

    m_trendSpan = new QSpinBox;
    m_trendSpan->setRange(1, TrendSeries::DefaultCapacity / 60);
    m_trendSpan->setValue(10);
    m_trendSpan->setSuffix(QStringLiteral(" min"));
    connect(m_trendSpan, &QSpinBox::valueChanged, this, &HistogramWindow::redrawTrends);
    auto* trendCsv = new QPushButton(QStringLiteral("Trends CSV..."));
    auto* trendPng = new QPushButton(QStringLiteral("Trends PNG..."));
    connect(trendCsv, &QPushButton::clicked, this, [this] {
        saveAs(QStringLiteral("Export trends"), QStringLiteral("CSV files (*.csv)"),
               [this](const QString& path, QString* error) { return exportTrendsCsv(path, error); });
    });
    connect(trendPng, &QPushButton::clicked, this, [this] {
        saveAs(QStringLiteral("Export trends"), QStringLiteral("PNG images (*.png)"),
               [this](const QString& path, QString*) { return exportTrendsPng(path); });
    });
    m_trendCharts = new QWidget;
    auto* trendLayout = new QVBoxLayout(m_trendCharts);
    trendLayout->setContentsMargins(0, 0, 0, 0);
    trendLayout->addWidget(stripChart(m_rateChart, m_rate, QStringLiteral("Rate"), QStringLiteral("records/s")), 1);
    trendLayout->addWidget(stripChart(m_driftChart, m_drift, QStringLiteral("Drift (mean in window)"),
                                      QStringLiteral("ps")),
                           1);
    auto* trendRow = new QHBoxLayout;
    trendRow->addWidget(new QLabel(QStringLiteral("Span")));
    trendRow->addWidget(m_trendSpan);
    trendRow->addStretch();
    trendRow->addWidget(trendCsv);
    trendRow->addWidget(trendPng);

    auto* figures = new QGroupBox(QStringLiteral("Run"));
    auto* figureForm = new QFormLayout(figures);
    for (const char* caption : {"Count", "Mean", "Std dev", "FWHM", "In window", "Underflow", "Overflow", "Bins"})
        addFigure(figureForm, QString::fromLatin1(caption));

    auto* settings = new QGroupBox(QStringLiteral("Binning"));
    auto* settingsForm = new QFormLayout(settings);
    m_binWidth = psBox(0.1, 1e9, m_histogram.binWidthPs());
    const Histogram::Summary initial = m_histogram.summary();
    m_windowLow = psBox(-3e9, 3e9, initial.windowLow);
    m_windowHigh = psBox(-3e9, 3e9, initial.windowHigh);
    settingsForm->addRow(QStringLiteral("Bin width"), m_binWidth);
    settingsForm->addRow(QStringLiteral("Window from"), m_windowLow);
    settingsForm->addRow(QStringLiteral("Window to"), m_windowHigh);
    for (QDoubleSpinBox* box : {m_binWidth, m_windowLow, m_windowHigh})
        connect(box, &QDoubleSpinBox::valueChanged, this, &HistogramWindow::applySettings);
    auto* onPeak = new QPushButton(QStringLiteral("Window on peak"));
    onPeak->setToolTip(QStringLiteral("The window follows the peak again (± 1 FWHM)"));
    connect(onPeak, &QPushButton::clicked, this, [this] {
        m_histogram.setAutomaticWindow();
        refresh();
    });
    settingsForm->addRow(QString(), onPeak);
    m_rangeLow = psBox(-3e9, 3e9, 0);
    m_rangeHigh = psBox(-3e9, 3e9, 0);
    settingsForm->addRow(QStringLiteral("Range from"), m_rangeLow);
    settingsForm->addRow(QStringLiteral("Range to"), m_rangeHigh);
    for (QDoubleSpinBox* box : {m_rangeLow, m_rangeHigh})
        connect(box, &QDoubleSpinBox::valueChanged, this,
                [this] { setManualRange(m_rangeLow->value(), m_rangeHigh->value()); });

    auto* health = new QGroupBox(QStringLiteral("Link health"));
    auto* healthForm = new QFormLayout(health);
    for (const char* caption :
         {"Records/s", "Bytes/s", "Decoded", "Bytes", "Rejected (gate)", "Rejected (plausibility)",
          "Rejected (overflow)", "Dropped (resync)", "Errors", "Reconnects"})
        addFigure(healthForm, QString::fromLatin1(caption));

    auto* csv = new QPushButton(QStringLiteral("CSV..."));
    auto* png = new QPushButton(QStringLiteral("PNG..."));
    connect(csv, &QPushButton::clicked, this, [this] {
        saveAs(QStringLiteral("Export histogram"), QStringLiteral("CSV files (*.csv)"),
               [this](const QString& path, QString* error) { return exportCsv(path, error); });
    });
    connect(png, &QPushButton::clicked, this, [this] {
        saveAs(QStringLiteral("Export chart"), QStringLiteral("PNG images (*.png)"),
               [this](const QString& path, QString*) { return exportPng(path); });
    });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(csv);
    buttons->addWidget(png);
    m_status = new QLabel;
    m_status->setWordWrap(true);

    auto* side = new QVBoxLayout;
    side->addWidget(figures);
    side->addWidget(settings);
    side->addWidget(health);
    side->addLayout(buttons);
    side->addWidget(m_status);
    side->addStretch();
    auto* charts = new QVBoxLayout;
    charts->addWidget(m_chartView, 1);
    charts->addLayout(viewRow);
    auto* trends = new QVBoxLayout;
    trends->addWidget(m_trendCharts, 1);
    trends->addLayout(trendRow);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(charts, 3);
    layout->addLayout(trends, 2);
    layout->addLayout(side);

    m_timer->setInterval(1000 / RefreshHz);
    connect(m_timer, &QTimer::timeout, this, &HistogramWindow::refresh);
    // Trends cover the run, not only the time the window was open.
    m_trendTimer->setInterval(TrendIntervalMs);
    connect(m_trendTimer, &QTimer::timeout, this, &HistogramWindow::sampleTrend);
    m_trendTimer->start();
}

HistogramWindow::~HistogramWindow() = default;

QLabel* HistogramWindow::addFigure(QFormLayout* form, const QString& caption)
{
    auto* label = new QLabel;
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("-000,000,000.0 ps")));
    form->addRow(caption, label);
    m_figures.insert(caption, label);
    return label;
}

QString HistogramWindow::figureText(const QString& caption) const
{
    const QLabel* label = m_figures.value(caption);
    return label ? label->text() : QString();
}

void HistogramWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refresh();
    redrawTrends();
    m_timer->start();
}

void HistogramWindow::hideEvent(QHideEvent* event)
{
    m_timer->stop();
    QWidget::hideEvent(event);
}

void HistogramWindow::applySettings()
{
    m_histogram.setBinWidthPs(m_binWidth->value());
    // The window boxes show the automatic window too; only an edit of one of them sets it.
    if (sender() != m_binWidth)
        m_histogram.setWindow(m_windowLow->value(), m_windowHigh->value());
    // Shown with the next tick, like new records.
}

void HistogramWindow::refresh()
{
    emit aboutToRefresh();
    if (m_histogram.revision() != m_shownRevision) {
        m_shownRevision = m_histogram.revision();
        redrawChart();
        showFigures();
    }
    showLinkHealth();
}

void HistogramWindow::redrawChart()
{
    ++m_chartUpdates;
    const QVector<Histogram::Bin>& bins = m_histogram.bins();
    QList<QPointF> points;
    points.reserve(bins.size() * 2 + 2);
    double top = 0;
    if (!bins.isEmpty())
        points.append({bins.front().low, 0});
    for (const Histogram::Bin& b : bins) {
        points.append({b.low, b.scaledCount});
        points.append({b.high, b.scaledCount});
        top = std::max(top, b.scaledCount);
    }
    if (!bins.isEmpty())
        points.append({bins.back().high, 0});
    if (m_log->isChecked()) {
        for (QPointF& p : points)
            p.setY(std::max(p.y(), LogFloor));
    }
    m_outline->replace(points);
    const double low = bins.isEmpty() ? -1 : bins.front().low;
    const double high = bins.isEmpty() ? 1 : bins.back().high;
    // On the log axis the area closes at its floor: 0 has no place there.
    const double base = m_log->isChecked() ? LogFloor : 0;
    m_baseline->replace(QList<QPointF>{{low, base}, {high, base}});
    // The axis lays out its ticks on every change: the wider step first, so that neither the
    // old range with the new step nor the new range with the old one has a flood of ticks.
    const double step = tickStep125(high - low, MaxTicks);
    m_axisX->setTickInterval(std::max(step, m_axisX->tickInterval()));
    m_axisX->setRange(low, high);
    m_axisX->setTickInterval(step);
    m_axisX->setLabelFormat(labelFormat(step));
    niceRange(m_axisY, 0, top > 0 ? top * 1.05 : 1);
    m_axisLog->setRange(LogFloor, std::max(top * 2, 10.0));
    const QString title = QStringLiteral("counts per %1").arg(ps(m_histogram.summary().nominalBinWidth, 1));
    m_axisY->setTitleText(title);
    m_axisLog->setTitleText(title);
    showRangeBoxes();
}

void HistogramWindow::showRangeBoxes()
{
    const QSignalBlocker blockLow(m_rangeLow);
    const QSignalBlocker blockHigh(m_rangeHigh);
    m_rangeLow->setValue(m_axisX->min());
    m_rangeHigh->setValue(m_axisX->max());
}

void HistogramWindow::showFigures()
{
    const Histogram::Summary s = m_histogram.summary();
    if (s.automaticWindow) {
        const QSignalBlocker blockLow(m_windowLow);
        const QSignalBlocker blockHigh(m_windowHigh);
        m_windowLow->setValue(s.windowLow);
        m_windowHigh->setValue(s.windowHigh);
    }
    const bool any = s.count > 0;
    m_figures["Count"]->setText(whole(s.count));
    m_figures["Mean"]->setText(any ? ps(s.mean, 1) : QString());
    m_figures["Std dev"]->setText(s.count > 1 ? ps(s.stdDev, 1) : QString());
    m_figures["FWHM"]->setText(s.fwhm ? ps(*s.fwhm, 1) : QStringLiteral("-"));
    m_figures["In window"]->setText(whole(s.inWindow));
    m_figures["Underflow"]->setText(whole(s.underflow));
    m_figures["Overflow"]->setText(whole(s.overflow));
    m_figures["Bins"]->setText(any ? QStringLiteral("%1 (%2)")
                                         .arg(s.binCount)
                                         .arg(s.calibratedGrid ? tr("calibrated grid") : tr("integer grid"))
                                   : QString());
}

void HistogramWindow::showLinkHealth()
{
    if (!m_linkHealth)
        return;
    const LinkHealthFigures f = m_linkHealth();
    m_figures["Records/s"]->setText(QLocale().toString(f.recordsPerSecond, 'f', 0));
    m_figures["Bytes/s"]->setText(QLocale().toString(f.bytesPerSecond, 'f', 0));
    m_figures["Decoded"]->setText(whole(f.recordsDecoded));
    m_figures["Bytes"]->setText(whole(f.bytes));
    m_figures["Rejected (gate)"]->setText(whole(f.rejectedByGate));
    m_figures["Rejected (plausibility)"]->setText(whole(f.rejectedByPlausibility));
    m_figures["Rejected (overflow)"]->setText(whole(f.rejectedByOverflow));
    m_figures["Dropped (resync)"]->setText(whole(f.bytesDroppedByResync));
    m_figures["Errors"]->setText(whole(f.errors));
    m_figures["Reconnects"]->setText(whole(f.reconnects));
}

bool HistogramWindow::exportCsv(const QString& path, QString* errorText)
{
    return m_histogram.writeCsv(path, errorText);
}

bool HistogramWindow::exportPng(const QString& path)
{
    // The picture must show what the figures say now, not what the last tick drew.
    refresh();
    return savePng(m_chartView->grab(), path);
}

void HistogramWindow::applyRange(double low, double high)
{
    if (!(low < high) || !std::isfinite(low) || !std::isfinite(high))
        return;
    m_histogram.setRange(std::pair{low, high});
    refresh();
}

void HistogramWindow::zoomAt(double at, double factor)
{
    if (!(factor > 0))
        return;
    // From the range asked for, not the one drawn: the drawn one snaps outwards to bin
    // edges, and a series of small steps would keep widening it.
    const auto [low, high] = m_histogram.range().value_or(shownRange());
    at = std::clamp(at, low, high);
    double newLow = at - (at - low) * factor;
    double newHigh = at + (high - at) * factor;
    if (newHigh - newLow < NarrowestSpan) {
        const double middle = (newLow + newHigh) / 2;
        newLow = middle - NarrowestSpan / 2;
        newHigh = middle + NarrowestSpan / 2;
    }
    applyRange(newLow, newHigh);
}

void HistogramWindow::panBy(double by)
{
    const auto [low, high] = m_histogram.range().value_or(shownRange());
    applyRange(low + by, high + by);
}

void HistogramWindow::resetView()
{
    m_histogram.setRange(std::nullopt);
    setShowAll(false);
    refresh();
}

void HistogramWindow::setShowAll(bool all)
{
    {
        const QSignalBlocker block(m_showAll);
        m_showAll->setChecked(all);
    }
    if (all)
        m_histogram.setRange(std::nullopt);
    m_histogram.setShowAll(all);
    refresh();
}

void HistogramWindow::setManualRange(double low, double high) { applyRange(low, high); }

void HistogramWindow::setLogScale(bool log)
{
    {
        const QSignalBlocker block(m_log);
        m_log->setChecked(log);
    }
    QAbstractAxis* from = log ? static_cast<QAbstractAxis*>(m_axisY) : m_axisLog;
    QAbstractAxis* to = log ? static_cast<QAbstractAxis*>(m_axisLog) : m_axisY;
    if (m_area->attachedAxes().contains(to))
        return;
    m_chart->removeAxis(from);
    from->setParent(this);
    m_chart->addAxis(to, Qt::AlignLeft);
    m_area->attachAxis(to);
    redrawChart();
}

bool HistogramWindow::logScale() const { return m_log->isChecked(); }

std::pair<double, double> HistogramWindow::shownRange() const { return {m_axisX->min(), m_axisX->max()}; }

double HistogramWindow::tickInterval() const { return m_axisX->tickInterval(); }

QString HistogramWindow::readout(double at) const
{
    const QVector<Histogram::Bin>& bins = m_histogram.bins();
    const auto bin = std::upper_bound(bins.begin(), bins.end(), at,
                                      [](double v, const Histogram::Bin& b) { return v < b.high; });
    if (bin == bins.end() || at < bin->low)
        return QString();
    return QStringLiteral("dt %1, count %2").arg(ps(at, 1), whole(bin->count));
}

QString HistogramWindow::readoutText() const { return m_readout->text(); }

double HistogramWindow::valueAt(QPoint viewportPos) const
{
    const QPointF scene = m_chartView->mapToScene(viewportPos);
    return m_chart->mapToValue(m_chart->mapFromScene(scene), m_area).x();
}

bool HistogramWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_chartView->viewport())
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Wheel: {
        auto* wheel = static_cast<QWheelEvent*>(event);
        const double steps = wheel->angleDelta().y() / 120.0;
        if (steps != 0)
            zoomAt(valueAt(wheel->position().toPoint()), std::pow(0.8, steps));
        return true;
    }
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        m_dragging = true;
        m_dragValue = valueAt(mouse->position().toPoint());
        return true;
    }
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        double at = valueAt(mouse->position().toPoint());
        if (m_dragging && (mouse->buttons() & Qt::LeftButton)) {
            // Keeps the value grabbed under the mouse.
            panBy(m_dragValue - at);
            at = m_dragValue;
        }
        m_readout->setText(readout(at));
        return m_dragging;
    }
    case QEvent::MouseButtonRelease:
        m_dragging = false;
        break;
    case QEvent::MouseButtonDblClick:
        m_dragging = false;
        resetView();
        return true;
    case QEvent::Leave:
        m_readout->clear();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void HistogramWindow::sampleTrend()
{
    m_trends.sample(m_clock(), m_histogram);
    if (isVisible())
        redrawTrends();
}

void HistogramWindow::setTrendSpanMinutes(int minutes)
{
    m_trendSpan->setValue(minutes);
    redrawTrends();
}

int HistogramWindow::trendPointsShown() const { return int(m_rate->count()); }

void HistogramWindow::redrawTrends()
{
    const double span = m_trendSpan->value() * 60.0;
    const std::vector<TrendSeries::Point> points = m_trends.last(span);
    QList<QPointF> rate;
    QList<QPointF> drift;
    double rateLow = 0, rateHigh = 0;
    double driftLow = 0, driftHigh = 0;
    for (const TrendSeries::Point& p : points) {
        rate.append({p.seconds, p.rate});
        rateLow = rate.size() == 1 ? p.rate : std::min(rateLow, p.rate);
        rateHigh = rate.size() == 1 ? p.rate : std::max(rateHigh, p.rate);
        if (std::isnan(p.drift))
            continue; // a second without records in the window: the line bridges it
        drift.append({p.seconds, p.drift});
        driftLow = drift.size() == 1 ? p.drift : std::min(driftLow, p.drift);
        driftHigh = drift.size() == 1 ? p.drift : std::max(driftHigh, p.drift);
    }
    m_rate->replace(rate);
    m_drift->replace(drift);
    const double newest = points.empty() ? 0 : points.back().seconds;
    for (QChart* chart : {m_rateChart, m_driftChart})
        niceRange(axisOf(chart, Qt::Horizontal), std::max(0.0, newest - span), std::max(newest, span));
    niceRange(axisOf(m_rateChart, Qt::Vertical), std::min(0.0, rateLow), rateHigh > 0 ? rateHigh * 1.05 : 1);
    fitY(axisOf(m_driftChart, Qt::Vertical), driftLow, driftHigh);
}

bool HistogramWindow::exportTrendsCsv(const QString& path, QString* errorText)
{
    return m_trends.writeCsv(path, m_trendSpan->value() * 60.0, errorText);
}

bool HistogramWindow::exportTrendsPng(const QString& path)
{
    redrawTrends();
    return savePng(m_trendCharts->grab(), path);
}

void HistogramWindow::saveAs(const QString& title, const QString& filter,
                             const std::function<bool(const QString&, QString*)>& save)
{
    const QString path = QFileDialog::getSaveFileName(this, title, QString(), filter);
    if (path.isEmpty())
        return;
    QString error;
    if (save(path, &error))
        m_status->setText(QStringLiteral("Saved %1").arg(path));
    else if (error.isEmpty())
        m_status->setText(QStringLiteral("Could not save %1").arg(path));
    else
        m_status->setText(QStringLiteral("Could not save %1: %2").arg(path, error));
}
