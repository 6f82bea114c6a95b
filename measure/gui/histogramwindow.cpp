/// @brief Layout, throttled refresh and exports of the histogram window.
#include "measure/gui/histogramwindow.h"

#include "measure/histogram.h"
#include "measure/linkhealth.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

namespace {

QString ps(double v, int decimals = 1)
{
    return QLocale().toString(v, 'f', decimals) + QStringLiteral(" ps");
}

QString whole(quint64 v)
{
    return QLocale().toString(v);
}

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

} // namespace

HistogramWindow::HistogramWindow(Histogram& histogram, const LinkHealth* linkHealth, QWidget* parent)
    : QWidget(parent, Qt::Window), m_histogram(histogram), m_linkHealth(linkHealth), m_timer(new QTimer(this)),
      m_chart(new QChart), m_chartView(new QChartView(m_chart)), m_outline(new QLineSeries),
      m_area(new QAreaSeries(m_outline)), m_axisX(new QValueAxis), m_axisY(new QValueAxis)
{
    setWindowTitle(QStringLiteral("Histogram"));

    m_chart->legend()->hide();
    m_chart->addSeries(m_area);
    m_axisX->setTitleText(QStringLiteral("time difference (ps)"));
    m_axisX->setLabelFormat(QStringLiteral("%.0f"));
    m_axisY->setLabelFormat(QStringLiteral("%.0f"));
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisY, Qt::AlignLeft);
    m_area->attachAxis(m_axisX);
    m_area->attachAxis(m_axisY);
    m_chartView->setRenderHint(QPainter::Antialiasing, false);
    m_chartView->setMinimumSize(520, 360);

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

    auto* health = new QGroupBox(QStringLiteral("Link health"));
    auto* healthForm = new QFormLayout(health);
    for (const char* caption : {"Records/s", "Bytes/s", "Decoded", "Bytes", "Rejected (gate)", "Rejected (plausibility)",
                                "Rejected (overflow)", "Dropped (resync)", "Errors", "Reconnects"})
        addFigure(healthForm, QString::fromLatin1(caption));

    auto* csv = new QPushButton(QStringLiteral("CSV..."));
    auto* png = new QPushButton(QStringLiteral("PNG..."));
    connect(csv, &QPushButton::clicked, this, &HistogramWindow::chooseCsv);
    connect(png, &QPushButton::clicked, this, &HistogramWindow::choosePng);
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
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_chartView, 1);
    layout->addLayout(side);

    m_timer->setInterval(1000 / RefreshHz);
    connect(m_timer, &QTimer::timeout, this, &HistogramWindow::refresh);
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
    m_histogram.setWindow(m_windowLow->value(), m_windowHigh->value());
    // Shown with the next tick, like new records.
}

void HistogramWindow::refresh()
{
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
    m_outline->replace(points);
    if (bins.isEmpty()) {
        m_axisX->setRange(-1, 1);
    } else {
        m_axisX->setRange(bins.front().low, bins.back().high);
    }
    m_axisY->setRange(0, top > 0 ? top * 1.05 : 1);
    m_axisY->setTitleText(QStringLiteral("counts per %1").arg(ps(m_histogram.summary().nominalBinWidth, 1)));
}

void HistogramWindow::showFigures()
{
    const Histogram::Summary s = m_histogram.summary();
    const bool any = s.count > 0;
    m_figures["Count"]->setText(whole(s.count));
    m_figures["Mean"]->setText(any ? ps(s.mean, 1) : QString());
    m_figures["Std dev"]->setText(s.count > 1 ? ps(s.stdDev, 1) : QString());
    m_figures["FWHM"]->setText(s.fwhm ? ps(*s.fwhm, 1) : QStringLiteral("-"));
    m_figures["In window"]->setText(whole(s.inWindow));
    m_figures["Underflow"]->setText(whole(s.underflow));
    m_figures["Overflow"]->setText(whole(s.overflow));
    m_figures["Bins"]->setText(any ? QStringLiteral("%1 (%2)").arg(s.binCount).arg(s.calibratedGrid ? tr("calibrated grid")
                                                                                                      : tr("integer grid"))
                                   : QString());
}

void HistogramWindow::showLinkHealth()
{
    if (!m_linkHealth)
        return;
    const LinkHealthFigures f = m_linkHealth->figures();
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
    return m_chartView->grab().save(path, "PNG");
}

void HistogramWindow::chooseCsv()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export histogram"), QString(),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    m_status->setText(exportCsv(path, &error) ? QStringLiteral("Saved %1").arg(path)
                                              : QStringLiteral("Could not save %1: %2").arg(path, error));
}

void HistogramWindow::choosePng()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export chart"), QString(),
                                                      QStringLiteral("PNG images (*.png)"));
    if (path.isEmpty())
        return;
    m_status->setText(exportPng(path) ? QStringLiteral("Saved %1").arg(path) : QStringLiteral("Could not save %1").arg(path));
}
