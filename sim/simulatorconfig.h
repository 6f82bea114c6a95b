/// @brief Everything the simulated instrument can be told at construction: identity, calibration, physics, output.
#pragma once

#include "link/protocol.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

struct SimulatorConfig {
    static constexpr quint16 DefaultPort = protocol::DefaultPort;
    static constexpr int ModuleVersionLength = 13;

    // Identity, as the version reply and register 7 report it.
    quint8 fpgaMajor = 1;
    quint8 fpgaMinor = 2;    ///< 0 to 15
    quint8 fpgaRevision = 3; ///< 0 to 15
    /// Padded with blanks or cut to 13 bytes on the wire.
    QByteArray moduleVersion = "  RCM 4.2.1  ";
    quint16 verilogVersion = 0x012;

    // The ADC readings reported for registers 3 and 4 at the two calibration levels.
    int calLowA = 500;
    int calLowB = 510;
    int calHighA = 3600;
    int calHighB = 3590;
    /// Each calibration reading is the level plus a uniform integer in [-calNoise, calNoise].
    int calNoise = 3;

    /// Ramp time constants in ns; the panel's defaults, so a stock panel reproduces our numbers.
    double tauANs = protocol::TauADefault;
    double tauBNs = protocol::TauBDefault;

    // The coincidence stream.
    double recordsPerSecond = 1000;
    quint64 seed = 1;
    /// Time differences in ps, in the panel's sign convention (B later than A is negative). The
    /// instrument represents about -2,558,000 to +8,000 ps; draws outside are drawn again, so the
    /// distribution is cut to that range.
    double peakPs = -25000;
    double peakWidthPs = 250; ///< Gaussian sigma; 0 puts every peak record on peakPs
    double backgroundFraction = 0.02;
    double backgroundSpanPs = 100000; ///< flat background, centred on the peak
    double overrangeFraction = 0;
    /// Fill the bits the panel must ignore (upper nibble of B's and the registers' high bytes).
    bool setUnusedBits = false;

    // The blast stream (TCP clients only): a pre-generated ring of records, sent again and again.
    bool blast = false;
    /// Records in the ring; the ground truth holds them once.
    int blastRingRecords = 1 << 20;
    /// Paced at recordsPerSecond; otherwise as fast as the socket takes the bytes.
    bool blastPaced = false;
    static constexpr int MaxBlastRingRecords = 1 << 24;

    // Output and bookkeeping.
    QString groundTruthPath; ///< empty: no ground truth file
    bool keepSentBytes = false;
    /// Generation pauses while more than this is waiting for a slow reader.
    qint64 maxQueuedBytes = 4 * 1024 * 1024;
    /// Pause between the pieces of a split reply, so that they reach the reader as separate arrivals.
    int splitGapMs = 2;

    /// Empty when usable, otherwise the first problem found, in words.
    QString validationError() const;
};
