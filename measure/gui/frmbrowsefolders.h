/// @brief frmBrowseFolders: the modal "Select A Folder" picker with its folder list and list of places.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>

class MessageBoxes;
class QComboBox;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QShowEvent;

/// The folder list shows the ancestors of the open folder, the folder itself, then its
/// sub-folders. Only opening an entry (double click, Enter) changes the open folder; the
/// picker's answer is always the open folder, never the highlighted entry.
///
/// Linux has no drive letters, so the "drive" list holds places instead: the root, the home
/// folder and the mounted volumes a user would store data on.
class frmBrowseFolders : public QDialog {
    Q_OBJECT
public:
    /// `messages` carries the "OOPS! " box when a place cannot be opened; without one the
    /// picker shows its own message box.
    explicit frmBrowseFolders(QWidget* parent = nullptr, MessageBoxes* messages = nullptr);
    ~frmBrowseFolders() override;

    /// Opens `path` in the folder list. A relative, missing or unreadable path leaves the
    /// list where it was and returns false.
    bool setCurrentFolder(const QString& path);
    /// The open folder, with "/" separators and no trailing separator except at a root.
    QString currentFolder() const { return m_currentFolder; }
    /// "okay" once accepted; empty while open and after any kind of cancel.
    QString resultFlag() const { return m_resultFlag; }

    /// Replaces the places offered in `lstDrives`; the shown place does not move the folder list.
    void setPlaces(const QStringList& paths);
    /// The root, the home folder, then ready mounted volumes that are not pseudo file systems.
    static QStringList standardPlaces();
    /// Whether a mount belongs in the list of places: real storage, outside the kernel's trees.
    static bool isStoragePlace(const QString& rootPath, const QByteArray& fileSystemType);

    /// The picker's controls under the form's names, for tests that act as the operator does.
    QListWidget* lstFolders() const { return m_lstFolders; }
    QComboBox* lstDrives() const { return m_lstDrives; }
    QPushButton* cmdOkay() const { return m_cmdOkay; }
    QPushButton* cmdCancel() const { return m_cmdCancel; }

public slots:
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void cmdOkay_Click();
    void cmdCancel_Click();
    void lstDrives_Change(int index);
    void lstFolders_Open(QListWidgetItem* item);

private:
    void Form_Load();
    void lstFolders_KeyDown(int keyCode);
    /// Empty on success, else the system's description of why the folder cannot be listed.
    QString openFolder(const QString& path);
    void fillFolderList();
    void selectPlaceOfWorkingFolder();

    QListWidget* m_lstFolders;
    QComboBox* m_lstDrives;
    QPushButton* m_cmdOkay;
    QPushButton* m_cmdCancel;
    MessageBoxes* m_messages;
    std::unique_ptr<MessageBoxes> m_ownMessages;
    QString m_currentFolder;
    QString m_resultFlag;
    bool m_loaded = false;
};
