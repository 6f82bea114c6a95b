/// @brief PanelOptions: created values, the start-up restore rules and the write-back of the switches.
#include "session/paneloptions.h"

#include "control/calibrationmodel.h"
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
    : QObject(parent), m_store(store), m_dataFolder(createdDataFolder()), m_address(QStringLiteral("192.168.1.123")),
      m_tauA(CalibrationModel::DefaultTauA), m_tauB(CalibrationModel::DefaultTauB)
{
}

QString PanelOptions::storedName(Switch s)
{
    switch (s) {
    case OnTop: return settingskeys::OnTop;
    case Verbose: return settingskeys::Verbose;
    case Display: return settingskeys::Display;
    case File: return settingskeys::File;
    case Raw: return settingskeys::RawData;
    }
    return QString();
}

void PanelOptions::setValue(Switch s, int value)
{
    if (m_values[size_t(s)] == value)
        return;
    m_values[size_t(s)] = value;
    emit valueChanged(s, value);
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

void PanelOptions::setTauA(const QString& text)
{
    if (text == m_tauA)
        return;
    m_tauA = text;
    emit tauAChanged(text);
}

void PanelOptions::setTauB(const QString& text)
{
    if (text == m_tauB)
        return;
    m_tauB = text;
    emit tauBChanged(text);
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
