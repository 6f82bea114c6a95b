/// @brief DataFolderChooser: picker start, storing and showing the accepted folder once the picker is answered.
#include "measure/gui/datafolderchooser.h"

#include "measure/gui/frmbrowsefolders.h"
#include "platform/settingsstore.h"

#include <QDir>

DataFolderChooser::DataFolderChooser(SettingsStore& store, MessageBoxes* messages)
    : m_store(store), m_messages(messages)
{}

frmBrowseFolders* DataFolderChooser::choose(const QString& pathText, QWidget* parent, Accepted accepted) const
{
    auto* picker = new frmBrowseFolders(parent, m_messages);
    picker->setAttribute(Qt::WA_DeleteOnClose);
    // A field naming a folder that has gone (another disk, a deleted folder) still lets the
    // operator choose: the picker simply opens on its own starting folder.
    picker->setCurrentFolder(QDir::fromNativeSeparators(pathText.trimmed()));
    SettingsStore& store = m_store;
    // The result code is not used, only the picker's result flag counts.
    QObject::connect(picker, &QDialog::finished, picker, [picker, &store, accepted = std::move(accepted)] {
        if (picker->resultFlag().isEmpty())
            return;
        const QString stored = storedForm(picker->currentFolder());
        // A failed write only means the choice is not remembered; the field still takes it.
        store.WriteRegValue(settingskeys::Panel, settingskeys::FilePath, stored);
        if (accepted)
            accepted(fieldForm(stored));
    });
    picker->open();
    return picker;
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
