/// @brief DataFolderChooser: picker start, modal wait, storing and showing the accepted folder.
#include "measure/gui/datafolderchooser.h"

#include "measure/gui/frmbrowsefolders.h"
#include "platform/settingsstore.h"

#include <QDir>

DataFolderChooser::DataFolderChooser(SettingsStore& store, MessageBoxes* messages, ShowModal showModal)
    : m_store(store)
    , m_messages(messages)
    , m_showModal(showModal ? std::move(showModal) : ShowModal([](frmBrowseFolders& picker) { return picker.exec(); }))
{
}

std::optional<QString> DataFolderChooser::cmdPath_Click(const QString& pathText, QWidget* parent) const
{
    frmBrowseFolders picker(parent, m_messages);
    // A field naming a folder that has gone (another disk, a deleted folder) still lets the
    // operator choose: the picker simply opens on its own starting folder.
    picker.setCurrentFolder(QDir::fromNativeSeparators(pathText.trimmed()));
    m_showModal(picker);
    if (picker.resultFlag().isEmpty())
        return std::nullopt;

    const QString stored = storedForm(picker.currentFolder());
    // A failed write only means the choice is not remembered; the field still takes it.
    m_store.WriteRegValue(settingskeys::Panel, settingskeys::FilePath, stored);
    return fieldForm(stored);
}

QString DataFolderChooser::storedForm(const QString& folder)
{
    // cleanPath keeps the separator of a root ("/", "C:/") and drops every other trailing one.
    return QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(folder)));
}

QString DataFolderChooser::fieldForm(const QString& folder)
{
    const QString stored = storedForm(folder);
    return stored.endsWith(QDir::separator()) ? stored : stored + QDir::separator();
}
