/// @brief The three store operations every part of the panel uses, with found/success flags.
#pragma once

#include <QString>
#include <functional>

class SettingsBackend;

namespace settingskeys {
inline const QString Panel = QStringLiteral("SOFTWARE\\Quorvel\\Tallyscope");
inline const QString Updater = QStringLiteral("SOFTWARE\\Quorvel\\Version Updater");
inline const QString Top = QStringLiteral("Top");
inline const QString Left = QStringLiteral("Left");
inline const QString Height = QStringLiteral("Height");
inline const QString OnTop = QStringLiteral("On Top");
inline const QString Verbose = QStringLiteral("Verbose");
inline const QString Display = QStringLiteral("Display");
inline const QString File = QStringLiteral("File");
inline const QString RawData = QStringLiteral("Raw data");
inline const QString FilePath = QStringLiteral("File path");
} // namespace settingskeys

class SettingsStore {
public:
    explicit SettingsStore(SettingsBackend& backend) : m_backend(backend) {}

    /// Found flag as result; `text` is "" when not found. Values longer than 1024 bytes
    /// and empty values read as not found, as the registry-based store always did.
    bool ReadRegValue(const QString& keyPath, const QString& valueName, QString& text) const;
    bool WriteRegValue(const QString& keyPath, const QString& valueName, const QString& text);
    bool DeleteRegValue(const QString& keyPath, const QString& valueName);

    /// Receives one line, once per store, the first time a value cannot be saved: callers
    /// ignore the success flag, and the operator would otherwise lose settings without a word.
    void setFailureReport(std::function<void(const QString&)> report) { m_report = std::move(report); }
    /// Reports (once) a store that cannot be written at all, before any value is lost to it.
    void checkWritable(const QString& keyPath);

private:
    void reportFailure(const QString& keyPath);

    SettingsBackend& m_backend;
    std::function<void(const QString&)> m_report;
    bool m_reported = false;
};
