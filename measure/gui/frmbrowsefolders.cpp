/// @brief frmBrowseFolders: folder list, places, Okay/Cancel, centring over the main window.
#include "measure/gui/frmbrowsefolders.h"

#include <QScreen>
#include <algorithm>

#include "platform/gui/widgetmessageboxes.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QStyle>
#include <QVBoxLayout>

#include <filesystem>
#include <system_error>

namespace {

constexpr int PathRole = Qt::UserRole;
// Each level of the folder tree is shown this many blanks further right.
constexpr int IndentPerLevel = 2;

QString systemMessage(std::errc code) { return QString::fromLocal8Bit(std::make_error_code(code).message()); }

QString cleanFolder(const QString& path) { return QDir::cleanPath(QDir::fromNativeSeparators(path)); }

/// The open folder and its ancestors, root first.
QStringList ancestorChain(const QString& folder)
{
    QStringList chain;
    QDir dir(folder);
    chain.prepend(cleanFolder(dir.absolutePath()));
    while (!dir.isRoot() && dir.cdUp())
        chain.prepend(cleanFolder(dir.absolutePath()));
    return chain;
}

QString entryCaption(const QString& path, int depth)
{
    const QDir dir(path);
    const QString name = dir.isRoot() ? QDir::toNativeSeparators(path) : dir.dirName();
    return QString(depth * IndentPerLevel, u' ') + name;
}

} // namespace

frmBrowseFolders::frmBrowseFolders(QWidget* parent, MessageBoxes* messages)
    : QDialog(parent), m_lstFolders(new QListWidget(this)), m_lstDrives(new QComboBox(this)),
      m_cmdOkay(new QPushButton(QStringLiteral("Okay"), this)),
      m_cmdCancel(new QPushButton(QStringLiteral("Cancel"), this)), m_messages(messages)
{
    if (!m_messages) {
        m_ownMessages = std::make_unique<WidgetMessageBoxes>(this);
        m_messages = m_ownMessages.get();
    }

    setWindowTitle(QStringLiteral("Select A Folder"));
    setModal(true);
    setObjectName(QStringLiteral("frmBrowseFolders"));
    m_lstFolders->setObjectName(QStringLiteral("lstFolders"));
    m_lstDrives->setObjectName(QStringLiteral("lstDrives"));
    m_cmdOkay->setObjectName(QStringLiteral("cmdOkay"));
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));

    QFont okayFont = m_cmdOkay->font();
    okayFont.setBold(true);
    if (okayFont.pointSizeF() > 0)
        okayFont.setPointSizeF(okayFont.pointSizeF() * 1.25);
    else
        okayFont.setPixelSize(okayFont.pixelSize() * 5 / 4);
    m_cmdOkay->setFont(okayFont);
    // Enter in the folder list opens an entry; it must never reach a default button instead.
    m_cmdOkay->setAutoDefault(false);
    m_cmdCancel->setAutoDefault(false);

    m_lstFolders->setSelectionMode(QAbstractItemView::SingleSelection);
    m_lstFolders->installEventFilter(this);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_cmdOkay);
    buttons->addWidget(m_cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_lstFolders, 1);
    layout->addWidget(m_lstDrives);
    layout->addLayout(buttons);

    setTabOrder(m_lstFolders, m_cmdOkay);
    setTabOrder(m_cmdOkay, m_cmdCancel);
    setTabOrder(m_cmdCancel, m_lstDrives);
    m_lstFolders->setFocus();
    resize(360, 420);

    setPlaces(standardPlaces());

    // The list needs somewhere to start before the caller asks for a folder; home is the
    // one place every user can read, and the root the fallback when even that is gone.
    if (!setCurrentFolder(QDir::homePath()))
        setCurrentFolder(QDir::rootPath());

    connect(m_cmdOkay, &QPushButton::clicked, this, &frmBrowseFolders::cmdOkay_Click);
    connect(m_cmdCancel, &QPushButton::clicked, this, &frmBrowseFolders::cmdCancel_Click);
    // itemActivated would also fire on a single click under some desktop styles.
    connect(m_lstFolders, &QListWidget::itemDoubleClicked, this, &frmBrowseFolders::lstFolders_Open);
    // Only a different place moves the folder list: picking the shown one again keeps the
    // folder the operator has opened inside it.
    connect(m_lstDrives, &QComboBox::currentIndexChanged, this, &frmBrowseFolders::lstDrives_Change);
}

frmBrowseFolders::~frmBrowseFolders() = default;

bool frmBrowseFolders::setCurrentFolder(const QString& path) { return openFolder(path).isEmpty(); }

void frmBrowseFolders::setPlaces(const QStringList& paths)
{
    const QSignalBlocker block(m_lstDrives);
    m_lstDrives->clear();
    const QString home = cleanFolder(QDir::homePath());
    for (const QString& path : paths) {
        const QString folder = cleanFolder(path);
        const QString shown = QDir::toNativeSeparators(folder);
        m_lstDrives->addItem(folder == home ? QStringLiteral("%1 (home)").arg(shown) : shown, folder);
    }
    selectPlaceOfWorkingFolder();
}

QStringList frmBrowseFolders::standardPlaces()
{
    QStringList list;
    auto add = [&list](const QString& path) {
        const QString folder = cleanFolder(path);
        if (!folder.isEmpty() && !list.contains(folder))
            list.append(folder);
    };
    add(QDir::rootPath());
    add(QDir::homePath());
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady() && isStoragePlace(volume.rootPath(), volume.fileSystemType()))
            add(volume.rootPath());
    }
    return list;
}

bool frmBrowseFolders::isStoragePlace(const QString& rootPath, const QByteArray& fileSystemType)
{
    // Kernel and runtime trees hold nothing a measurement belongs in, and snap packages mount
    // one squashfs per package; listing those would bury the real disks.
    static const QList<QByteArray> pseudoTypes = {"autofs",         "binfmt_misc", "bpf",        "cgroup",
                                                  "cgroup2",        "configfs",    "debugfs",    "devpts",
                                                  "devtmpfs",       "efivarfs",    "fusectl",    "hugetlbfs",
                                                  "mqueue",         "nsfs",        "proc",       "pstore",
                                                  "ramfs",          "rpc_pipefs",  "securityfs", "squashfs",
                                                  "sysfs",          "tmpfs",       "tracefs",    "fuse.portal",
                                                  "fuse.gvfsd-fuse"};
    static const QStringList kernelTrees = {QStringLiteral("/proc"), QStringLiteral("/sys"), QStringLiteral("/dev"),
                                            QStringLiteral("/run"), QStringLiteral("/snap")};
    if (pseudoTypes.contains(fileSystemType.toLower()))
        return false;
    const QString root = cleanFolder(rootPath);
    for (const QString& tree : kernelTrees) {
        if (root == tree || root.startsWith(tree + u'/'))
            return false;
    }
    return !root.isEmpty();
}

void frmBrowseFolders::reject()
{
    // Cancel, Escape and the window's close button all end here.
    m_resultFlag.clear();
    QDialog::reject();
}

void frmBrowseFolders::showEvent(QShowEvent* event)
{
    if (!m_loaded) {
        m_loaded = true;
        Form_Load();
    }
    QDialog::showEvent(event);
}

bool frmBrowseFolders::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_lstFolders && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            lstFolders_KeyDown(13);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmBrowseFolders::Form_Load()
{
    // Centred over the window that asked for it. The picker is taller than the main window,
    // so over a window near the top of the screen plain centring would push its title bar
    // (and the way to move it) off the screen: it is kept on the screen the owner is on.
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner)
        return;
    const QRect ownerFrame = owner->frameGeometry();
    const QRect ownFrame = frameGeometry();
    int left = ownerFrame.left() + ownerFrame.width() / 2 - ownFrame.width() / 2;
    int top = ownerFrame.top() + ownerFrame.height() / 2 - ownFrame.height() / 2;
    if (const QScreen* s = owner->screen()) {
        const QRect avail = s->availableGeometry();
        left = std::clamp(left, avail.left(), std::max(avail.left(), avail.right() + 1 - ownFrame.width()));
        top = std::clamp(top, avail.top(), std::max(avail.top(), avail.bottom() + 1 - ownFrame.height()));
    }
    move(left, top);
}

void frmBrowseFolders::cmdOkay_Click()
{
    m_resultFlag = QStringLiteral("okay");
    accept();
}

void frmBrowseFolders::cmdCancel_Click() { reject(); }

void frmBrowseFolders::lstDrives_Change(int index)
{
    const QString place = m_lstDrives->itemData(index, PathRole).toString();
    const QString failure = openFolder(place);
    if (!failure.isEmpty()) {
        // The places shown stay on the chosen entry; only the folder list keeps its folder.
        m_messages->show(QStringLiteral("OOPS! ") + failure, QApplication::applicationName(), MessageBoxes::Buttons::Ok,
                         MessageBoxes::Icon::None);
    }
}

void frmBrowseFolders::lstFolders_Open(QListWidgetItem* item)
{
    if (!item)
        return;
    const QString failure = openFolder(item->data(PathRole).toString());
    if (!failure.isEmpty()) {
        // A folder deleted since the list was filled: show the truth about the open folder.
        fillFolderList();
    }
}

void frmBrowseFolders::lstFolders_KeyDown(int keyCode)
{
    if (keyCode == 13)
        lstFolders_Open(m_lstFolders->currentItem());
}

QString frmBrowseFolders::openFolder(const QString& path)
{
    const QString folder = cleanFolder(path);
    if (folder.isEmpty() || QDir::isRelativePath(folder)) {
        // A relative text would be read against whatever the working folder happens to be.
        return systemMessage(std::errc::no_such_file_or_directory);
    }
    // Listing the folder is the only honest test: a mount point without its medium, or a
    // folder without read permission, exists but cannot be shown.
    std::error_code error;
    const std::filesystem::directory_iterator probe(QFileInfo(folder).filesystemAbsoluteFilePath(), error);
    if (error)
        return QString::fromLocal8Bit(error.message());
    if (!QFileInfo(folder).isDir())
        return systemMessage(std::errc::not_a_directory);
    m_currentFolder = folder;
    fillFolderList();
    return {};
}

void frmBrowseFolders::fillFolderList()
{
    m_lstFolders->clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirIcon);

    const QStringList chain = ancestorChain(m_currentFolder);
    for (int depth = 0; depth < chain.size(); ++depth) {
        auto* item = new QListWidgetItem(openIcon, entryCaption(chain[depth], depth), m_lstFolders);
        item->setData(PathRole, chain[depth]);
        item->setToolTip(QDir::toNativeSeparators(chain[depth]));
    }
    QListWidgetItem* open = m_lstFolders->item(m_lstFolders->count() - 1);

    const QFileInfoList subFolders =
        QDir(m_currentFolder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& sub : subFolders) {
        const QString path = cleanFolder(sub.absoluteFilePath());
        auto* item = new QListWidgetItem(closedIcon, entryCaption(path, int(chain.size())), m_lstFolders);
        item->setData(PathRole, path);
        item->setToolTip(QDir::toNativeSeparators(path));
    }
    m_lstFolders->setCurrentItem(open);
    m_lstFolders->scrollToItem(open);
}

void frmBrowseFolders::selectPlaceOfWorkingFolder()
{
    // The list starts on the place holding the program's working folder, not on the place of
    // the folder being shown; that is how the places and the folder list always related.
    const QString working = cleanFolder(QDir::currentPath());
    int best = -1;
    qsizetype bestLength = -1;
    for (int i = 0; i < m_lstDrives->count(); ++i) {
        const QString place = m_lstDrives->itemData(i, PathRole).toString();
        const bool holds = working == place || place == QDir::rootPath()
                           || working.startsWith(place.endsWith(u'/') ? place : place + u'/');
        if (holds && place.size() > bestLength) {
            best = i;
            bestLength = place.size();
        }
    }
    const QSignalBlocker block(m_lstDrives);
    m_lstDrives->setCurrentIndex(best);
}
