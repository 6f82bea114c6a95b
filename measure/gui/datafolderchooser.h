/// @brief DataFolderChooser: the "..." operation beside the data folder field.
#pragma once

#include <QString>
#include <functional>
#include <optional>

class MessageBoxes;
class QWidget;
class SettingsStore;
class frmBrowseFolders;

/// Runs one folder choice: a fresh picker per choice, so every choice starts un-accepted.
/// The store keeps the folder as the picker returns it (no trailing separator except at a
/// root); the field shows it with one, so that a file name can follow it directly.
class DataFolderChooser {
public:
    /// Shows the picker modally and returns once it is hidden; the result code is not used,
    /// only the picker's result flag counts.
    using ShowModal = std::function<int(frmBrowseFolders&)>;

    explicit DataFolderChooser(SettingsStore& store, MessageBoxes* messages = nullptr, ShowModal showModal = {});

    /// `pathText` is the field's current text. Returns the field's new text when a folder was
    /// accepted (and stored), nothing when the choice was cancelled (nothing stored).
    std::optional<QString> cmdPath_Click(const QString& pathText, QWidget* parent) const;

    /// The stored form of a folder: native separators, none at the end except at a root.
    static QString storedForm(const QString& folder);
    /// The field's form of a folder: the stored form with exactly one separator at the end.
    static QString fieldForm(const QString& folder);

private:
    SettingsStore& m_store;
    MessageBoxes* m_messages;
    ShowModal m_showModal;
};
