/// @brief The whole panel and the simulator in one process on one fake clock, with the simulator's ground truth at
/// hand.
#pragma once

#include "app/application.h"
#include "app/formmain.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "platform/settingsbackend.h"
#include "session/instrumentsession.h"
#include "session/paneloptions.h"
#include "sim/instrumentsimulator.h"
#include "sim/simulatorsocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace panelbench {

struct TruthRecord {
    QByteArray bytes;
    qint32 represented = 0;
};

/// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// The panel's data files in `folder`, oldest first.
inline QStringList dataFilesIn(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("Coincidences *.txt")}, QDir::Files, QDir::Time | QDir::Reversed);
}

inline QList<TruthRecord> readGroundTruth(const QString& path)
{
    QList<TruthRecord> out;
    for (const QByteArray& line : readFile(path).split('\n')) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() >= 3 && !line.startsWith('#'))
            out.append({QByteArray::fromHex(parts.at(0)), parts.at(2).toInt()});
    }
    return out;
}

inline QString plainLine(qint32 dt) { return QString::number(dt).rightJustified(9); }

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

    explicit Bench(double rate, const std::function<void(Application::Options&)>& configure = {})
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
        if (configure)
            configure(o);
        app = std::make_unique<Application>(o, settings, boxes, Application::Seams{socket.get(), &clock, nullptr, {}});
        app->panelOptions().setDataFolder(dir.path() + u'/');
    }
    ~Bench() { app->window().close(); }
    /// Moves the clock in steps until `done` holds; false when `limitSeconds` of clock time pass first.
    bool runUntil(const std::function<bool()>& done, double limitSeconds)
    {
        const double end = clock.seconds + limitSeconds;
        while (!done()) {
            if (clock.seconds >= end)
                return false;
            clock.elapse(0.01);
            QCoreApplication::sendPostedEvents(); // queued work of the window and the models
        }
        return true;
    }
    PanelView ui() const { return PanelView(app->window()); }
    /// Starts the panel; true once it has connected, calibrated and read the version.
    bool startCalibrated()
    {
        app->start();
        return runUntil(
            [this] { return ui().chkRun->isEnabled() && ui().lblFpga->text().startsWith(QStringLiteral("FPGA: ")); },
            15);
    }
    /// One run of at least `records` records, stopped; the records the simulator sent during it,
    /// or none when the run fell short.
    QList<TruthRecord> run(qint64 records)
    {
        const qsizetype before = truth().size();
        ui().chkRun->setValue(1);
        const bool enough = runUntil([&] { return app->session().runFigures().count.value_or(0) >= records; }, 60);
        // Polling ends with the run, so that no register reply is still on its way when the next
        // run starts: a run start drops a reply held in part, by design.
        ui().chkAuto->setValue(0);
        ui().chkRun->setValue(0);
        // Records already on their way when the stop went out are still decoded (not written).
        clock.elapse(0.1);
        return enough ? truth().mid(before) : QList<TruthRecord>();
    }
    QStringList dataFiles() const { return dataFilesIn(dir.path()); }
    QList<TruthRecord> truth() const { return readGroundTruth(dir.filePath(QStringLiteral("truth.txt"))); }
    /// The lines of a plain data file, without their CR LF; empty when the file is missing.
    QStringList plainLines(const QString& name) const
    {
        QStringList out = QString::fromLatin1(readFile(dir.filePath(name))).split(QStringLiteral("\r\n"));
        if (out.last().isEmpty())
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

} // namespace panelbench
