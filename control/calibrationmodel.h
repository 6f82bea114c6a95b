/// @brief The calibration phase, the four calibration cells, the two Tau texts, the Run gate they drive and the
/// calibration they read as.
#pragma once

#include "link/calibration.h"
#include "link/protocol.h"

#include <QObject>
#include <QString>
#include <array>

class ReplyDecoder;

/// The owner of the calibration's texts: the cells as the window shows them and the Tau fields
/// as the operator typed them. Every change reads them once into a Calibration (calibration());
/// the decoder, the histogram and the run's sidecar take that value, never the texts.
class CalibrationModel : public QObject {
    Q_OBJECT
public:
    enum Cell {
        ALow = Calibration::ALow,
        AHigh = Calibration::AHigh,
        BLow = Calibration::BLow,
        BHigh = Calibration::BHigh
    };
    static inline const QString Unknown = QStringLiteral("???");
    static inline const QString DefaultTauA = QString::fromLatin1(protocol::TauADefaultText);
    static inline const QString DefaultTauB = QString::fromLatin1(protocol::TauBDefaultText);

    explicit CalibrationModel(QObject* parent = nullptr);

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
    bool runGate() const { return m_calibration.cellsInWindows(); }
    /// True when no calibration sequence is under way (phase reads as 0).
    bool isIdle() const { return m_idle; }

    /// The texts read as numbers, in the default locale of the last reading.
    const Calibration& calibration() const { return m_calibration; }
    /// Reads the texts again in the default locale, which may have changed since (Qt tells no
    /// one when it does); announces the calibration when it reads differently now.
    void rereadTexts();

    /// From now on `decoder` converts and gates with this model's calibration: set at once, again
    /// on every change, and read anew when the decoder meets another default locale.
    void bindDecoder(ReplyDecoder& decoder);

signals:
    void phaseChanged(const QString& phase);
    void cellChanged(CalibrationModel::Cell cell, const QString& text);
    void runGateEvaluated(bool enabled);
    void tauChanged();
    /// After every change of what the texts read as.
    void calibrationChanged(const Calibration& calibration);
    void idleChanged(bool idle);

private:
    /// Reads the texts; true when the calibration changed.
    bool readTexts();
    bool readPhase();

    QString m_phase = QStringLiteral("0");
    std::array<QString, 4> m_cells{Unknown, Unknown, Unknown, Unknown};
    QString m_tauA = DefaultTauA;
    QString m_tauB = DefaultTauB;
    Calibration m_calibration;
    bool m_idle = true;
};
