/// @brief Calibration: the four calibration readings and the two taus as numbers, read once from the panel's texts.
#pragma once

#include <QLocale>
#include <QString>
#include <array>
#include <optional>

/// What the time conversion and the record gate take from a calibration, as values. The panel
/// holds texts (the cells it shows, the Tau fields the operator types into); they are read here,
/// once, by the panel's two rules:
///   - the conversion takes a text only when all of it is a number (numbers::strictNumber in the
///     locale given, then in C): "???", "" or "500x" is no number, and a channel with one such
///     text converts nothing (a type mismatch);
///   - the record gate reads a cell forgivingly (numbers::leadingNumber: "500x" is 500, "???" is
///     0, whatever the locale) and wants each cell strictly inside its window.
/// The strict reading depends on the locale: whoever holds the texts reads them again when the
/// default locale changes.
class Calibration {
public:
    /// The order of the panel's cells, and of the sidecar's keys.
    enum Cell { ALow = 0, AHigh = 1, BLow = 2, BHigh = 3 };
    enum Channel { A = 0, B = 1 };

    /// Nothing read: no channel converts and the gate is shut.
    Calibration() = default;
    /// `cells` in the order of Cell.
    static Calibration fromTexts(const std::array<QString, 4>& cells, const QString& tauA, const QString& tauB,
                                 const QLocale& locale = QLocale());

    std::optional<double> reading(Cell cell) const { return m_readings[cell]; }
    std::optional<double> low(Channel channel) const { return m_readings[channel == A ? ALow : BLow]; }
    std::optional<double> high(Channel channel) const { return m_readings[channel == A ? AHigh : BHigh]; }
    std::optional<double> tau(Channel channel) const { return m_taus[channel]; }
    /// Tau, low and high of the channel all read as numbers: its readings can be converted.
    bool converts(Channel channel) const { return tau(channel) && low(channel) && high(channel); }
    /// The cells' part of the record gate: every cell strictly inside its window.
    bool cellsInWindows() const
    {
        return m_inWindow[ALow] && m_inWindow[AHigh] && m_inWindow[BLow] && m_inWindow[BHigh];
    }

    /// A reading given as a number (a calibration given on a command line): strict and forgiving
    /// reading are the same.
    void setReading(Cell cell, double value);
    void setTau(Channel channel, std::optional<double> value);

    /// The texts a file keeps, spelled so that a reader in `locale` reads the same numbers back:
    /// a cell's whole number as the panel shows it ("1905"), anything not a number as "???".
    QString cellText(Cell cell, const QLocale& locale) const { return spelled(m_readings[cell], locale); }
    QString tauText(Channel channel, const QLocale& locale) const { return spelled(m_taus[channel], locale); }

    /// Equal bit for bit: -0 and 0 may convert differently.
    bool operator==(const Calibration& other) const;

private:
    static QString spelled(std::optional<double> value, const QLocale& locale);

    std::array<std::optional<double>, 4> m_readings{};
    std::array<std::optional<double>, 2> m_taus{};
    std::array<bool, 4> m_inWindow{};
};
