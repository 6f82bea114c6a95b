/// @brief Application: command line, single instance, wiring of models, link and window.
#include "app/application.h"
#include "platform/userfolders.h"

#include "app/formmain.h"
#include "link/commands.h"
#include "link/connectionmanager.h"
#include "measure/gui/datafolderchooser.h"
#include "measure/gui/histogramwindow.h"
#include "measure/histogramfeed.h"
#include "measure/linkhealth.h"
#include "platform/clock.h"
#include "platform/commandline.h"
#include "platform/freedmemory.h"
#include "platform/messagebox.h"
#include "platform/numbers.h"
#include "platform/qtsocket.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "remote/remotecontrol.h"
#include "session/histogrambinding.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"
#include "sim/instrumentsimulator.h"
#include "update/gui/updateprogressdialog.h"
#include "update/qtupdateplatform.h"
#include "update/updatebuildsettings.h"
#include "update/updateroutine.h"

#include <QCommandLineParser>
#include <QLockFile>
#include <cstdio>
#include <utility>

std::optional<int> Application::parseArguments(const QStringList& arguments, Options& options)
{
    CommandLine cli(QStringLiteral("tallyscope"), QStringLiteral("Front panel for the two-channel timing instrument."));
    QCommandLineParser& p = cli.parser();
    // Qt's own options (-platform offscreen, -style ...) are read by QApplication later; they
    // are accepted here unlisted, which needs single-dash words read as long options.
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char* name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "qmljsdebugger", "qwindowgeometry",
          "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style", "stylesheet"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        p.addOption(qtOption);
    }
    for (const char* name : {"reverse", "widgetcount"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString());
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        p.addOption(qtOption);
    }
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Instrument address shown in the address box at start."),
                                     QStringLiteral("HOST"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Instrument port (default %1).").arg(protocol::DefaultPort),
                                  QStringLiteral("N"));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral(
                                          "Start the built-in instrument simulator on 127.0.0.1 and connect to it."));
    const QCommandLineOption updateUrl(QStringLiteral("update-url"),
                                       QStringLiteral("Address of the update web directory (ending in /)."),
                                       QStringLiteral("URL"));
    p.addOptions({address, port, simulate, updateUrl});
    const ControlPortOptions controlOptions(p);
    if (const auto exitCode = cli.parse(arguments))
        return exitCode;
    if (!p.positionalArguments().isEmpty())
        return cli.usage(QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().constFirst()));
    Options o;
    if (p.isSet(address))
        o.address = p.value(address);
    if (p.isSet(port)) {
        o.port = CommandLine::port(p.value(port));
        if (!o.port)
            return cli.usage(QStringLiteral("--port takes a number from 1 to 65535"));
    }
    o.simulate = p.isSet(simulate);
    o.updateUrl = p.value(updateUrl);
    QString problem;
    o.control = controlOptions.read(p, &problem);
    if (!problem.isEmpty())
        return cli.usage(problem);
    options = o;
    return std::nullopt;
}

QString Application::lockFilePath()
{
    // Per user and private, or none at all: a lock in the shared temporary folder would let one
    // user's panel refuse another's (or be planted by anyone).
    const QString dir = userfolders::privateRuntimeFolder();
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/tallyscope.lock");
}

bool Application::acquireSingleInstance(QLockFile& lock, MessageBoxes& boxes, QString& warning,
                                        std::function<void()> refusalAnswered)
{
    warning.clear();
    lock.setStaleLockTime(0);
    if (lock.fileName().isEmpty()) {
        warning = QStringLiteral("No folder for the single-instance lock; a second panel is not refused.");
        return true;
    }
    if (lock.tryLock(0))
        return true;
    if (lock.error() != QLockFile::LockFailedError) {
        // Only a lock held by a live process means another panel; one that cannot be made at
        // all must not keep this panel from starting.
        warning = QStringLiteral("Cannot create the single-instance lock %1; a second panel is not refused.")
                      .arg(lock.fileName());
        return true;
    }
    boxes.show(QStringLiteral("Another Tallyscope test GUI is already running!"), QStringLiteral("Oops!"),
               MessageBoxes::Buttons::OkCancel, MessageBoxes::Icon::Critical,
               [refusalAnswered = std::move(refusalAnswered)](MessageBoxes::Answer) {
        if (refusalAnswered)
            refusalAnswered();
    });
    return false;
}

Application::Application(const Options& options, SettingsBackend& settings, MessageBoxes& boxes, QObject* parent)
    : Application(options, settings, boxes, Seams{}, parent)
{}

Application::Application(const Options& options, SettingsBackend& settings, MessageBoxes& boxes, Seams seams,
                         QObject* parent)
    : QObject(parent), m_options(options), m_boxes(boxes)
{
    // Here rather than in main(), so that whatever runs the panel in its process (the end-to-end
    // benchmark) runs it with the same memory behaviour.
    platform::keepFreedMemoryForReuse();
    m_settings = std::make_unique<SettingsStore>(settings);
    m_settings->setFailureReport([this](const QString& line) { logNote(line); });
    if (!seams.clock) {
        m_clock = std::make_unique<SystemClock>();
        seams.clock = m_clock.get();
    }
    if (!seams.socket) {
        m_socket = std::make_unique<QtSocket>();
        seams.socket = m_socket.get();
    }
    m_log = std::make_unique<MessageLog>();
    m_histogramFeed = std::make_unique<HistogramFeed>();
    m_seamClock = seams.clock;
    m_session = std::make_unique<InstrumentSession>(*seams.socket, *seams.clock, m_boxes, *m_log);
    m_panelOptions = std::make_unique<PanelOptions>(*m_settings);
    m_session->bindOptions(*m_panelOptions);
    m_window = std::make_unique<FormMain>(
        PanelModels{m_settings.get(), m_panelOptions.get(), m_session.get(), m_log.get(), seams.clock});
    m_session->setWindowCaption(m_window->windowTitle());

    if (!seams.update) {
        m_updatePlatform = std::make_unique<QtUpdatePlatform>();
        seams.update = m_updatePlatform.get();
    }
    const QString publicKey = seams.updatePublicKey.isEmpty() ? UpdateBuildSettings::publicKey()
                                                              : seams.updatePublicKey;
    m_update = std::make_unique<UpdateRoutine>(*seams.update, *m_settings, m_boxes, *seams.clock, publicKey);
    m_updateProgress = std::make_unique<UpdateProgressDialog>(*m_update, m_window.get());
    m_updateUrl = m_options.updateUrl.isEmpty() ? UpdateBuildSettings::baseUrl() : m_options.updateUrl;

    if (m_options.simulate) {
        m_simulator = std::make_unique<InstrumentSimulator>();
        // The instrument's own port when it is free, so the panel runs exactly as in the lab;
        // any free port otherwise.
        if (!m_simulator->start(ConnectionManager::DefaultPort))
            m_simulator->start(0);
        m_panelOptions->setAddress(QStringLiteral("127.0.0.1"));
        m_session->setPort(m_simulator->port());
    }
    if (m_options.address)
        m_panelOptions->setAddress(*m_options.address);
    if (m_options.port)
        m_session->setPort(*m_options.port);
    wire();
}

bool Application::openControlPort(QString* error)
{
    if (!m_options.control)
        return true;
    if (const QString warning = ControlPort::exposureWarning(*m_options.control); !warning.isEmpty())
        std::fprintf(stderr, "tallyscope: %s\n", qPrintable(warning));
    m_controlPort = std::make_unique<ControlPort>(*m_session, *m_panelOptions, *m_histogramFeed, *m_seamClock);
    if (!m_controlPort->listen(*m_options.control, error)) {
        m_controlPort.reset();
        return false;
    }
    // Listening at once, so that a port that is taken fails fast; carrying out commands only once
    // start-up is complete, so that nothing a script sends reaches the instrument earlier.
    if (!m_loaded)
        m_controlPort->holdCommands();
    connect(m_controlPort.get(), &ControlPort::clientCountChanged, m_window.get(), &FormMain::setRemoteClients);
    connect(&m_controlPort->control(), &RemoteControl::lockChanged, m_window.get(), &FormMain::setRemoteLocked);
    for (const QString& line : m_controlPort->listeningLines())
        std::fprintf(stderr, "tallyscope: %s\n", qPrintable(line));
    std::fflush(stderr);
    return true;
}

Application::~Application()
{
    // Scripts go first: their commands reach into the window's models.
    m_controlPort.reset();
    // The window goes first: it still talks to the link and the models while it closes. The
    // update progress dialog is its child and must go before it.
    m_updateProgress.reset();
    m_histogramWindow.reset();
    m_window.reset();
    m_session.reset();
}

void Application::wire()
{
    FormMain* w = m_window.get();
    InstrumentSession* s = m_session.get();

    connect(w, &FormMain::dataFolderRequested, this, [this, w] {
        DataFolderChooser(*m_settings, &m_boxes).choose(m_panelOptions->dataFolder(), w, [this](const QString& text) {
            m_panelOptions->setDataFolder(text);
        });
    });

    // The histogram: fed by the decoder, binned on the grid the calibration in force allows,
    // shown in its own window from the "Coincidences" group's context menu.
    // Made now, hidden: its trends cover the whole session, not just the time since it opened.
    bindHistogramFeed(*s, *m_histogramFeed);
    m_histogramWindow = std::make_unique<HistogramWindow>(
        m_histogramFeed->histogram(), [s] { return s->linkHealthFigures(); }, w);
    connect(m_histogramWindow.get(), &HistogramWindow::aboutToRefresh, s, &InstrumentSession::catchUp);
    connect(w, &FormMain::histogramRequested, this, [this] {
        m_histogramWindow->show();
        m_histogramWindow->raise();
        m_histogramWindow->activateWindow();
    });

    connect(w, &FormMain::unloaded, this, &Application::finished);

    // Self-update: on a click of the version label, and at start-up (below). Handing over to
    // the changeover program ends the panel without its closing steps, as an installer must.
    connect(w, &FormMain::updateCheckRequested, this,
            [this](UpdateCheckMode mode) { m_update->UpdateThisApp(mode, m_updateUrl); });
    connect(m_update.get(), &UpdateRoutine::busyChanged, w, [w](bool busy) {
        if (busy)
            w->setCursor(Qt::WaitCursor);
        else
            w->unsetCursor();
    });
    connect(m_update.get(), &UpdateRoutine::endProgramRequested, this, [] { QCoreApplication::exit(0); });
}

void Application::start()
{
    m_window->Form_Load([this](const std::function<void()>& done) {
        const auto finish = [this, done] {
            done();
            m_loaded = true;
            m_settings->checkWritable(settingskeys::Panel);
            for (const QString& line : std::exchange(m_pendingNotes, {}))
                logNote(line);
            m_window->show();
            // A shown window is the healthy start that the changeover program of an update waits for.
            m_update->reportHealthyStart();
            if (m_controlPort)
                m_controlPort->releaseCommands();
        };
        // Start-up goes on only once the automatic check has come back; the event loop keeps
        // running meanwhile, so its prompt and progress stay responsive.
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(m_update.get(), &UpdateRoutine::finished, this, [this, finish, once] {
            disconnect(*once);
            finish();
        });
        if (!m_update->UpdateThisApp(UpdateCheckMode::Automatic, m_updateUrl)) {
            disconnect(*once);
            finish();
        }
    });
}

void Application::stop()
{
    if (m_loaded)
        m_window->close();
    else
        emit finished();
}

void Application::logNote(const QString& line)
{
    // Start-up replaces the whole log text once; a line logged before that would be lost.
    if (m_loaded)
        m_log->LogMessage(line, true);
    else
        m_pendingNotes.append(line);
}
