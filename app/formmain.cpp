/// @brief FormMain: controls from the layout table, start-up restore rules, resize rule, shutdown, keyboard.
#include "app/formmain.h"

#include "app/figurelabel.h"
#include "app/formlayout.h"
#include "app/logview.h"
#include "app/vbcheckbox.h"
#include "control/dacsetpoint.h"
#include "control/registermodel.h"
#include "platform/clock.h"
#include "platform/numbers.h"
#include "platform/settingsstore.h"
#include "platform/timer.h"
#include "platform/versioninfo.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <utility>

namespace {

const QString RemoteTip = QStringLiteral("A script is connected to the control port; its commands act on this panel.");

const QColor LightGrey(0xC0, 0xC0, 0xC0);
const QColor DisabledGrey(0x4A, 0x4A, 0x4A);
const QColor LinkDownRed(0xFF, 0x80, 0x80); // &H008080FF is BGR
const QColor HeartbeatGrey(0xA0, 0xA0, 0xA0);
const QColor FileFailedRed(0xC0, 0x00, 0x00);

QFont fixedFont()
{
    // The log's lines are columns of figures: any fixed-pitch face will do, the platform's first.
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setFamilies({QStringLiteral("Fixedsys"), f.family(), QStringLiteral("DejaVu Sans Mono"),
                   QStringLiteral("Liberation Mono"), QStringLiteral("monospace")});
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setPointSize(9);
    return f;
}

QFont sansFont(const char* family, double points, bool bold)
{
    // The layout was drawn for narrow Windows faces; their metric twins come next, then any sans.
    QFont f;
    f.setFamilies({QString::fromLatin1(family), QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    if (qstrcmp(family, "Arial Narrow") == 0)
        f.setFamilies(
            {QStringLiteral("Arial Narrow"), QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Arial")});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

void setBackground(QWidget* w, const QColor& c, QPalette::ColorRole role = QPalette::Window)
{
    QPalette p = w->palette();
    p.setColor(role, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void setForeground(QWidget* w, const QColor& c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    w->setPalette(p);
}

void showVersion(QLabel* l, const QString& caption)
{
    // The layout gives the versions less room than a long caption needs.
    l->setText(caption);
    l->setToolTip(caption);
}

} // namespace

FormMain::FormMain(const PanelModels& models, QWidget* parent) : QWidget(parent), m_models(models)
{
    setWindowTitle(QStringLiteral("Tallyscope"));
    // The icons live in the static GUI library; without this the linker may drop them.
    Q_INIT_RESOURCE(tallyscope);
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tallyscope-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/tallyscope-32.png"), QSize(32, 32));
    setWindowIcon(icon);
    setBackground(this, LightGrey);
    // The toolkit's own disabled grey (#BEBEBE) all but vanishes on this grey; a darker grey
    // still reads as disabled and keeps a contrast of 4.5:1 or more.
    QPalette disabled = palette();
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        disabled.setColor(QPalette::Disabled, role, DisabledGrey);
    setPalette(disabled);
    // The dialog font the layout was drawn for; the nearest sans family stands in for it.
    setFont(sansFont("MS Sans Serif", 8, false));
    buildControls();
    wireModels();
}

FormMain::~FormMain() { qApp->removeEventFilter(this); }

double FormMain::twipsPerPixel() const
{
    const QScreen* s = screen();
    return formlayout::twipsPerPixel(s ? s->logicalDotsPerInchY() : 96.0);
}

void FormMain::place(QWidget* widget, formlayout::Control which)
{
    const formlayout::Place& p = formlayout::place(which);
    widget->setObjectName(QString::fromLatin1(p.name));
    const QScreen* s = screen();
    widget->setGeometry(formlayout::toPixels(p, s ? s->logicalDotsPerInchY() : 96.0));
    m_placed[size_t(which)] = widget;
}

void FormMain::buildControls()
{
    using C = formlayout::Control;
    const auto frame = [this](C name, const char* caption) {
        auto* g = new QGroupBox(QString::fromLatin1(caption), this);
        place(g, name);
        return g;
    };
    const auto label = [this](QWidget* parent, C name, const QString& caption, Qt::Alignment align = Qt::AlignLeft) {
        auto* l = new QLabel(caption, parent);
        place(l, name);
        l->setAlignment(align | Qt::AlignVCenter);
        return l;
    };
    const auto edit = [this](QWidget* parent, C name, const QString& text) {
        auto* e = new QLineEdit(text, parent);
        place(e, name);
        return e;
    };
    const auto button = [this](QWidget* parent, C name, const QString& caption) {
        auto* b = new QPushButton(caption, parent);
        place(b, name);
        // The window's own shortcut table acts on these letters; a mnemonic as well would act twice.
        b->setShortcut(QKeySequence());
        return b;
    };
    const auto check = [this](QWidget* parent, C name, const QString& caption) {
        auto* c = new VbCheckBox(caption, parent);
        place(c, name);
        c->setShortcut(QKeySequence());
        return c;
    };
    const auto readout = [](QLineEdit* e, const QString& tip) {
        e->setReadOnly(true);
        e->setFrame(false);
        e->setFocusPolicy(Qt::NoFocus);
        e->setToolTip(tip);
        setBackground(e, e->palette().color(QPalette::Button), QPalette::Base);
    };

    ui.Frame1 = frame(C::Frame1, "DAC A");
    ui.txtDacA = edit(ui.Frame1, C::txtDacA, QStringLiteral("1500"));
    ui.cmdDacA = button(ui.Frame1, C::cmdDacA, QStringLiteral("Update"));
    ui.txtVDacA = edit(ui.Frame1, C::txtVDacA, QStringLiteral("?"));
    ui.Frame2 = frame(C::Frame2, "DAC B");
    ui.txtDacB = edit(ui.Frame2, C::txtDacB, QStringLiteral("1500"));
    ui.cmdDacB = button(ui.Frame2, C::cmdDacB, QStringLiteral("Update"));
    ui.txtVDacB = edit(ui.Frame2, C::txtVDacB, QStringLiteral("?"));
    for (QLineEdit* e : {ui.txtDacA, ui.txtDacB}) {
        e->setAlignment(Qt::AlignCenter);
        e->setMaxLength(4);
        e->setToolTip(QStringLiteral("0 to 4095"));
    }
    readout(ui.txtVDacA, QStringLiteral("DAC readback: 0 to 4095"));
    readout(ui.txtVDacB, QStringLiteral("DAC readback: 0 to 4095"));
    ui.Frame1->setEnabled(false);
    ui.Frame2->setEnabled(false);
    ui.cmdDacA->setEnabled(false);
    ui.cmdDacB->setEnabled(false);

    ui.Frame3 = frame(C::Frame3, "Versions");
    ui.lblFpga = label(ui.Frame3, C::lblFpga, QStringLiteral("FPGA ???"));
    ui.lblRabbit = label(ui.Frame3, C::lblRabbit, QStringLiteral("Rabbit ???"));
    ui.lblGui = label(ui.Frame3, C::lblGui, QStringLiteral("GUI ???"));

    ui.Frame5 = frame(C::Frame5, "Calibrate");
    ui.cmdCalibrate = button(ui.Frame5, C::cmdCalibrate, QStringLiteral("&Calibrate"));
    ui.Label1 = label(ui.Frame5, C::Label1, QStringLiteral("Low  High"));
    ui.Label2 = label(ui.Frame5, C::Label2, QStringLiteral("A"));
    ui.Label3 = label(ui.Frame5, C::Label3, QStringLiteral("B"));
    ui.Label2->adjustSize();
    ui.Label3->adjustSize();
    ui.lblCalAl = label(ui.Frame5, C::lblCalAl, QStringLiteral("???"));
    ui.lblCalAh = label(ui.Frame5, C::lblCalAh, QStringLiteral("???"));
    ui.lblCalBl = label(ui.Frame5, C::lblCalBl, QStringLiteral("???"));
    ui.lblCalBh = label(ui.Frame5, C::lblCalBh, QStringLiteral("???"));

    ui.Frame7 = frame(C::Frame7, "Tau (nS)");
    ui.Label4 = label(ui.Frame7, C::Label4, QStringLiteral("A         B"));
    ui.TauA = edit(ui.Frame7, C::TauA, m_models.session->calibrationShown().tauA);
    ui.TauB = edit(ui.Frame7, C::TauB, m_models.session->calibrationShown().tauB);
    for (QLineEdit* e : {ui.TauA, ui.TauB}) {
        e->setAlignment(Qt::AlignCenter);
        e->setFrame(false);
        e->setFocusPolicy(Qt::ClickFocus);
        e->setToolTip(QStringLiteral("DAC readback: 0 to 4095"));
        setBackground(e, e->palette().color(QPalette::Button), QPalette::Base);
    }

    ui.Frame6 = frame(C::Frame6, "Coincidences");
    const auto figure = [this](C name) {
        auto* l = new FigureLabel(ui.Frame6);
        place(l, name);
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return l;
    };
    ui.chkRun = check(ui.Frame6, C::chkRun, QStringLiteral("&Run"));
    ui.chkRun->setEnabled(false);
    ui.chkRun->setToolTip(QStringLiteral("F5"));
    ui.Label5 = label(ui.Frame6, C::Label5, QStringLiteral("Counts"), Qt::AlignRight);
    ui.lblCount = figure(C::lblCount);
    ui.lblMinName = label(ui.Frame6, C::lblMinName, QStringLiteral("Min"), Qt::AlignRight);
    ui.lblMin = figure(C::lblMin);
    ui.lblMaxName = label(ui.Frame6, C::lblMaxName, QStringLiteral("Max"), Qt::AlignRight);
    ui.lblMax = figure(C::lblMax);
    ui.Label7 = label(ui.Frame6, C::Label7, QStringLiteral("Range"), Qt::AlignRight);
    ui.lblRange = figure(C::lblRange);
    // Beside Run, which a script may tick or untick at any moment.
    ui.lblRemote = label(ui.Frame6, C::lblRemote, QStringLiteral("Remote"));
    ui.lblRemote->setFont(sansFont("MS Sans Serif", 8, true));
    setForeground(ui.lblRemote, QColor(0, 0, 160));
    ui.lblRemote->setToolTip(RemoteTip);
    // "Remote (locked)" takes two lines beside Run.
    ui.lblRemote->setWordWrap(true);
    ui.lblRemote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ui.lblRemote->hide();

    ui.Frame8 = frame(C::Frame8, "Data Handling");
    ui.chkDisplay = check(ui.Frame8, C::chkDisplay, QStringLiteral("Display"));
    ui.chkFile = check(ui.Frame8, C::chkFile, QStringLiteral("File"));
    ui.chkVerbose = check(ui.Frame8, C::chkVerbose, QStringLiteral("Verbose"));
    ui.chkRaw = check(ui.Frame8, C::chkRaw, QStringLiteral("Raw (file)"));
    ui.txtPath = edit(ui.Frame8, C::txtPath, m_models.options->dataFolder());
    ui.txtPath->setReadOnly(true);
    ui.txtPath->setToolTip(QStringLiteral("The directory to save the data files"));
    ui.cmdPath = button(ui.Frame8, C::cmdPath, QStringLiteral("..."));
    ui.cmdPath->setFont(sansFont("Arial Narrow", 12, true));

    ui.Frame4 = frame(C::Frame4, "FPGA Registers");
    ui.cmdReg = button(ui.Frame4, C::cmdReg, QStringLiteral("&Update"));
    ui.chkAuto = check(ui.Frame4, C::chkAuto, QStringLiteral("&Auto"));
    for (int i = 0; i < RegisterModel::Count; ++i) {
        const auto row = [i](C first) { return formlayout::registerRow(first, i); };
        ui.lblRegName[i] = label(ui.Frame4, row(C::lblRegName0), RegisterModel::name(i), Qt::AlignRight);
        ui.lblReg[i] = label(ui.Frame4, row(C::lblReg0), QStringLiteral("???"));
        ui.lblRegHex[i] = label(ui.Frame4, row(C::lblRegHex0), QStringLiteral("???"));
    }

    ui.Frame9 = frame(C::Frame9, "IP Address");
    ui.txtIP = edit(ui.Frame9, C::txtIP, m_models.options->address());
    ui.txtIP->setAlignment(Qt::AlignCenter);
    ui.txtIP->setMaxLength(15);
    setBackground(ui.txtIP, LinkDownRed, QPalette::Base);

    ui.cmdCopy = button(this, C::cmdCopy, QStringLiteral("Co&py"));
    ui.cmdClear = button(this, C::cmdClear, QStringLiteral("C&lear"));
    ui.cmdCopy->setFont(sansFont("Arial", 9.75, true));
    ui.cmdClear->setFont(sansFont("Arial", 9.75, true));
    ui.chkOnTop = check(this, C::chkOnTop, QStringLiteral("On Top"));
    setBackground(ui.chkOnTop, LightGrey);
    ui.lblHB = label(this, C::lblHB, QStringLiteral("HB"));
    setBackground(ui.lblHB, LightGrey);
    ui.lblHB->adjustSize();

    ui.txtMsg = new LogView(*m_models.log, this);
    place(ui.txtMsg, C::txtMsg);
    ui.txtMsg->setFont(fixedFont());

    const QList<QWidget*> tabOrder = {ui.txtDacA,    ui.cmdDacA,  ui.cmdDacB, ui.txtDacB,    ui.txtMsg,
                                      ui.txtIP,      ui.chkOnTop, ui.cmdReg,  ui.chkAuto,    ui.cmdCalibrate,
                                      ui.cmdCopy,    ui.cmdClear, ui.chkRun,  ui.chkDisplay, ui.chkFile,
                                      ui.chkVerbose, ui.chkRaw,   ui.txtPath, ui.cmdPath};
    for (qsizetype i = 0; i + 1 < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i], tabOrder[i + 1]);

    const QScreen* s = screen();
    const double dpi = s ? s->logicalDotsPerInchY() : 96.0;
    resize(formlayout::toPixels(formlayout::ClientWidthTwips, dpi),
           formlayout::toPixels(formlayout::ClientHeightTwips, dpi));
}

void FormMain::wireModels()
{
    InstrumentSession* session = m_models.session;
    // The address box is light red while no link stands; the link's lines put the caret at
    // the end of the log; a heartbeat turns "HB" black for a second.
    connect(session, &InstrumentSession::linkUp, this,
            [this] { setBackground(ui.txtIP, QApplication::palette().color(QPalette::Base), QPalette::Base); });
    connect(session, &InstrumentSession::linkLost, this,
            [this] { setBackground(ui.txtIP, LinkDownRed, QPalette::Base); });
    connect(session, &InstrumentSession::linkLogLine, ui.txtMsg, &LogView::showEnd);
    m_heartbeatFlash = m_models.clock->makeTimer();
    m_heartbeatFlash->setSingleShot(true);
    m_heartbeatFlash->setInterval(HeartbeatFlashMs);
    connect(session, &InstrumentSession::heartbeatSeen, this, [this] {
        setForeground(ui.lblHB, QColor(Qt::black));
        m_heartbeatFlash->start();
    });
    connect(m_heartbeatFlash.get(), &Timer::timeout, this, [this] { setForeground(ui.lblHB, HeartbeatGrey); });

    connect(session, &InstrumentSession::calibrationChanged, this, &FormMain::showCalibration);
    connect(session, &InstrumentSession::runGateChanged, ui.chkRun, &QWidget::setEnabled);
    m_figuresFrame = m_models.clock->makeTimer();
    m_figuresFrame->setSingleShot(true);
    m_figuresFrame->setInterval(FiguresFrameMs);
    connect(m_figuresFrame.get(), &Timer::timeout, this, [this] {
        // What the link left waiting for this frame is decoded first, so that the frame shows it.
        m_models.session->catchUp();
        if (std::exchange(m_figuresPending, false)) {
            showStatistics();
            m_figuresFrame->start();
        }
    });
    connect(session, &InstrumentSession::statisticsChanged, this, &FormMain::statisticsChanged);
    connect(session, &InstrumentSession::registerChanged, this, &FormMain::showRegister);
    connect(session, &InstrumentSession::versionsChanged, this, [this] {
        const InstrumentSession::VersionCaptions v = m_models.session->versionCaptions();
        showVersion(ui.lblFpga, v.fpga);
        showVersion(ui.lblRabbit, v.module);
    });
    bindOptions();
    bindSession();

    connect(ui.cmdPath, &QPushButton::clicked, this, &FormMain::dataFolderRequested);
    connect(ui.cmdClear, &QPushButton::clicked, m_models.log, &MessageLog::clear);
    connect(ui.cmdCopy, &QPushButton::clicked, this, [this] {
        QClipboard* cb = QApplication::clipboard();
        cb->clear();
        cb->setText(m_models.log->text());
    });
    connect(ui.txtMsg, &LogView::escapePressed, m_models.log, &MessageLog::clear);
    connect(ui.txtDacA, &QLineEdit::textChanged, this, [this] { txtDac_Change(ui.txtDacA, ui.txtVDacA); });
    connect(ui.txtDacB, &QLineEdit::textChanged, this, [this] { txtDac_Change(ui.txtDacB, ui.txtVDacB); });

    // Clicks on these labels and the group restart the minimum and maximum; the version label
    // asks for an update check; register names request their register.
    // The histogram opens from the "Coincidences" group's context menu: a right click, which
    // the group's left-click behaviour never used, and nothing on the layout moves for it.
    ui.Frame6->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui.Frame6, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        auto* menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addAction(QStringLiteral("Histogram..."), this, &FormMain::histogramRequested);
        menu->popup(ui.Frame6->mapToGlobal(at));
    });
    m_minMaxClickers = {ui.Frame6, ui.Label5, ui.Label7,   ui.lblMinName, ui.lblMaxName,
                        ui.lblMin, ui.lblMax, ui.lblCount, ui.lblRange};
    // The window previews every key, whichever control has the focus, and sees the clicks on
    // labels that act as buttons.
    qApp->installEventFilter(this);
}

void FormMain::follow(VbCheckBox* box, int value)
{
    const bool before = std::exchange(m_following, true);
    box->setValue(value);
    m_following = before;
}

void FormMain::bindOptions()
{
    PanelOptions* o = m_models.options;
    const std::pair<PanelOptions::Switch, VbCheckBox*> boxes[] = {{PanelOptions::OnTop, ui.chkOnTop},
                                                                  {PanelOptions::Verbose, ui.chkVerbose},
                                                                  {PanelOptions::Display, ui.chkDisplay},
                                                                  {PanelOptions::File, ui.chkFile},
                                                                  {PanelOptions::Raw, ui.chkRaw}};
    for (const auto& [which, box] : boxes) {
        box->setValue(o->value(which));
        connect(box, &VbCheckBox::valueChanged, this, [this, o, which = which](int v) {
            if (!m_following)
                o->setValue(which, v);
        });
    }
    connect(o, &PanelOptions::valueChanged, this, [this, boxes](PanelOptions::Switch which, int v) {
        for (const auto& [w, box] : boxes)
            if (w == which)
                follow(box, v);
        if (which == PanelOptions::OnTop)
            chkOnTop_Click();
    });
    const auto bindText =
        [this](QLineEdit* edit, PanelOptions* options, auto changed, void (PanelOptions::*set)(const QString&)) {
        connect(edit, &QLineEdit::textChanged, options, set);
        connect(options, changed, edit, [edit](const QString& text) {
            if (edit->text() != text)
                edit->setText(text);
        });
    };
    bindText(ui.txtIP, o, &PanelOptions::addressChanged, &PanelOptions::setAddress);
    bindText(ui.txtPath, o, &PanelOptions::dataFolderChanged, &PanelOptions::setDataFolder);

    // The Tau fields edit the calibration's texts, their one owner.
    InstrumentSession* session = m_models.session;
    connect(ui.TauA, &QLineEdit::textChanged, session, &InstrumentSession::setTauA);
    connect(ui.TauB, &QLineEdit::textChanged, session, &InstrumentSession::setTauB);
    connect(session, &InstrumentSession::calibrationChanged, this, [this, session] {
        const InstrumentSession::CalibrationShown shown = session->calibrationShown();
        for (const auto& [edit, text] : {std::pair{ui.TauA, shown.tauA}, std::pair{ui.TauB, shown.tauB}})
            if (edit->text() != text)
                edit->setText(text);
    });
}

void FormMain::bindSession()
{
    InstrumentSession* s = m_models.session;
    connect(ui.chkRun, &VbCheckBox::valueChanged, this, [this, s](int v) {
        if (m_following)
            return;
        if (v != 0 && !ui.chkFile->toolTip().isEmpty()) {
            ui.chkFile->setPalette(QPalette());
            ui.chkFile->setToolTip(QString());
        }
        s->setRun(v != 0);
    });
    connect(ui.chkAuto, &VbCheckBox::valueChanged, this, [this, s](int v) {
        if (!m_following)
            s->setAuto(v != 0);
    });
    // A box that already shows the state keeps its value: a grayed box stays grayed.
    connect(s, &InstrumentSession::runChanged, this, [this](bool ticked) {
        if ((ui.chkRun->value() != 0) != ticked)
            follow(ui.chkRun, ticked ? 1 : 0);
    });
    connect(s, &InstrumentSession::autoChanged, this, [this](bool ticked) {
        if ((ui.chkAuto->value() != 0) != ticked)
            follow(ui.chkAuto, ticked ? 1 : 0);
    });
    connect(ui.cmdCalibrate, &QPushButton::clicked, s, &InstrumentSession::calibrate);
    connect(ui.cmdReg, &QPushButton::clicked, s, &InstrumentSession::requestRegisters);
    connect(ui.cmdDacA, &QPushButton::clicked, this, [this, s] { s->sendDacA(ui.txtDacA->text()); });
    // A script's DAC A setting shows in the entry, as if typed there.
    connect(s, &InstrumentSession::dacASent, this, [this](const QString& entry) {
        if (ui.txtDacA->text() != entry)
            ui.txtDacA->setText(entry);
    });
    connect(s, &InstrumentSession::dataFileWriteFailed, this, &FormMain::markDataFileFailure);
    connect(s, &InstrumentSession::busyChanged, this, [this](bool busy) {
        if (busy)
            setCursor(Qt::WaitCursor);
        else
            unsetCursor();
    });
}

void FormMain::setRemoteClients(int count) { ui.lblRemote->setVisible(count > 0); }

void FormMain::setRemoteLocked(bool locked)
{
    ui.lblRemote->setText(locked ? QStringLiteral("Remote (locked)") : QStringLiteral("Remote"));
    ui.lblRemote->setToolTip(
        locked ? QStringLiteral("A script holds the control port's lock: other scripts may only read. "
                                "This panel's controls still work.")
               : RemoteTip);
}

void FormMain::markDataFileFailure(const QString& reason)
{
    setForeground(ui.chkFile, FileFailedRed);
    ui.chkFile->setToolTip(reason);
}

void FormMain::showCalibration()
{
    const InstrumentSession::CalibrationShown cal = m_models.session->calibrationShown();
    ui.lblCalAl->setText(cal.cells[0]);
    ui.lblCalAh->setText(cal.cells[1]);
    ui.lblCalBl->setText(cal.cells[2]);
    ui.lblCalBh->setText(cal.cells[3]);
}

void FormMain::statisticsChanged()
{
    if (m_figuresFrame->isActive()) {
        m_figuresPending = true;
        return;
    }
    showStatistics();
    m_figuresFrame->start();
}

void FormMain::showStatistics()
{
    const InstrumentSession::RunFigures s = m_models.session->runFigures();
    ui.lblCount->setText(s.countCaption);
    ui.lblMin->setText(s.minCaption);
    ui.lblMax->setText(s.maxCaption);
    ui.lblRange->setText(s.rangeCaption);
}

void FormMain::showRegister(int index)
{
    const InstrumentSession::RegisterShown r = m_models.session->registerShown(index);
    ui.lblReg[size_t(index)]->setText(r.decimalCaption);
    ui.lblRegHex[size_t(index)]->setText(r.hexCaption);
}

void FormMain::txtDac_Change(QLineEdit* entry, QLineEdit* readout)
{
    // Replacing the text re-enters this handler, which completes the read-out for the
    // corrected text; each step re-reads the text rather than trusting a copy.
    if (const auto fixed = dac::normalised(entry->text()))
        entry->setText(*fixed);
    if (const auto fixed = dac::normalised(entry->text()))
        entry->setText(*fixed);
    readout->setText(dac::millivoltText(entry->text()));
}

void FormMain::chkOnTop_Click()
{
    const int v = m_models.options->value(PanelOptions::OnTop);
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, v != 0);
    if (visible)
        show();
    if (v == 0)
        raise();
}

void FormMain::Form_Load(const std::function<void(std::function<void()>)>& updateCheck)
{
    m_models.log->setText(QStringLiteral("Checking for updates"));
    updateCheck([this] { finishLoad(); });
}

void FormMain::finishLoad()
{
    txtDac_Change(ui.txtDacA, ui.txtVDacA);
    txtDac_Change(ui.txtDacB, ui.txtVDacB);

    m_designClient = size();
    // No maximum width: the resize rule holds the width only in the normal state, so that a
    // maximized window may fill the screen.
    setMinimumSize(m_designClient);

    m_models.session->openConnection();
    ui.txtMsg->showEnd();
    restoreGeometry();
    m_models.options->restore();
    showVersion(ui.lblGui, QStringLiteral("GUI: ") + versioninfo::VersionText().mid(4));
    m_loaded = true;
}

double FormMain::designWidth() const { return (m_designClient.width() + m_frameExtra.width()) * twipsPerPixel(); }

double FormMain::designHeight() const { return (m_designClient.height() + m_frameExtra.height()) * twipsPerPixel(); }

QRect FormMain::outerGeometryTwips() const
{
    const double tpp = twipsPerPixel();
    const QRect f = frameGeometry();
    const QSize outer = size() + m_frameExtra;
    return QRect(qRound(f.left() * tpp), qRound(f.top() * tpp), qRound(outer.width() * tpp),
                 qRound(outer.height() * tpp));
}

void FormMain::restoreGeometry()
{
    const double tpp = twipsPerPixel();
    const QScreen* s = screen();
    if (!s)
        return;
    const double virtualW = s->virtualSize().width() * tpp;
    const double virtualH = s->virtualSize().height() * tpp;
    const double primaryH = QGuiApplication::primaryScreen()->size().height() * tpp;

    // A stored number beyond float range (or not finite) is treated as not found.
    const auto stored = [this](const QString& name) -> std::optional<float> {
        QString text;
        if (!m_models.settings->ReadRegValue(settingskeys::Panel, name, text))
            return std::nullopt;
        const double v = numbers::leadingNumber(text);
        if (!std::isfinite(v) || std::abs(v) > 3.4e38)
            return std::nullopt;
        return float(v);
    };
    QRect outer = outerGeometryTwips();
    PendingPosition at;
    if (const auto top = stored(settingskeys::Top); top && *top >= 0 && *top <= virtualH - outer.height()) {
        at.top = qRound(*top / tpp);
        outer.moveTop(qRound(*top));
    }
    if (const auto left = stored(settingskeys::Left); left && *left >= 0 && *left <= virtualW - outer.width())
        at.left = qRound(*left / tpp);
    // A window not yet placed has no position of its own: moving it now with one coordinate
    // missing would pin that one to the screen's edge, so a lone Top or Left waits until the
    // system has placed the window.
    const bool placed = testAttribute(Qt::WA_Moved) || isVisible();
    if ((at.top && at.left) || ((at.top || at.left) && placed)) {
        move(at.left.value_or(frameGeometry().left()), at.top.value_or(frameGeometry().top()));
        at = {};
        outer = outerGeometryTwips();
    }
    m_pendingPosition = at;
    if (const auto h = stored(settingskeys::Height); h && *h >= designHeight() && *h <= primaryH - outer.top()) {
        m_restoredHeight = *h;
        resize(width(), qRound(*h / tpp) - m_frameExtra.height());
    }
}

void FormMain::applyFrameMargins()
{
    // The window manager tells the frame size only once the window is on screen; until then
    // outer and client sizes are the same, and what was applied as outer is fixed up here.
    const QSize extra = frameGeometry().size() - geometry().size();
    if (extra == m_frameExtra || extra.width() < 0 || extra.height() < 0)
        return;
    m_frameExtra = extra;
    if (m_restoredHeight) {
        const int clientH = qRound(*m_restoredHeight / twipsPerPixel()) - extra.height();
        resize(width(), std::max(clientH, m_designClient.height()));
        m_restoredHeight.reset();
    }
}

void FormMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_pendingPosition.top || m_pendingPosition.left) {
        // After the system's placement has been taken in, not inside the show itself.
        QTimer::singleShot(0, this, [this] {
            const PendingPosition at = std::exchange(m_pendingPosition, {});
            if (at.top || at.left)
                move(at.left.value_or(frameGeometry().left()), at.top.value_or(frameGeometry().top()));
        });
    }
    applyFrameMargins();
    Form_Resize();
}

void FormMain::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    applyFrameMargins();
    Form_Resize();
}

void FormMain::Form_Resize()
{
    if (!m_loaded || (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)))
        return;
    if (width() != m_designClient.width())
        resize(m_designClient.width(), height());
    if (height() < m_designClient.height())
        resize(width(), m_designClient.height());
    const QScreen* s = screen();
    const int margin = formlayout::toPixels(formlayout::LogMarginTwips, s ? s->logicalDotsPerInchY() : 96.0);
    const QRect log = ui.txtMsg->geometry();
    ui.txtMsg->setGeometry(log.x(), log.y(), log.width(), std::max(0, height() - log.y() - margin));
}

void FormMain::Form_Unload()
{
    if (m_unloading)
        return;
    m_unloading = true;
    m_models.session->shutdown();
    const QRect g = outerGeometryTwips();
    m_models.settings->WriteRegValue(settingskeys::Panel, settingskeys::Top, numbers::shortestText(float(g.top())));
    m_models.settings->WriteRegValue(settingskeys::Panel, settingskeys::Left, numbers::shortestText(float(g.left())));
    m_models.settings->WriteRegValue(settingskeys::Panel, settingskeys::Height,
                                     numbers::shortestText(float(g.height())));
    emit unloaded();
}

void FormMain::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

bool FormMain::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        // Each key once, at the control that has the focus (or the window itself when none
        // has): a key that the control ignores travels up to its parents, seen here again.
        QWidget* focus = QApplication::focusWidget();
        const bool atTarget = focus ? watched == focus : watched == this;
        auto* w = qobject_cast<QWidget*>(watched);
        if (atTarget && w && w->window() == this)
            Form_KeyDown(static_cast<QKeyEvent*>(event));
        return false; // the key goes on to the focused control unchanged
    }
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
        trackDefaultButton(watched, event->type() == QEvent::FocusIn);
    // Clicks are the left button's, as on any button; the right one opens context menus.
    if (event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == ui.lblGui) {
            emit updateCheckRequested(UpdateCheckMode::Asked);
        } else if (const auto it = std::find(ui.lblRegName.begin(), ui.lblRegName.end(), watched);
                   it != ui.lblRegName.end()) {
            m_models.session->requestRegister(int(it - ui.lblRegName.begin()));
        } else if (m_minMaxClickers.contains(watched)) {
            m_models.session->resetMinMax(ui.chkRun->value() != 0);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FormMain::setDefaultButton(QPushButton* button)
{
    if (m_defaultButton)
        m_defaultButton->setDefault(false);
    m_defaultButton = button;
    if (button)
        button->setDefault(true);
}

void FormMain::trackDefaultButton(QObject* watched, bool focusIn)
{
    // Each DAC group's "Update" is what Enter presses while its entry or the button itself has
    // the focus. DAC A's loses the role with the focus; DAC B's keeps it, as it always has.
    if (focusIn && (watched == ui.txtDacA || watched == ui.cmdDacA))
        setDefaultButton(ui.cmdDacA);
    else if (focusIn && (watched == ui.txtDacB || watched == ui.cmdDacB))
        setDefaultButton(ui.cmdDacB);
    else if (!focusIn && watched == ui.cmdDacA && m_defaultButton == ui.cmdDacA)
        setDefaultButton(nullptr);
}

void FormMain::Form_KeyDown(const QKeyEvent* key)
{
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && m_defaultButton
        && m_defaultButton->isEnabled()) {
        m_defaultButton->click();
        return;
    }
    if (key->modifiers() & Qt::KeypadModifier)
        return;
    switch (key->key()) {
    case Qt::Key_F5:
    case Qt::Key_R:
        ui.chkRun->toggle();
        break;
    case Qt::Key_C:
        m_models.session->calibrate();
        break;
    case Qt::Key_P:
        ui.cmdCopy->click();
        break;
    case Qt::Key_L:
        ui.cmdClear->click();
        break;
    case Qt::Key_U:
        m_models.session->requestRegisters();
        break;
    case Qt::Key_A:
        ui.chkAuto->toggle();
        break;
    default:
        break;
    }
}
