/// @brief DataFolderChooser: the "..." operation beside the data folder field.
#pragma once

#include <QString>
#include <functional>

class MessageBoxes;
class QWidget;
class SettingsStore;
class frmBrowseFolders;

/// Runs one folder choice: a fresh picker per choice, so every choice starts un-accepted.
/// The store keeps the folder as the picker returns it (no trailing separator except at a
/// root); the field shows it with one, so that a file name can follow it directly.
class DataFolderChooser {
public:
    /// Receives the field's new text.
    using Accepted = std::function<void(const QString& fieldText)>;

    explicit DataFolderChooser(SettingsStore& store, MessageBoxes* messages = nullptr);

    /// `pathText` is the field's current text. Opens the picker modal to `parent` and returns it
    /// at once (it deletes itself when closed). Once the operator accepts a folder, it is stored
    /// and `accepted` runs; a cancelled choice stores nothing and calls nothing.
    /// The store must outlive the picker; this object need not.
    frmBrowseFolders* choose(const QString& pathText, QWidget* parent, Accepted accepted) const;

    /// The stored form of a folder: native separators, none at the end except at a root.
    static QString storedForm(const QString& folder);
    /// The field's form of a folder: the stored form with exactly one separator at the end.
    static QString fieldForm(const QString& folder);

private:
    SettingsStore& m_store;
    MessageBoxes* m_messages;
};
