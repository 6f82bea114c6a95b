/// @brief The whole panel and the simulator in one process, over 127.0.0.1, with the simulator's ground truth at hand.
#pragma once

#include "app/application.h"
#include "app/formmain.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "session/paneloptions.h"
#include "platform/settingsbackend.h"
#include "sim/instrumentsimulator.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
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

/// The panel and the simulator, both in this process, talking over 127.0.0.1.
struct Bench {
    QTemporaryDir dir;
    std::unique_ptr<InstrumentSimulator> sim;
    MemorySettingsBackend settings;
    FakeMessageBoxes boxes;
    std::unique_ptr<Application> app;

    explicit Bench(double rate)
    {
        SimulatorConfig cfg;
        cfg.recordsPerSecond = rate;
        cfg.groundTruthPath = dir.filePath(QStringLiteral("truth.txt"));
        cfg.seed = 7;
        sim = std::make_unique<InstrumentSimulator>(cfg);
        sim->start(0);
        Application::Options o;
        o.address = QStringLiteral("127.0.0.1");
        o.port = sim->port();
        app = std::make_unique<Application>(o, settings, boxes);
        app->panelOptions().setDataFolder(dir.path() + u'/');
    }
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
