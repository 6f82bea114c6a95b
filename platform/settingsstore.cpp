/// @brief Read/write/delete over a SettingsBackend with the registry's size and type rules.
#include "platform/settingsstore.h"

#include "platform/settingsbackend.h"

namespace {
constexpr int kMaxValueBytes = 1024;
}

bool SettingsStore::ReadRegValue(const QString& keyPath, const QString& valueName, QString& text) const
{
    text.clear();
    const QVariant v = m_backend.read(keyPath, valueName);
    if (!v.isValid())
        return false;
    QString t;
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        // A 32-bit number stored by another tool reads as its signed decimal text.
        t = QString::number(qint32(quint32(v.toULongLong())));
        break;
    default:
        t = v.toString();
        break;
    }
    QByteArray bytes = t.toLocal8Bit();
    if (bytes.isEmpty() || bytes.size() > kMaxValueBytes)
        return false;
    if (bytes.endsWith('\0'))
        t.chop(1);
    text = t;
    return true;
}

bool SettingsStore::WriteRegValue(const QString& keyPath, const QString& valueName, const QString& text)
{
    if (m_backend.write(keyPath, valueName, text))
        return true;
    reportFailure(keyPath);
    return false;
}

bool SettingsStore::DeleteRegValue(const QString& keyPath, const QString& valueName)
{
    QString existing;
    if (!ReadRegValue(keyPath, valueName, existing))
        return false;
    if (m_backend.remove(keyPath, valueName))
        return true;
    reportFailure(keyPath);
    return false;
}

void SettingsStore::checkWritable(const QString& keyPath)
{
    if (!m_backend.isWritable(keyPath))
        reportFailure(keyPath);
}

void SettingsStore::reportFailure(const QString& keyPath)
{
    if (m_reported || !m_report)
        return;
    m_reported = true;
    m_report(QStringLiteral("Doh! (settings) cannot be saved in ") + m_backend.location(keyPath));
}
