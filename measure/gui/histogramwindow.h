/// @brief The non-modal "Histogram" window: chart of the run's time differences, summary figures, exports and link health.
#pragma once

#include <QHash>
#include <QString>
#include <QWidget>

class Histogram;
class LinkHealth;
class QAreaSeries;
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
/// the cost does not follow the record rate.
class HistogramWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int RefreshHz = 10;

    /// linkHealth may be null: the "Link health" box then stays empty.
    HistogramWindow(Histogram& histogram, const LinkHealth* linkHealth, QWidget* parent = nullptr);
    ~HistogramWindow() override;

    /// Writes the histogram as CSV; false with errorText when the file cannot be written.
    bool exportCsv(const QString& path, QString* errorText = nullptr);
    /// Saves a picture of the chart as PNG.
    bool exportPng(const QString& path);

    /// How many times the chart was redrawn: lets a test see the throttle.
    int chartUpdateCount() const { return m_chartUpdates; }
    /// The current figures as shown, by caption ("Count", "Mean", ..., "Reconnects").
    QString figureText(const QString& caption) const;

public slots:
    /// Reads the histogram (when it changed) and the link health now.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void redrawChart();
    void showFigures();
    void showLinkHealth();
    void applySettings();
    void chooseCsv();
    void choosePng();
    QLabel* addFigure(QFormLayout* form, const QString& caption);

    Histogram& m_histogram;
    const LinkHealth* m_linkHealth;
    QTimer* m_timer;
    QChart* m_chart;
    QChartView* m_chartView;
    QLineSeries* m_outline;
    QAreaSeries* m_area;
    QValueAxis* m_axisX;
    QValueAxis* m_axisY;
    QDoubleSpinBox* m_binWidth;
    QDoubleSpinBox* m_windowLow;
    QDoubleSpinBox* m_windowHigh;
    QLabel* m_status;
    QHash<QString, QLabel*> m_figures;
    quint64 m_shownRevision = ~quint64(0);
    int m_chartUpdates = 0;
};
