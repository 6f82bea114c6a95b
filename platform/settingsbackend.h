/// @brief Where per-user text values live: a key path ("SOFTWARE\Quorvel\Tallyscope") and value names.
#pragma once

#include <QHash>
#include <QString>
#include <QVariant>

class SettingsBackend {
public:
    virtual ~SettingsBackend() = default;
    /// The stored value, or an invalid QVariant when the key or the value is missing.
    /// Text comes back as QString; numbers stored by other tools come back as integers.
    virtual QVariant read(const QString& keyPath, const QString& name) const = 0;
    virtual bool write(const QString& keyPath, const QString& name, const QString& text) = 0;
    virtual bool remove(const QString& keyPath, const QString& name) = 0;
    /// False when no value under the key could be saved (a folder that cannot be written).
    virtual bool isWritable(const QString& keyPath) const = 0;
    /// Where the key's values live, in words the operator can act on (a file, a registry key).
    virtual QString location(const QString& keyPath) const = 0;
};

/// The per-user store of the platform: the registry under HKEY_CURRENT_USER on Windows,
/// ~/.config/<organisation>/<application>.conf elsewhere. Each call opens and closes the store.
class QSettingsBackend final : public SettingsBackend {
public:
    QVariant read(const QString& keyPath, const QString& name) const override;
    bool write(const QString& keyPath, const QString& name, const QString& text) override;
    bool remove(const QString& keyPath, const QString& name) override;
    bool isWritable(const QString& keyPath) const override;
    QString location(const QString& keyPath) const override;
};

/// In-memory store for tests and for runs that must not touch the user's settings.
class MemorySettingsBackend final : public SettingsBackend {
public:
    QVariant read(const QString& keyPath, const QString& name) const override;
    bool write(const QString& keyPath, const QString& name, const QString& text) override;
    bool remove(const QString& keyPath, const QString& name) override;
    bool isWritable(const QString&) const override { return !failWrites; }
    QString location(const QString& keyPath) const override { return keyPath; }
    void setRaw(const QString& keyPath, const QString& name, const QVariant& value);
    int writeCount() const { return m_writes; }
    bool failWrites = false;

private:
    QHash<QString, QVariant> m_values;
    int m_writes = 0;
};
