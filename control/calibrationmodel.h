/// @brief The calibration phase, the four calibration cells, the two Tau texts and the Run gate they drive.
#pragma once

#include "link/decoderoutput.h"
#include "link/protocol.h"

#include <QObject>
#include <QString>
#include <array>

class CalibrationModel : public QObject, public CalibrationReadings {
    Q_OBJECT
public:
    enum Cell { ALow = 0, AHigh = 1, BLow = 2, BHigh = 3 };
    static inline const QString Unknown = QStringLiteral("???");
    static inline const QString DefaultTauA = QString::fromLatin1(protocol::TauADefaultText);
    static inline const QString DefaultTauB = QString::fromLatin1(protocol::TauBDefaultText);

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

    // What the reply decoder reads.
    bool recordGateOpen() const override { return isIdle() && runGate(); }
    QString tauText(Channel channel) const override { return channel == A ? m_tauA : m_tauB; }
    QString lowText(Channel channel) const override { return m_cells[channel == A ? ALow : BLow]; }
    QString highText(Channel channel) const override { return m_cells[channel == A ? AHigh : BHigh]; }

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
