/// @brief The non-modal "Histogram" window: chart of the run's time differences, summary figures, exports and link
/// health.
#pragma once

#include "measure/trendseries.h"

#include <QHash>
#include <QString>
#include <QWidget>
#include <functional>
#include <utility>

class Histogram;
struct LinkHealthFigures;
class QAreaSeries;
class QCheckBox;
class QLogValueAxis;
class QPushButton;
class QSpinBox;
class QChart;
class QChartView;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QLineSeries;
class QTimer;
class QValueAxis;

/// Shows a Histogram that something else fills (HistogramFeed on the decoder). Reads it on a
/// timer at most RefreshHz times a second while visible, and only redraws when it changed, so
/// the cost does not follow the record rate. RefreshHz is what keeps a record's way to the chart
/// under 50 ms: it waits at most one period for the next redraw, which itself takes a few ms. Beside it, strip charts
/// of the rate and the drift, sampled once a second whether the window is shown or not.
///
/// On the chart the wheel zooms the time axis around the mouse, dragging pans it and a
/// double-click returns to the automatic range; the mouse position is read out below.
class HistogramWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int RefreshHz = 30;
    static constexpr int TrendIntervalMs = 1000;
    /// Most intervals between x-axis ticks.
    static constexpr int MaxTicks = 8;

    /// The link health figures as they are now, read at every refresh.
    using LinkHealthSource = std::function<LinkHealthFigures()>;

    /// linkHealth may be empty: the "Link health" box then stays empty.
    HistogramWindow(Histogram& histogram, LinkHealthSource linkHealth, QWidget* parent = nullptr);
    ~HistogramWindow() override;

    /// Writes the histogram as CSV; false with errorText when the file cannot be written.
    bool exportCsv(const QString& path, QString* errorText = nullptr);
    /// Saves a picture of the chart as PNG.
    bool exportPng(const QString& path);
    /// The trend points of the current span as CSV, and a picture of both strip charts.
    bool exportTrendsCsv(const QString& path, QString* errorText = nullptr);
    bool exportTrendsPng(const QString& path);

    /// Narrows (factor < 1) or widens the time axis around ps; the range becomes a fixed one.
    void zoomAt(double ps, double factor);
    /// Moves the time axis by ps.
    void panBy(double ps);
    /// Back to the automatic range around the peak.
    void resetView();
    void setShowAll(bool all);
    void setLogScale(bool log);
    bool logScale() const;
    /// A fixed range typed by the operator; ignored unless low < high.
    void setManualRange(double low, double high);
    /// The time axis as drawn, and its tick step.
    std::pair<double, double> shownRange() const;
    double tickInterval() const;
    /// "dt ... ps, count ..." for the bin under ps; empty outside the bins.
    QString readout(double ps) const;
    QString readoutText() const;

    /// Milliseconds of a monotonic clock for the trend samples (tests inject their own).
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }
    const TrendSeries& trends() const { return m_trends; }
    /// Minutes of history the strip charts show.
    void setTrendSpanMinutes(int minutes);
    /// Points drawn on the rate chart: lets a test see what the strip chart holds.
    int trendPointsShown() const;

    /// How many times the chart was redrawn: lets a test see the throttle.
    int chartUpdateCount() const { return m_chartUpdates; }
    /// The current figures as shown, by caption ("Count", "Mean", ..., "Reconnects").
    QString figureText(const QString& caption) const;

public slots:
    /// Reads the histogram (when it changed) and the link health now.
    void refresh();
    /// Takes one trend point now and redraws the strip charts when shown.
    void sampleTrend();

signals:
    /// A refresh is due and reads the histogram next: whatever feeds it can catch up first.
    void aboutToRefresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void redrawChart();
    void showFigures();
    void showLinkHealth();
    void applySettings();
    /// The file dialog, then `save`, with the outcome in the status line.
    void saveAs(const QString& title, const QString& filter, const std::function<bool(const QString&, QString*)>& save);
    void redrawTrends();
    void applyRange(double low, double high);
    void showRangeBoxes();
    double valueAt(QPoint viewportPos) const;
    QLabel* addFigure(QFormLayout* form, const QString& caption);

    Histogram& m_histogram;
    LinkHealthSource m_linkHealth;
    QTimer* m_timer;
    QChart* m_chart;
    QChartView* m_chartView;
    QLineSeries* m_outline;
    QLineSeries* m_baseline; ///< the area's lower edge: 0, or the floor of the log axis
    QAreaSeries* m_area;
    QValueAxis* m_axisX;
    QValueAxis* m_axisY;
    QLogValueAxis* m_axisLog;
    QCheckBox* m_log;
    QPushButton* m_showAll;
    QDoubleSpinBox* m_rangeLow;
    QDoubleSpinBox* m_rangeHigh;
    QLabel* m_readout;
    QChart* m_rateChart;
    QChart* m_driftChart;
    QLineSeries* m_rate;
    QLineSeries* m_drift;
    QWidget* m_trendCharts;
    QSpinBox* m_trendSpan;
    QTimer* m_trendTimer;
    TrendSeries m_trends;
    std::function<qint64()> m_clock;
    bool m_dragging = false;
    double m_dragValue = 0;
    QDoubleSpinBox* m_binWidth;
    QDoubleSpinBox* m_windowLow;
    QDoubleSpinBox* m_windowHigh;
    QLabel* m_status;
    QHash<QString, QLabel*> m_figures;
    quint64 m_shownRevision = ~quint64(0);
    int m_chartUpdates = 0;
};
