/// @brief The whole panel and the simulator in one process on one fake clock, with the simulator's ground truth at hand.
#pragma once

#include "app/application.h"
#include "app/formmain.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "session/paneloptions.h"
#include "platform/settingsbackend.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace panelbench {

struct TruthRecord {
    QByteArray bytes;
    qint32 represented = 0;
};

inline QList<TruthRecord> readGroundTruth(const QString& path)
{
    QList<TruthRecord> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() < 3)
            continue;
        out.append({QByteArray::fromHex(parts.at(0)), parts.at(2).toInt()});
    }
    return out;
}

inline QString plainLine(qint32 dt)
{
    const QString number = dt < 0 ? QString::number(dt) : u' ' + QString::number(dt);
    return (QStringLiteral("         ") + number).right(9);
}

/// Moves the clock in steps until `done` holds; false when `limitSeconds` of clock time pass first.
inline bool runUntil(FakeClock& clock, const std::function<bool()>& done, double limitSeconds, double step = 0.01)
{
    const double end = clock.seconds + limitSeconds;
    while (!done()) {
        if (clock.seconds >= end)
            return false;
        clock.elapse(step);
        QCoreApplication::sendPostedEvents(); // queued work of the window and the models
    }
    return true;
}

/// The panel and the simulator in this process, joined by a SimulatorSocket and sharing one fake
/// clock: nothing happens until the test moves the clock, and then exactly what that time holds.
struct Bench {
    QTemporaryDir dir;
    FakeClock clock;
    std::unique_ptr<InstrumentSimulator> sim;
    std::unique_ptr<SimulatorSocket> socket;
    MemorySettingsBackend settings;
    FakeMessageBoxes boxes;
    std::unique_ptr<Application> app;

    explicit Bench(double rate)
    {
        SimulatorConfig cfg;
        cfg.recordsPerSecond = rate;
        cfg.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
        cfg.seed = 7;
        sim = std::make_unique<InstrumentSimulator>(cfg, clock);
        sim->startInProcess();
        socket = std::make_unique<SimulatorSocket>(*sim, clock);
        Application::Options o;
        o.address = QStringLiteral("127.0.0.1");
        app = std::make_unique<Application>(o, settings, boxes, Application::Seams{socket.get(), &clock});
        app->panelOptions().setDataFolder(dir.path() + u'/');
    }
    ~Bench() { app->window().close(); }
    bool runUntil(const std::function<bool()>& done, double limitSeconds) { return panelbench::runUntil(clock, done, limitSeconds); }
    PanelView ui() const { return PanelView(app->window()); }
    QStringList dataFiles() const
    {
        return QDir(dir.path()).entryList({QStringLiteral("Coincidences *.txt")}, QDir::Files, QDir::Time | QDir::Reversed);
    }
    QList<TruthRecord> truth() const { return readGroundTruth(dir.filePath(QStringLiteral("truth.txt"))); }
    /// The lines of a plain data file, without their CR LF; empty when the file is missing.
    QStringList plainLines(const QString& name) const
    {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList out = QString::fromLatin1(f.readAll()).split(QStringLiteral("\r\n"));
        if (!out.isEmpty() && out.last().isEmpty())
            out.removeLast();
        return out;
    }
};

/// How many of `lines` differ from the records sent, taken in order from the first.
inline qsizetype prefixMismatches(const QStringList& lines, const QList<TruthRecord>& truth)
{
    qsizetype bad = 0;
    for (qsizetype i = 0; i < lines.size(); ++i)
        if (i >= truth.size() || lines.at(i) != plainLine(truth.at(i).represented))
            ++bad;
    return bad;
}

/// True when `lines` are records sent, in the order sent, with none invented (some may be missing).
inline bool isSubsequence(const QStringList& lines, const QList<TruthRecord>& truth)
{
    qsizetype t = 0;
    for (const QString& line : lines) {
        while (t < truth.size() && plainLine(truth.at(t).represented) != line)
            ++t;
        if (t == truth.size())
            return false;
        ++t;
    }
    return true;
}

} // namespace panelbench
