/// @brief Application: command line, single instance, wiring of models, link and window.
#include "app/application.h"

#include "app/formmain.h"
#include "app/model/messagelog.h"
#include "app/vbcheckbox.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registerpanel.h"
#include "link/commands.h"
#include "link/replydecoder.h"
#include "measure/datafile.h"
#include "measure/gui/datafolderchooser.h"
#include "measure/runswitch.h"
#include "platform/numbers.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "link/versionmodel.h"
#include "measure/runstatistics.h"
#include "platform/clock.h"
#include "platform/messagebox.h"
#include "platform/qtsocket.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "sim/instrumentsimulator.h"
#include "update/gui/updateprogressdialog.h"
#include "update/qtupdateplatform.h"
#include "update/updatebuildsettings.h"
#include "update/updateroutine.h"

#include <QCommandLineParser>
#include <QDir>
#include <QLineEdit>
#include <QLockFile>
#include <QStandardPaths>

std::optional<Application::Options> Application::parseArguments(const QStringList& arguments, QString& message, bool& isError)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Front panel for the two-channel timing instrument."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Instrument address shown in the address box at start."), QStringLiteral("HOST"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Instrument port (default 37829)."), QStringLiteral("N"));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Start the built-in instrument simulator on 127.0.0.1 and connect to it."));
    const QCommandLineOption updateUrl(QStringLiteral("update-url"),
                                       QStringLiteral("Address of the update web directory (ending in /)."), QStringLiteral("URL"));
    p.addOptions({help, address, port, simulate, updateUrl});
    isError = false;
    if (!p.parse(arguments)) {
        message = p.errorText();
        isError = true;
        return std::nullopt;
    }
    if (p.isSet(help)) {
        message = p.helpText();
        return std::nullopt;
    }
    Options o;
    if (p.isSet(address))
        o.address = p.value(address);
    if (p.isSet(port)) {
        bool ok = false;
        const uint v = p.value(port).toUInt(&ok);
        if (!ok || v == 0 || v > 65535) {
            message = QStringLiteral("--port takes a number from 1 to 65535.");
            isError = true;
            return std::nullopt;
        }
        o.port = quint16(v);
    }
    o.simulate = p.isSet(simulate);
    o.updateUrl = p.value(updateUrl);
    return o;
}

QString Application::lockFilePath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/tallyscope.lock");
}

bool Application::acquireSingleInstance(QLockFile& lock, MessageBoxes& boxes)
{
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return true;
    boxes.show(QStringLiteral("Another Tallyscope test GUI is already running!"), QStringLiteral("Oops!"),
               MessageBoxes::Buttons::OkCancel, MessageBoxes::Icon::Critical);
    return false;
}

Application::Application(const Options& options, SettingsBackend& settings, MessageBoxes& boxes, QObject* parent)
    : QObject(parent), m_options(options), m_boxes(boxes)
{
    m_settings = std::make_unique<SettingsStore>(settings);
    m_clock = std::make_unique<SystemClock>();
    m_socket = std::make_unique<QtSocket>();
    m_log = std::make_unique<MessageLog>();
    m_calibration = std::make_unique<CalibrationModel>();
    m_statistics = std::make_unique<RunStatistics>();
    m_registers = std::make_unique<RegisterModel>();
    m_versions = std::make_unique<VersionModel>();
    m_link = std::make_unique<ConnectionManager>(*m_socket, *m_clock);

    PanelModels models;
    models.settings = m_settings.get();
    models.link = m_link.get();
    models.log = m_log.get();
    models.calibration = m_calibration.get();
    models.statistics = m_statistics.get();
    models.registers = m_registers.get();
    models.versions = m_versions.get();
    m_window = std::make_unique<FormMain>(models);

    m_updatePlatform = std::make_unique<QtUpdatePlatform>();
    m_update = std::make_unique<UpdateRoutine>(*m_updatePlatform, *m_settings, m_boxes, *m_clock, UpdateBuildSettings::publicKey());
    m_updateProgress = std::make_unique<UpdateProgressDialog>(*m_update, m_window.get());
    m_updateUrl = m_options.updateUrl.isEmpty() ? UpdateBuildSettings::baseUrl() : m_options.updateUrl;

    const auto sendFn = [this](const QByteArray& b) { return send(b); };
    m_dataFile = std::make_unique<DataFile>(*m_clock);
    m_runSwitch = std::make_unique<RunSwitch>(sendFn, *m_statistics, *m_dataFile, m_boxes);
    m_runSwitch->setWindowCaption(m_window->windowTitle());
    m_calibrationSequence = std::make_unique<CalibrationSequence>(*m_calibration, *m_clock, sendFn,
                                                                  [this](bool on) { m_link->setKeepAliveEnabled(on); });
    m_registerPanel = std::make_unique<RegisterPanel>(sendFn);
    m_decoder = std::make_unique<ReplyDecoder>(
        ReplyDecoder::Context{*m_calibration, *m_registers, *m_versions, *m_statistics, m_dataOptions, *this});

    if (m_options.simulate) {
        m_simulator = std::make_unique<InstrumentSimulator>();
        // The instrument's own port when it is free, so the panel runs exactly as in the lab;
        // any free port otherwise.
        if (!m_simulator->start(ConnectionManager::DefaultPort))
            m_simulator->start(0);
        m_window->ui.txtIP->setText(QStringLiteral("127.0.0.1"));
        m_link->setPort(m_simulator->port());
    }
    if (m_options.address)
        m_window->ui.txtIP->setText(*m_options.address);
    if (m_options.port)
        m_link->setPort(*m_options.port);
    wire();
}

Application::~Application()
{
    // The window goes first: it still talks to the link and the models while it closes. The
    // update progress dialog is its child and must go before it.
    m_updateProgress.reset();
    m_window.reset();
    m_link.reset();
}

bool Application::send(const QByteArray& bytes) { return m_link->send(bytes); }

void Application::wire()
{
    FormMain* w = m_window.get();
    const auto& ui = w->ui;

    // Link: every connection is calibrated, then asked for its version.
    connect(m_link.get(), &ConnectionManager::connectionEstablished, this, [this] {
        m_decoder->reset();
        m_versionAfterCalibration = true;
        m_calibrationSequence->start();
    });
    connect(m_calibrationSequence.get(), &CalibrationSequence::finished, this, [this] {
        if (std::exchange(m_versionAfterCalibration, false))
            send(commands::versionRequest());
    });
    connect(m_link.get(), &ConnectionManager::dataArrived, this, [this](const QByteArray& bytes) {
        m_decoder->feed(bytes);
        // What has been decoded goes to the operating system at once: a crash of the panel
        // then loses nothing that was shown.
        if (m_dataFile->isOpen())
            m_dataFile->flushToOs();
    });

    // Calibration.
    connect(w, &FormMain::calibrateRequested, m_calibrationSequence.get(), &CalibrationSequence::start);
    connect(m_calibrationSequence.get(), &CalibrationSequence::logAsideBegin, m_log.get(), &MessageLog::beginAside);
    connect(m_calibrationSequence.get(), &CalibrationSequence::logAsideEnd, m_log.get(), &MessageLog::endAside);
    connect(m_calibrationSequence.get(), &CalibrationSequence::busyChanged, w, [w](bool busy) {
        if (busy)
            w->setCursor(Qt::WaitCursor);
        else
            w->unsetCursor();
    });

    // Runs and the data file; the options are read anew for every record.
    const auto syncOptions = [this, &ui] {
        m_dataOptions.display = ui.chkDisplay->value() != 0;
        m_dataOptions.verbose = ui.chkVerbose->value() != 0;
        m_dataOptions.file = ui.chkFile->value() != 0;
        m_dataOptions.raw = ui.chkRaw->value() != 0;
        m_runSwitch->setFileTicked(m_dataOptions.file);
    };
    syncOptions();
    for (VbCheckBox* box : {ui.chkDisplay, ui.chkVerbose, ui.chkFile, ui.chkRaw})
        connect(box, &VbCheckBox::valueChanged, this, syncOptions);
    m_runSwitch->setDataFolder(ui.txtPath->text());
    connect(ui.txtPath, &QLineEdit::textChanged, m_runSwitch.get(), &RunSwitch::setDataFolder);
    connect(w, &FormMain::runSwitched, m_runSwitch.get(), &RunSwitch::setRun);
    connect(w, &FormMain::dataFolderRequested, this, [this, w] {
        if (const auto text = DataFolderChooser(*m_settings, &m_boxes).cmdPath_Click(w->ui.txtPath->text(), w))
            w->ui.txtPath->setText(*text);
    });
    connect(m_dataFile.get(), &DataFile::writeFailed, this, [this](const QString& description) {
        // A failure inside a record's write is reported by the decoder's error path itself.
        if (!m_decoderWriting)
            errorLine(QStringLiteral("Doh! (data) ") + description);
    });

    // Registers and DAC A.
    connect(w, &FormMain::registersRequested, m_registerPanel.get(), &RegisterPanel::cmdReg_Click);
    connect(w, &FormMain::registerNameClicked, m_registerPanel.get(), &RegisterPanel::lblRegName_Click);
    connect(w, &FormMain::autoSwitched, m_registerPanel.get(), &RegisterPanel::chkAuto_Click);
    connect(w, &FormMain::dacAUpdateRequested, this,
            [this](const QString& entry) { send(commands::dacA(numbers::leadingNumber(entry))); });

    connect(w, &FormMain::unloading, this, [this] {
        m_calibrationSequence->abort();
        m_registerPanel->chkAuto_Click(false);
    });
    connect(w, &FormMain::unloaded, this, &Application::finished);

    // Self-update: on a click of the version label, and at start-up (below). Handing over to
    // the changeover program ends the panel without its closing steps, as an installer must.
    connect(w, &FormMain::updateCheckRequested, this, [this](int mode) { m_update->UpdateThisApp(mode, m_updateUrl); });
    connect(m_update.get(), &UpdateRoutine::busyChanged, w, [w](bool busy) {
        if (busy)
            w->setCursor(Qt::WaitCursor);
        else
            w->unsetCursor();
    });
    connect(m_update.get(), &UpdateRoutine::endProgramRequested, this, [] { QCoreApplication::exit(0); });
}

void Application::heartbeat() { m_link->heartbeatReceived(); }

void Application::displayLine(const QString& line) { m_log->LogMessage(line, false); }

void Application::errorLine(const QString& line) { m_log->LogMessage(line, false); }

bool Application::fileIsOpen() const { return m_dataFile->isOpen(); }

bool Application::writeFile(QByteArrayView bytes, QString& errorText)
{
    m_decoderWriting = true;
    const bool ok = m_dataFile->write(bytes.data(), bytes.size());
    m_decoderWriting = false;
    if (!ok)
        errorText = m_dataFile->errorString();
    return ok;
}

bool Application::runTicked() const { return m_window->ui.chkRun->value() != 0; }

void Application::start()
{
    m_window->Form_Load([this](const std::function<void()>& done) {
        // Start-up goes on only once the automatic check has come back; the event loop keeps
        // running meanwhile, so its prompt and progress stay responsive.
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(m_update.get(), &UpdateRoutine::finished, this, [this, done, once] {
            disconnect(*once);
            done();
            m_window->show();
        });
        if (!m_update->UpdateThisApp(0, m_updateUrl)) {
            disconnect(*once);
            done();
            m_window->show();
        }
    });
}
