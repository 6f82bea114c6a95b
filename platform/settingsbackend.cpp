/// @brief QSettings-backed and in-memory settings backends.
#include "platform/settingsbackend.h"

#include <QSettings>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// "SOFTWARE\Quorvel\Tallyscope" -> organisation "Quorvel", application "Tallyscope", so that
// on Windows the native format lands on the very registry key the panel has always used.
std::unique_ptr<QSettings> open(const QString& keyPath)
{
    QStringList parts = keyPath.split(u'\\', Qt::SkipEmptyParts);
    if (!parts.isEmpty() && parts.first().compare(u"SOFTWARE", Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    if (parts.size() < 2)
        return nullptr;
    const QString org = parts.takeFirst();
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, org, parts.join(u'\\'));
}

QString flatKey(const QString& keyPath, const QString& name) { return keyPath + u'\x1f' + name; }

// QSettings creates its registry key as soon as it is made, even to read. A read or a delete
// must leave the registry as it found it, so they look for the key first.
bool storeExists(const QString& keyPath)
{
#ifdef Q_OS_WIN
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.toStdWString().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
#else
    Q_UNUSED(keyPath);
    return true; // the file is made only by a write
#endif
}

} // namespace

QVariant QSettingsBackend::read(const QString& keyPath, const QString& name) const
{
    if (!storeExists(keyPath))
        return {};
    auto s = open(keyPath);
    if (!s || !s->contains(name))
        return {};
    return s->value(name);
}

bool QSettingsBackend::write(const QString& keyPath, const QString& name, const QString& text)
{
    auto s = open(keyPath);
    if (!s)
        return false;
    s->setValue(name, text);
    s->sync();
    return s->status() == QSettings::NoError;
}

bool QSettingsBackend::remove(const QString& keyPath, const QString& name)
{
    if (!storeExists(keyPath))
        return false;
    auto s = open(keyPath);
    if (!s || !s->contains(name))
        return false;
    s->remove(name);
    s->sync();
    return s->status() == QSettings::NoError;
}

bool QSettingsBackend::isWritable(const QString& keyPath) const
{
    auto s = open(keyPath);
    return s && s->isWritable();
}

QString QSettingsBackend::location(const QString& keyPath) const
{
    auto s = open(keyPath);
    return s ? s->fileName() : keyPath;
}

QVariant MemorySettingsBackend::read(const QString& keyPath, const QString& name) const
{
    return m_values.value(flatKey(keyPath, name));
}

bool MemorySettingsBackend::write(const QString& keyPath, const QString& name, const QString& text)
{
    if (failWrites)
        return false;
    ++m_writes;
    m_values.insert(flatKey(keyPath, name), text);
    return true;
}

bool MemorySettingsBackend::remove(const QString& keyPath, const QString& name)
{
    return m_values.remove(flatKey(keyPath, name)) > 0;
}

void MemorySettingsBackend::setRaw(const QString& keyPath, const QString& name, const QVariant& value)
{
    m_values.insert(flatKey(keyPath, name), value);
}
