/// @brief HeadlessRecorder: the recorder's phases, its progress line and its exit codes.
#include "tools/record/headlessrecorder.h"

#include "control/calibrationmodel.h"
#include "link/numberformat.h"
#include "link/protocol.h"
#include "measure/linkhealth.h"
#include "platform/clock.h"
#include "platform/commandline.h"
#include "platform/numbers.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "platform/socket.h"
#include "session/instrumentsession.h"
#include "session/paneloptions.h"

#include <algorithm>
#include <csignal>
#include <utility>

namespace {

constexpr int RegisterWaitMs = 1000;
constexpr int ConnectRetryMs = 1000;
constexpr int TerminalRefreshMs = 200;
constexpr int PlainRefreshMs = 5000;

/// Which cells keep Run disabled, in words.
QString calibrationProblems(const InstrumentSession::CalibrationShown& calibration)
{
    struct Window {
        CalibrationModel::Cell cell;
        const char* name;
        int low;
        int high;
    };
    using namespace protocol;
    static constexpr int Low = int(CalibrationLowFloor), LowTop = int(CalibrationLowCeiling);
    static constexpr int High = int(CalibrationHighFloor), HighTop = int(CalibrationHighCeiling);
    static constexpr Window windows[] = {{CalibrationModel::ALow, "A low", Low, LowTop},
                                         {CalibrationModel::AHigh, "A high", High, HighTop},
                                         {CalibrationModel::BLow, "B low", Low, LowTop},
                                         {CalibrationModel::BHigh, "B high", High, HighTop}};
    QStringList problems;
    for (const Window& w : windows) {
        const QString text = calibration.cells[size_t(w.cell)];
        const double v = numbers::leadingNumber(text);
        if (text == CalibrationModel::Unknown)
            problems.append(QStringLiteral("%1 ??? (no reply)").arg(QLatin1String(w.name)));
        else if (!(v > w.low && v < w.high))
            problems.append(
                QStringLiteral("%1 %2 (needs %3 < x < %4)").arg(QLatin1String(w.name), text).arg(w.low).arg(w.high));
    }
    return problems.join(QStringLiteral(", "));
}

QString grouped(quint64 v) { return numberformat::grouped(qint64(v), u","); }

QString megabytes(quint64 bytes) { return QString::number(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB"); }

} // namespace

HeadlessRecorder::HeadlessRecorder(InstrumentSession& session, Socket& socket, const Clock& clock,
                                   const Settings& settings, Output print, Output complain, QObject* parent)
    : QObject(parent), m_session(session), m_backend(std::make_unique<MemorySettingsBackend>()),
      m_store(std::make_unique<SettingsStore>(*m_backend)), m_options(std::make_unique<PanelOptions>(*m_store)),
      m_socket(socket), m_clock(clock), m_settings(settings), m_print(std::move(print)),
      m_complain(std::move(complain)), m_progressTimer(clock.makeTimer()), m_durationTimer(clock.makeTimer()),
      m_registerWait(clock.makeTimer()), m_connectRetry(clock.makeTimer()), m_connectTimeout(clock.makeTimer())
{
    m_session.setWindowCaption(QStringLiteral("tallyscope-record"));
    m_options->setValue(PanelOptions::Display, 0);
    m_options->setValue(PanelOptions::Verbose, settings.verbose ? 1 : 0);
    m_options->setValue(PanelOptions::Raw, settings.raw ? 1 : 0);
    m_options->setValue(PanelOptions::File, 1);
    m_options->setDataFolder(settings.folder);
    m_options->setAddress(settings.address);
    m_session.bindOptions(*m_options);
    m_session.setPort(settings.port);

    m_durationTimer->setSingleShot(true);
    m_registerWait->setSingleShot(true);
    m_connectRetry->setSingleShot(true);
    m_connectRetry->setInterval(ConnectRetryMs);
    m_connectTimeout->setSingleShot(true);

    connect(&m_session, &InstrumentSession::linkLogLine, this, [this](LogKind, const QString& text) {
        if (m_phase == Phase::Done)
            return;
        // The same refusal once a second would bury everything else.
        if (m_phase == Phase::Connecting && std::exchange(m_lastConnectMessage, text) == text)
            return;
        m_complain(text.trimmed());
    });
    // An instrument that is still starting refuses at first: try again once a second until the
    // connect timeout. Closing at once leaves no broken socket for the keep-alive to take for a
    // lost link.
    connect(&m_socket, &Socket::errorOccurred, this, [this] {
        if (m_phase != Phase::Connecting)
            return;
        m_socket.close();
        m_connectRetry->start();
    });
    connect(m_connectRetry.get(), &Timer::timeout, this, [this] {
        if (m_phase == Phase::Connecting && m_socket.state() == Socket::Closed)
            m_session.openConnection();
    });
    connect(m_connectTimeout.get(), &Timer::timeout, this, [this] {
        if (m_phase == Phase::Connecting)
            finish(ExitNoConnection, QStringLiteral("no connection to %1:%2 within %3 s")
                                         .arg(m_settings.address)
                                         .arg(m_settings.port)
                                         .arg(m_settings.connectTimeout));
    });

    connect(&m_session, &InstrumentSession::decoderError, this, m_complain);
    connect(&m_session, &InstrumentSession::sidecarFailed, this,
            [this](const QString& why) { m_complain(QStringLiteral("Doh! (data) Sidecar write failed: ") + why); });
    connect(&m_session, &InstrumentSession::dataFileFailed, this, [this](const QString& why, bool inRecordWrite) {
        if (!inRecordWrite)
            m_complain(QStringLiteral("Doh! (data) ") + why);
        // Ended from the event loop: this may be inside the decoder's write or the session's
        // own handling of the failure (the sidecar notes it), which must not see the link closed.
        m_dataFileFailed = true;
        QMetaObject::invokeMethod(
            this, [this, why] { finish(CommandLine::ExitFailure, QStringLiteral("data file: ") + why); },
            Qt::QueuedConnection);
    });
    connect(&m_session, &InstrumentSession::linkLost, this, [this] {
        finish(ExitConnectionLost, m_phase == Phase::Running ? QStringLiteral("connection lost; run stopped")
                                                             : QStringLiteral("connection lost before the run"));
    });

    connect(&m_session, &InstrumentSession::linkUp, this, [this] {
        if (m_phase == Phase::Connecting)
            m_phase = Phase::Calibrating;
    });
    connect(&m_session, &InstrumentSession::calibrationEnded, this, [this](bool aborted) {
        if (!aborted)
            onCalibrationFinished();
    });
    connect(&m_session, &InstrumentSession::registerChanged, this, [this] {
        for (int i = 0; i < InstrumentSession::RegisterCount; ++i)
            if (!m_session.registerShown(i).value)
                return;
        startRun();
    });
    connect(m_registerWait.get(), &Timer::timeout, this, &HeadlessRecorder::startRun);
    // After the session's own handler, so the count includes this arrival's records.
    connect(&m_session, &InstrumentSession::arrivalHandled, this, [this] {
        if (m_phase == Phase::Running && m_settings.recordLimit
            && m_session.entriesWritten() >= *m_settings.recordLimit)
            finish(CommandLine::ExitOk, QString());
    });
    connect(m_durationTimer.get(), &Timer::timeout, this, [this] { finish(CommandLine::ExitOk, QString()); });
    connect(m_progressTimer.get(), &Timer::timeout, this, &HeadlessRecorder::showProgress);
}

HeadlessRecorder::~HeadlessRecorder() = default;

void HeadlessRecorder::start()
{
    m_connectTimeout->start(int(m_settings.connectTimeout * 1000));
    m_session.openConnection();
}

void HeadlessRecorder::interrupt(int signalNumber)
{
    const QString name = signalNumber == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
    finish(128 + signalNumber, m_phase == Phase::Running ? QStringLiteral("%1: run stopped").arg(name)
                                                         : QStringLiteral("%1: stopped before the run").arg(name));
}

void HeadlessRecorder::onCalibrationFinished()
{
    if (m_phase != Phase::Calibrating)
        return;
    const InstrumentSession::CalibrationShown calibration = m_session.calibrationShown();
    if (!calibration.runGate) {
        finish(ExitCalibration, QStringLiteral("calibration failed: ") + calibrationProblems(calibration));
        return;
    }
    // The register values go into the sidecar; the run starts when all eight are in, or after a second.
    m_phase = Phase::Registers;
    m_session.requestRegisters();
    m_session.requestRegister(InstrumentSession::RegisterCount - 1);
    m_registerWait->start(RegisterWaitMs);
}

void HeadlessRecorder::startRun()
{
    if (m_phase != Phase::Registers)
        return;
    m_registerWait->stop();
    m_phase = Phase::Running;
    m_session.setRun(true);
    const InstrumentSession::DataFileState file = m_session.dataFileState();
    if (!file.open) {
        finish(CommandLine::ExitFailure, QStringLiteral("cannot create a data file in \"%1\"").arg(m_settings.folder));
        return;
    }
    m_complain(QStringLiteral("recording to %1").arg(file.path));
    m_runStart = m_clock.monotonicSeconds();
    if (m_settings.duration)
        m_durationTimer->start(int(std::min(*m_settings.duration * 1000.0, 2.0e9)));
    m_progressTimer->start(m_settings.terminal ? TerminalRefreshMs : PlainRefreshMs);
}

void HeadlessRecorder::finish(int code, const QString& message)
{
    // A failed data file ends the recording from the event loop; nothing may end it as a
    // success meanwhile.
    if (m_phase == Phase::Done || (m_dataFileFailed && code != CommandLine::ExitFailure))
        return;
    const bool wasRunning = m_phase == Phase::Running;
    m_phase = Phase::Done;
    m_progressTimer->stop();
    m_durationTimer->stop();
    m_connectRetry->stop();
    m_connectTimeout->stop();
    m_registerWait->stop();
    if (wasRunning) {
        showProgress();
        if (m_settings.terminal)
            m_print(QStringLiteral("\n"));
    }
    m_session.shutdown();
    if (!message.isEmpty())
        m_complain(message);
    if (wasRunning) {
        const InstrumentSession::SidecarState sidecar = m_session.sidecarState();
        m_print(QStringLiteral("%1 records written to %2\nsidecar %3\n")
                    .arg(m_session.entriesWritten())
                    .arg(m_session.dataFileState().path, sidecar.path));
        if (!sidecar.errorString.isEmpty()) {
            m_complain(QStringLiteral("the sidecar could not be written: ") + sidecar.errorString);
            if (code == CommandLine::ExitOk)
                code = CommandLine::ExitFailure;
        }
    }
    emit finished(code);
}

QString HeadlessRecorder::progressLine() const
{
    const LinkHealthFigures f = m_session.linkHealthFigures();
    const quint64 written = m_session.entriesWritten();
    const double seconds = m_clock.monotonicSeconds() - m_runStart;
    double fraction = -1;
    if (m_settings.recordLimit)
        fraction = std::max(fraction, double(written) / double(*m_settings.recordLimit));
    if (m_settings.duration)
        fraction = std::max(fraction, seconds / *m_settings.duration);
    QString line;
    if (m_settings.terminal && fraction >= 0) {
        constexpr int Width = 24;
        const double shown = std::clamp(fraction, 0.0, 1.0);
        const int filled = int(shown * Width);
        line = u'[' + QString(filled, u'#') + QString(Width - filled, u'-')
               + QStringLiteral("] %1% ").arg(int(shown * 100), 3);
    }
    line += QStringLiteral("%1 records  %2 records/s  %3  %4 s")
                .arg(grouped(written), grouped(quint64(f.recordsPerSecond)), megabytes(f.bytes),
                     QString::number(seconds, 'f', 1));
    if (f.rejectedByGate + f.rejectedByPlausibility + f.bytesDroppedByResync + f.errors > 0)
        line += QStringLiteral("  lost: %1 gated, %2 implausible, %3 bytes dropped, %4 errors")
                    .arg(f.rejectedByGate)
                    .arg(f.rejectedByPlausibility)
                    .arg(f.bytesDroppedByResync)
                    .arg(f.errors);
    return line;
}

void HeadlessRecorder::showProgress()
{
    // On a terminal: clear to the end of the line, as the line may have become shorter.
    m_print(m_settings.terminal ? u'\r' + progressLine() + QStringLiteral("\x1b[K") : progressLine() + u'\n');
}
