/// @brief RunSidecar: the JSON layout, its reading back, atomic saving that never writes through a link, and the disk
/// room held for a save on a full disk.
#include "measure/runsidecar.h"

#include "platform/nofollowfile.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <array>
#include <utility>

namespace {

const char* const CellKeys[4] = {"aLow", "aHigh", "bLow", "bHigh"};

QJsonValue optionalInt(const std::optional<int>& v) { return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null); }

// JSON numbers are doubles: exact for counts below 2^53, far beyond any run.
QJsonValue count(quint64 v) { return QJsonValue(qint64(v)); }

QJsonValue timeValue(const QDateTime& t) { return t.isValid() ? QJsonValue(RunSidecar::timeText(t)) : QJsonValue(); }

/// The locale a description's texts are in; no name is the default locale.
QLocale localeNamed(const QString& name) { return name.isEmpty() ? QLocale() : QLocale(name); }

QJsonObject calibrationObject(const Calibration& c, const QLocale& locale)
{
    QJsonObject o;
    for (int i = 0; i < 4; ++i)
        o.insert(QLatin1String(CellKeys[i]), c.cellText(Calibration::Cell(i), locale));
    o.insert(QStringLiteral("tauA"), c.tauText(Calibration::A, locale));
    o.insert(QStringLiteral("tauB"), c.tauText(Calibration::B, locale));
    return o;
}

std::optional<Calibration> readCalibration(const QJsonObject& o, const QLocale& locale)
{
    std::array<QString, 4> cells;
    for (int i = 0; i < 4; ++i) {
        const QJsonValue v = o.value(QLatin1String(CellKeys[i]));
        if (!v.isString())
            return std::nullopt;
        cells[size_t(i)] = v.toString();
    }
    if (!o.value(QStringLiteral("tauA")).isString() || !o.value(QStringLiteral("tauB")).isString())
        return std::nullopt;
    return Calibration::fromTexts(cells, o.value(QStringLiteral("tauA")).toString(),
                                  o.value(QStringLiteral("tauB")).toString(), locale);
}

quint64 readCount(const QJsonObject& o, const QString& key)
{
    return quint64(std::max<qint64>(0, o.value(key).toInteger()));
}

} // namespace

QString RunSidecar::pathFor(const QString& dataFilePath)
{
    if (dataFilePath.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive))
        return dataFilePath.left(dataFilePath.size() - 4) + QStringLiteral(".json");
    return dataFilePath + QStringLiteral(".json");
}

QString RunSidecar::timeText(const QDateTime& time)
{
    // A local time prints without its offset; fixing the offset makes it part of the text.
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QByteArray RunSidecar::toJson(const Description& d)
{
    QJsonObject root;
    root.insert(QStringLiteral("kind"), Kind);
    root.insert(QStringLiteral("formatVersion"), FormatVersion);
    root.insert(QStringLiteral("programVersion"), d.programVersion);
    root.insert(QStringLiteral("dataFile"), d.dataFileName);
    root.insert(QStringLiteral("complete"), d.complete);
    root.insert(QStringLiteral("start"), timeValue(d.start));
    root.insert(QStringLiteral("stop"), timeValue(d.stop));
    root.insert(QStringLiteral("locale"), d.locale);

    QJsonObject instrument;
    instrument.insert(QStringLiteral("address"), d.address);
    instrument.insert(QStringLiteral("port"), int(d.port));
    instrument.insert(QStringLiteral("fpga"), d.fpgaVersion);
    instrument.insert(QStringLiteral("module"), d.moduleVersion);
    root.insert(QStringLiteral("instrument"), instrument);

    QJsonObject options;
    options.insert(QStringLiteral("display"), d.options.display);
    options.insert(QStringLiteral("verbose"), d.options.verbose);
    options.insert(QStringLiteral("file"), d.options.file);
    options.insert(QStringLiteral("raw"), d.options.raw);
    root.insert(QStringLiteral("options"), options);

    const QLocale locale = localeNamed(d.locale);
    root.insert(QStringLiteral("calibration"), calibrationObject(d.calibration, locale));
    QJsonArray changes;
    for (const CalibrationChange& c : d.calibrationChanges) {
        QJsonObject o;
        o.insert(QStringLiteral("time"), timeValue(c.time));
        o.insert(QStringLiteral("reason"), c.reason);
        o.insert(QStringLiteral("entriesBefore"), count(c.entriesBefore));
        o.insert(QStringLiteral("calibration"), calibrationObject(c.calibration, locale));
        changes.append(o);
    }
    root.insert(QStringLiteral("calibrationChanges"), changes);

    QJsonObject dac;
    dac.insert(QStringLiteral("aCode"), optionalInt(d.dacACode));
    dac.insert(QStringLiteral("aEntry"), d.dacAEntry ? QJsonValue(*d.dacAEntry) : QJsonValue());
    root.insert(QStringLiteral("dac"), dac);

    QJsonArray registers;
    for (const Register& r : d.registers) {
        QJsonObject o;
        o.insert(QStringLiteral("index"), r.index);
        o.insert(QStringLiteral("name"), r.name);
        o.insert(QStringLiteral("value"), optionalInt(r.value));
        registers.append(o);
    }
    root.insert(QStringLiteral("registers"), registers);

    QJsonObject records;
    records.insert(QStringLiteral("decoded"), count(d.recordsDecoded));
    records.insert(QStringLiteral("written"), count(d.entriesWritten));
    root.insert(QStringLiteral("records"), records);

    const LinkHealthFigures& h = d.linkHealth;
    QJsonObject health;
    health.insert(QStringLiteral("recordsDecoded"), count(h.recordsDecoded));
    health.insert(QStringLiteral("bytes"), count(h.bytes));
    health.insert(QStringLiteral("rejectedByGate"), count(h.rejectedByGate));
    health.insert(QStringLiteral("rejectedByPlausibility"), count(h.rejectedByPlausibility));
    health.insert(QStringLiteral("rejectedByOverflow"), count(h.rejectedByOverflow));
    health.insert(QStringLiteral("bytesDroppedByResync"), count(h.bytesDroppedByResync));
    health.insert(QStringLiteral("errors"), count(h.errors));
    health.insert(QStringLiteral("reconnects"), count(h.reconnects));
    root.insert(QStringLiteral("linkHealth"), health);

    root.insert(QStringLiteral("dataFileError"),
                d.dataFileError.isEmpty() ? QJsonValue() : QJsonValue(d.dataFileError));
    if (const auto& a = d.acquisition) {
        QJsonObject acquisition;
        acquisition.insert(QStringLiteral("records"), a->records ? count(a->records) : QJsonValue());
        acquisition.insert(QStringLiteral("seconds"),
                           a->milliseconds ? QJsonValue(double(a->milliseconds) / 1000.0) : QJsonValue());
        acquisition.insert(QStringLiteral("recordsAfterStop"), count(a->recordsAfterStop));
        root.insert(QStringLiteral("acquisition"), acquisition);
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<RunSidecar::Description> RunSidecar::fromJson(const QByteArray& json, QString* errorText,
                                                            const std::optional<QString>& readIn)
{
    const auto failed = [errorText](const QString& why) -> std::optional<Description> {
        if (errorText)
            *errorText = why;
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (!doc.isObject())
        return failed(parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                   : QStringLiteral("not a JSON object"));
    const QJsonObject root = doc.object();
    if (root.value(QStringLiteral("kind")).toString() != Kind)
        return failed(QStringLiteral("not a run sidecar"));
    const int version = root.value(QStringLiteral("formatVersion")).toInt();
    if (version < 1 || version > FormatVersion)
        return failed(QStringLiteral("sidecar format %1 is not known to this program").arg(version));

    Description d;
    d.programVersion = root.value(QStringLiteral("programVersion")).toString();
    d.dataFileName = root.value(QStringLiteral("dataFile")).toString();
    d.complete = root.value(QStringLiteral("complete")).toBool();
    d.start = QDateTime::fromString(root.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
    d.stop = QDateTime::fromString(root.value(QStringLiteral("stop")).toString(), Qt::ISODateWithMs);
    d.locale = root.value(QStringLiteral("locale")).toString();

    const QJsonObject instrument = root.value(QStringLiteral("instrument")).toObject();
    d.address = instrument.value(QStringLiteral("address")).toString();
    d.port = quint16(instrument.value(QStringLiteral("port")).toInt());
    d.fpgaVersion = instrument.value(QStringLiteral("fpga")).toString();
    d.moduleVersion = instrument.value(QStringLiteral("module")).toString();

    const QJsonObject options = root.value(QStringLiteral("options")).toObject();
    d.options.display = options.value(QStringLiteral("display")).toBool();
    d.options.verbose = options.value(QStringLiteral("verbose")).toBool();
    d.options.file = options.value(QStringLiteral("file")).toBool();
    d.options.raw = options.value(QStringLiteral("raw")).toBool();

    const QLocale locale = localeNamed(readIn.value_or(d.locale));
    const auto calibration = readCalibration(root.value(QStringLiteral("calibration")).toObject(), locale);
    if (!calibration)
        return failed(QStringLiteral("the calibration is missing or incomplete"));
    d.calibration = *calibration;
    for (const QJsonValue& v : root.value(QStringLiteral("calibrationChanges")).toArray()) {
        const QJsonObject o = v.toObject();
        const auto changed = readCalibration(o.value(QStringLiteral("calibration")).toObject(), locale);
        if (!changed)
            return failed(QStringLiteral("a calibration change is incomplete"));
        CalibrationChange c;
        c.time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        c.reason = o.value(QStringLiteral("reason")).toString();
        c.entriesBefore = readCount(o, QStringLiteral("entriesBefore"));
        c.calibration = *changed;
        d.calibrationChanges.append(c);
    }

    const QJsonObject dac = root.value(QStringLiteral("dac")).toObject();
    if (dac.value(QStringLiteral("aCode")).isDouble())
        d.dacACode = dac.value(QStringLiteral("aCode")).toInt();
    if (dac.value(QStringLiteral("aEntry")).isString())
        d.dacAEntry = dac.value(QStringLiteral("aEntry")).toString();

    for (const QJsonValue& v : root.value(QStringLiteral("registers")).toArray()) {
        const QJsonObject o = v.toObject();
        Register r;
        r.index = o.value(QStringLiteral("index")).toInt();
        r.name = o.value(QStringLiteral("name")).toString();
        if (o.value(QStringLiteral("value")).isDouble())
            r.value = o.value(QStringLiteral("value")).toInt();
        d.registers.append(r);
    }

    const QJsonObject records = root.value(QStringLiteral("records")).toObject();
    d.recordsDecoded = readCount(records, QStringLiteral("decoded"));
    d.entriesWritten = readCount(records, QStringLiteral("written"));

    const QJsonObject health = root.value(QStringLiteral("linkHealth")).toObject();
    LinkHealthFigures& h = d.linkHealth;
    h.recordsDecoded = readCount(health, QStringLiteral("recordsDecoded"));
    h.bytes = readCount(health, QStringLiteral("bytes"));
    h.rejectedByGate = readCount(health, QStringLiteral("rejectedByGate"));
    h.rejectedByPlausibility = readCount(health, QStringLiteral("rejectedByPlausibility"));
    h.rejectedByOverflow = readCount(health, QStringLiteral("rejectedByOverflow"));
    h.bytesDroppedByResync = readCount(health, QStringLiteral("bytesDroppedByResync"));
    h.errors = readCount(health, QStringLiteral("errors"));
    h.reconnects = readCount(health, QStringLiteral("reconnects"));
    d.dataFileError = root.value(QStringLiteral("dataFileError")).toString();
    if (const QJsonValue v = root.value(QStringLiteral("acquisition")); v.isObject()) {
        const QJsonObject o = v.toObject();
        Acquisition a;
        a.records = readCount(o, QStringLiteral("records"));
        a.milliseconds = qRound64(o.value(QStringLiteral("seconds")).toDouble() * 1000.0);
        a.recordsAfterStop = readCount(o, QStringLiteral("recordsAfterStop"));
        d.acquisition = a;
    }
    return d;
}

bool RunSidecar::begin(const QString& dataFilePath, const Description& description)
{
    m_path = pathFor(dataFilePath);
    m_description = description;
    m_description.dataFileName = QFileInfo(dataFilePath).fileName();
    m_description.complete = false;
    m_description.stop = QDateTime();
    m_active = true;
    m_reserved = false;
    return save();
}

bool RunSidecar::save()
{
    if (!m_active) {
        m_error = QStringLiteral("no run is being described");
        m_failure = FileFailure::MassStorage;
        return false;
    }
    const QByteArray bytes = toJson(m_description);
    if (!writeWhole(bytes)) {
        // Typically the disk the data file has just filled: the held room is given back for
        // the new copy, and the old copy is still whole if even that is not enough.
        if (!std::exchange(m_reserved, false) || !trimToSaved() || !writeWhole(bytes))
            return false;
    }
    m_savedSize = bytes.size();
    holdReserve(m_savedSize);
    m_error.clear();
    m_failure = FileFailure::None;
    return true;
}

bool RunSidecar::writeWhole(const QByteArray& bytes)
{
    // The folder may be one that others can write (a script may name /tmp): a link planted at
    // the sidecar's name is refused and left alone, never written through.
    const NoFollowFile::Replaced replaced = NoFollowFile::replaceContents(m_path, bytes);
    if (!replaced.ok()) {
        m_error = replaced.errorString;
        m_failure = replaced.failure();
        return false;
    }
    return true;
}

bool RunSidecar::trimToSaved()
{
    // Whatever stands at the name now is opened only if it is still a plain file of its own:
    // a link swapped in since the save must not cut someone else's file short.
    NoFollowFile file;
    return file.openExisting(m_path) && file.resize(m_savedSize);
}

void RunSidecar::holdReserve(qint64 size)
{
    m_reserved = false;
#ifdef Q_OS_LINUX
    // Blocks beyond the end: the file's size and bytes stay as they are. Best effort; the
    // new copy's rename has just freed the old copy's room, so this usually succeeds even
    // on a full disk.
    NoFollowFile file;
    m_reserved = file.openExisting(m_path) && file.reserve(size + ReserveBytes);
#else
    Q_UNUSED(size);
#endif
}

bool RunSidecar::finish(const QDateTime& stop)
{
    if (!m_active)
        return false;
    m_description.stop = stop;
    m_description.complete = true;
    const bool ok = save();
    m_active = false;
    // A finished sidecar is never saved again: it need not hold room for another copy.
    if (std::exchange(m_reserved, false))
        trimToSaved();
    return ok;
}

bool RunSidecar::saveFinished()
{
    if (m_active || m_path.isEmpty() || !m_description.complete) {
        m_error = QStringLiteral("no finished run is being described");
        m_failure = FileFailure::MassStorage;
        return false;
    }
    const QByteArray bytes = toJson(m_description);
    if (!writeWhole(bytes))
        return false;
    m_savedSize = bytes.size();
    m_error.clear();
    m_failure = FileFailure::None;
    return true;
}
