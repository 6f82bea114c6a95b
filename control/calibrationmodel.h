/// @brief The calibration phase, the four calibration cells, the two Tau texts and the Run gate they drive.
#pragma once

#include <QObject>
#include <QString>
#include <array>

class CalibrationModel : public QObject {
    Q_OBJECT
public:
    enum Cell { ALow = 0, AHigh = 1, BLow = 2, BHigh = 3 };
    static inline const QString Unknown = QStringLiteral("???");
    static inline const QString DefaultTauA = QStringLiteral("9.47");
    static inline const QString DefaultTauB = QStringLiteral("9.49");

    using QObject::QObject;

    /// "0" idle, "1" low capture, "2" high capture; held as text, read as a number.
    QString phaseText() const { return m_phase; }
    void setPhaseText(const QString& phase);

    QString cell(Cell c) const { return m_cells[c]; }
    /// Every change re-evaluates the Run gate (and emits runGateEvaluated).
    void setCell(Cell c, const QString& text);
    /// All four to "???", in the order A low, A high, B low, B high.
    void voidCells();

    QString tauA() const { return m_tauA; }
    QString tauB() const { return m_tauB; }
    void setTauA(const QString& text);
    void setTauB(const QString& text);

    /// The four cells read as leading numbers, each strictly inside its window.
    bool runGate() const;
    /// True when no calibration sequence is under way (phase reads as 0).
    bool isIdle() const;

signals:
    void phaseChanged(const QString& phase);
    void cellChanged(CalibrationModel::Cell cell, const QString& text);
    void runGateEvaluated(bool enabled);
    void tauChanged();

private:
    QString m_phase = QStringLiteral("0");
    std::array<QString, 4> m_cells{Unknown, Unknown, Unknown, Unknown};
    QString m_tauA = DefaultTauA;
    QString m_tauB = DefaultTauB;
};
