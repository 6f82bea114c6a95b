/// @brief PanelOptions: created values, the start-up restore rules, the write-back of the switches and their snapshot.
#include "session/paneloptions.h"

#include "measure/datafile.h"
#include "platform/numbers.h"
#include "platform/settingsstore.h"

#include <QDir>

namespace {

QString createdDataFolder()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\");
#else
    // "C:\" means nothing here; the operator's documents folder is the natural place, written
    // as the picker writes a chosen folder: native separators, one trailing separator.
    const QString folder = QDir::toNativeSeparators(QDir::cleanPath(DataFile::defaultFolder()));
    return folder.endsWith(QDir::separator()) ? folder : folder + QDir::separator();
#endif
}

} // namespace

PanelOptions::PanelOptions(SettingsStore& store, QObject* parent)
    : QObject(parent), m_store(store), m_dataFolder(createdDataFolder()), m_address(QStringLiteral("192.168.1.123"))
{}

QString PanelOptions::storedName(Switch s)
{
    switch (s) {
    case OnTop:
        return settingskeys::OnTop;
    case Verbose:
        return settingskeys::Verbose;
    case Display:
        return settingskeys::Display;
    case File:
        return settingskeys::File;
    case Raw:
        return settingskeys::RawData;
    }
    return QString();
}

void PanelOptions::setValue(Switch s, int value)
{
    if (m_values[size_t(s)] == value)
        return;
    m_values[size_t(s)] = value;
    emit valueChanged(s, value);
    if (s != OnTop)
        emit dataOptionsChanged(dataOptions());
    m_store.WriteRegValue(settingskeys::Panel, storedName(s), QString::number(value));
}

void PanelOptions::setDataFolder(const QString& folder)
{
    if (folder == m_dataFolder)
        return;
    m_dataFolder = folder;
    emit dataFolderChanged(folder);
}

void PanelOptions::setAddress(const QString& address)
{
    if (address == m_address)
        return;
    m_address = address;
    emit addressChanged(address);
}

DataOptions PanelOptions::dataOptions() const
{
    DataOptions o;
    o.display = value(Display) != 0;
    o.verbose = value(Verbose) != 0;
    o.file = value(File) != 0;
    o.raw = value(Raw) != 0;
    return o;
}

void PanelOptions::restore()
{
    for (const Switch s : {OnTop, Verbose, Display, File, Raw}) {
        QString text;
        if (!m_store.ReadRegValue(settingskeys::Panel, storedName(s), text))
            continue;
        const auto v = numbers::strictNumber(text);
        if (!v)
            continue;
        const double r = numbers::roundHalfEven(*v);
        if (r < 0 || r > 2)
            continue;
        setValue(s, int(r));
    }
    QString path;
    if (m_store.ReadRegValue(settingskeys::Panel, settingskeys::FilePath, path))
        setDataFolder(path.trimmed());
}
