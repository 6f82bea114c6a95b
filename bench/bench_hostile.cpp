/// @brief Hostile clients on the control port: each abuse replayed with 8 clients against a fresh tallyscope-server or
/// panel, printing the front end's memory, a bystander client's latency, heartbeat lateness, false link losses and what
/// the abuse did.
#include "bench/benchutil.h"
#include "link/protocol.h"
#include "sim/instrumentsimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The front end's places on the control port: a case uses all of them.
constexpr int Places = 8;
constexpr int HostileClients = Places - 1;
constexpr int BystanderIntervalMs = 50;
constexpr int BystanderTimeoutMs = 5000;
constexpr int ReadyTimeoutMs = 20000;
constexpr int StormBoundMs = 180000;
constexpr int LockoutBoundMs = 100000;
constexpr int LockoutRetryMs = 2000;
constexpr int SlowByteMs = 5000;
// After SIGTERM a front end gets this long to close its clients and exit before it is killed.
constexpr int SigtermBoundMs = 30000;
constexpr double MinimumCaseMs = 1.5 * protocol::KeepAliveMs;

QElapsedTimer benchClock;

double nowMs() { return double(benchClock.nsecsElapsed()) / 1e6; }

/// Serves the event loop until done() holds or timeoutMs pass: the simulator, the clients and
/// the child's pipes keep being served while the bench waits. True when done() holds.
bool waitUntil(const std::function<bool()>& done, double timeoutMs)
{
    if (done())
        return true;
    const double until = nowMs() + timeoutMs;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || nowMs() >= until)
            loop.quit();
    });
    poll.start();
    loop.exec();
    return done();
}

void pauseMs(double ms)
{
    waitUntil([] { return false; }, ms);
}

QByteArray quoted(const QString& text)
{
    QByteArray s = text.toUtf8();
    s.replace('"', "\"\"");
    return '"' + s + '"';
}

QString unquoted(QByteArray text)
{
    text = text.trimmed();
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
        const char q = text.front();
        text = text.mid(1, text.size() - 2);
        text.replace(QByteArray(2, q), QByteArray(1, q));
    }
    return QString::fromUtf8(text);
}

/// A reply as one printable line: long ones cut, control bytes shown as escapes.
QString shown(const QByteArray& reply, qsizetype most = 100)
{
    QString s;
    for (const char ch : reply.left(most)) {
        if (ch == '\n')
            s += QStringLiteral("\\n");
        else if (quint8(ch) < 0x20 || quint8(ch) >= 0x7F)
            s += QStringLiteral("\\x%1").arg(quint8(ch), 2, 16, QLatin1Char('0'));
        else
            s += QLatin1Char(ch);
    }
    if (reply.size() > most)
        s += QStringLiteral("... (%1 bytes)").arg(reply.size());
    return s;
}

/// Bytes of the next whole reply at `from` (its "\n" included), 0 while it is incomplete. A
/// definite-length block (#<n><length><bytes>) is framed by its length, anything else by "\n".
qsizetype replyLength(const QByteArray& in, qsizetype from)
{
    const qsizetype left = in.size() - from;
    if (left <= 0)
        return 0;
    if (in[from] == '#') {
        if (left < 2)
            return 0;
        const int digits = in[from + 1] - '0';
        if (digits >= 1 && digits <= 9) {
            if (left < 2 + digits)
                return 0;
            bool ok = false;
            const qint64 length = in.mid(from + 2, digits).toLongLong(&ok);
            if (ok) {
                const qint64 total = 2 + digits + length + 1;
                return left >= total ? qsizetype(total) : 0;
            }
        }
    }
    const qsizetype newline = in.indexOf('\n', from);
    return newline < 0 ? 0 : newline - from + 1;
}

/// Payload bytes of a definite-length block reply; -1 when the reply is not one.
qint64 blockPayload(const QByteArray& reply)
{
    if (reply.size() < 2 || reply[0] != '#' || reply[1] < '1' || reply[1] > '9')
        return -1;
    const int digits = reply[1] - '0';
    bool ok = false;
    const qint64 length = reply.mid(2, digits).toLongLong(&ok);
    return ok ? length : -1;
}

struct Percentiles {
    std::vector<double> ms;
    int timeouts = 0;

    double at(double p) const
    {
        if (ms.empty())
            return 0;
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
    }
};

/// One client of the control port on 127.0.0.1, with replies framed as they arrive.
class ScpiClient : public QObject {
public:
    using Handler = std::function<void(const QByteArray&)>;

    ScpiClient()
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { readReplies(); });
        connect(&m_socket, &QTcpSocket::disconnected, this, [this] { markClosed(); });
        connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                markClosed();
        });
    }

    bool connectTo(quint16 port, double timeoutMs = 5000)
    {
        m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        waitUntil([this] { return m_socket.state() == QAbstractSocket::ConnectedState || m_closed; }, timeoutMs);
        return m_socket.state() == QAbstractSocket::ConnectedState;
    }

    /// Qt holds at most one unread byte and the client never reads: the kernel's buffers fill,
    /// and then whatever the front end still wants to send stays with the front end.
    void neverRead()
    {
        m_neverRead = true;
        m_socket.setReadBufferSize(1);
    }

    void send(QByteArray line)
    {
        if (!line.endsWith('\n'))
            line += '\n';
        m_socket.write(line);
    }
    void sendRaw(const QByteArray& bytes) { m_socket.write(bytes); }

    /// Replies go to the handler as they come instead of waiting in the queue.
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    std::optional<QByteArray> nextReply(double timeoutMs)
    {
        waitUntil([this] { return !m_replies.empty() || m_closed; }, timeoutMs);
        if (m_replies.empty())
            return std::nullopt;
        QByteArray reply = std::move(m_replies.front());
        m_replies.pop_front();
        return reply;
    }

    /// A stale reply (from an earlier query that timed out) is dropped first.
    std::optional<QByteArray> query(const QByteArray& line, double timeoutMs = 5000)
    {
        m_replies.clear();
        send(line);
        return nextReply(timeoutMs);
    }

    bool isClosed() const { return m_closed; }
    double closedAt() const { return m_closedAt; }
    qint64 bytesReceived() const { return m_bytesReceived; }
    /// The first bytes received, for telling what a client was sent.
    QByteArray head() const { return m_head; }

private:
    void readReplies()
    {
        if (m_neverRead)
            return;
        const QByteArray chunk = m_socket.readAll();
        m_bytesReceived += chunk.size();
        if (m_head.size() < 256)
            m_head += chunk.left(256 - m_head.size());
        m_in += chunk;
        qsizetype at = 0;
        while (const qsizetype n = replyLength(m_in, at)) {
            QByteArray reply = m_in.mid(at, n - 1);
            at += n;
            if (m_handler)
                m_handler(reply);
            else
                m_replies.push_back(std::move(reply));
        }
        m_in.remove(0, at);
    }

    void markClosed()
    {
        if (m_closed)
            return;
        m_closed = true;
        m_closedAt = nowMs();
    }

    QTcpSocket m_socket;
    QByteArray m_in;
    QByteArray m_head;
    std::deque<QByteArray> m_replies;
    Handler m_handler;
    qint64 m_bytesReceived = 0;
    bool m_neverRead = false;
    bool m_closed = false;
    double m_closedAt = 0;
};

/// The client that only wants service: `*IDN?` every 50 ms, the next one when the answer has
/// come or after 5 s (a timeout). A late answer to a query that timed out is not counted.
class Bystander : public QObject {
public:
    explicit Bystander(std::unique_ptr<ScpiClient> client) : m_client(std::move(client))
    {
        m_client->setHandler([this](const QByteArray& reply) { answered(reply); });
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.setInterval(5);
        connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
        m_tick.start();
        tick();
    }

    void stop()
    {
        m_tick.stop();
        if (m_sentAt >= 0 && nowMs() - m_sentAt >= BystanderTimeoutMs)
            ++m_figures.timeouts;
        m_sentAt = -1;
    }

    const Percentiles& figures() const { return m_figures; }
    const ScpiClient& client() const { return *m_client; }
    QByteArray refusal() const { return m_refusal; }

private:
    void tick()
    {
        if (m_client->isClosed()) {
            stop();
            return;
        }
        const double now = nowMs();
        if (m_sentAt >= 0 && now - m_sentAt >= BystanderTimeoutMs) {
            ++m_figures.timeouts;
            ++m_stale;
            m_sentAt = -1;
        }
        if (m_sentAt < 0 && now - m_lastSent >= BystanderIntervalMs) {
            m_client->send("*IDN?");
            m_sentAt = m_lastSent = now;
        }
    }

    void answered(const QByteArray& reply)
    {
        if (reply.startsWith("ERROR"))
            m_refusal = reply;
        if (m_stale > 0) {
            --m_stale;
            return;
        }
        if (m_sentAt < 0)
            return;
        m_figures.ms.push_back(nowMs() - m_sentAt);
        m_sentAt = -1;
    }

    std::unique_ptr<ScpiClient> m_client;
    QTimer m_tick;
    Percentiles m_figures;
    QByteArray m_refusal;
    double m_sentAt = -1;
    double m_lastSent = -1e12;
    int m_stale = 0;
};

/// A client that fetches the time differences as a little-endian int32 block every 100 ms,
/// one fetch at a time, until its connection closes.
class Fetcher : public QObject {
public:
    explicit Fetcher(std::unique_ptr<ScpiClient> client) : m_client(std::move(client))
    {
        m_tick.setInterval(5);
        connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
    }

    ScpiClient& client() { return *m_client; }
    const ScpiClient& client() const { return *m_client; }

    void start()
    {
        m_client->setHandler([this](const QByteArray& reply) {
            m_waiting = false;
            const qint64 payload = blockPayload(reply);
            if (payload < 0) {
                ++m_otherReplies;
                return;
            }
            m_values += quint64(payload) / sizeof(qint32);
            ++m_fetches;
            m_lastAnswerAt = nowMs();
        });
        m_tick.start();
        tick();
    }

    quint64 values() const { return m_values; }
    int fetches() const { return m_fetches; }
    int otherReplies() const { return m_otherReplies; }
    double lastAnswerAt() const { return m_lastAnswerAt; }

private:
    void tick()
    {
        if (m_client->isClosed()) {
            m_tick.stop();
            return;
        }
        const double now = nowMs();
        if (!m_waiting && now - m_lastSent >= 100) {
            m_client->send("FETC:DT?");
            m_waiting = true;
            m_lastSent = now;
        }
    }

    std::unique_ptr<ScpiClient> m_client;
    QTimer m_tick;
    bool m_waiting = false;
    double m_lastSent = -1e12;
    double m_lastAnswerAt = 0;
    quint64 m_values = 0;
    int m_fetches = 0;
    int m_otherReplies = 0;
};

struct FrontEndSetup {
    bool panel = false;
    QString exe;
    quint16 instrumentPort = 0;
    double memoryCapMiB = 4096;
};

/// The front end under test as a child process in a folder of its own: its control port, its
/// resident memory sampled every 100 ms, its stderr and its end.
class FrontEnd : public QObject {
public:
    FrontEnd(const FrontEndSetup& setup, const QString& folder, std::optional<rlim_t> fileSizeLimit)
        : m_setup(setup), m_folder(folder)
    {
        QDir(folder).mkpath(QStringLiteral("data"));
        QStringList arguments;
        if (setup.panel) {
            arguments << QStringLiteral("-platform") << QStringLiteral("offscreen");
            QDir(folder).mkpath(QStringLiteral("config"));
            QDir(folder).mkpath(QStringLiteral("runtime"));
            ::chmod(QFile::encodeName(folder + QStringLiteral("/runtime")).constData(), 0700);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder + QStringLiteral("/config"));
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder + QStringLiteral("/runtime"));
            m_process.setProcessEnvironment(env);
        }
        arguments << QStringLiteral("--address") << QStringLiteral("127.0.0.1") << QStringLiteral("--port")
                  << QString::number(setup.instrumentPort) << QStringLiteral("--control-port") << QStringLiteral("0");
        if (!setup.panel)
            arguments << QStringLiteral("--data-folder") << dataFolder();
        m_process.setProgram(setup.exe);
        m_process.setArguments(arguments);
        m_process.setWorkingDirectory(folder);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        if (fileSizeLimit) {
            // A file that would pass the limit fails with EFBIG, as on a full disk, instead of
            // the signal ending the process.
            m_process.setChildProcessModifier([limit = *fileSizeLimit] {
                struct sigaction ignored {};
                ignored.sa_handler = SIG_IGN;
                sigemptyset(&ignored.sa_mask);
                ::sigaction(SIGXFSZ, &ignored, nullptr);
                const rlimit r{limit, limit};
                ::setrlimit(RLIMIT_FSIZE, &r);
            });
        }
        connect(&m_process, &QProcess::readyReadStandardError, this, [this] { readStderr(); });
        connect(&m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
            m_exited = true;
            m_exitCode = code;
            m_exitStatus = status;
            m_exitedAt = nowMs();
            m_sampler.stop();
        });
        m_sampler.setInterval(100);
        connect(&m_sampler, &QTimer::timeout, this, [this] { sample(); });
    }

    ~FrontEnd() override { stop(); }

    QString dataFolder() const { return m_folder + QStringLiteral("/data"); }

    bool start(QString* error)
    {
        m_startedAt = nowMs();
        m_process.start();
        if (!waitUntil([this] { return m_controlPort != 0 || m_exited || m_process.state() == QProcess::NotRunning; },
                       15000)) {
            *error = m_process.state() == QProcess::NotRunning && !m_exited
                         ? m_process.errorString()
                         : QStringLiteral("no control port line on stderr within 15 s");
            return false;
        }
        if (m_controlPort == 0) {
            *error = QStringLiteral("ended before listening (%1)").arg(exitText());
            return false;
        }
        m_pid = m_process.processId();
        m_sampler.start();
        sample();
        return true;
    }

    quint16 controlPort() const { return m_controlPort; }
    bool isRunning() const { return !m_exited && m_process.state() != QProcess::NotRunning; }
    double startedAt() const { return m_startedAt; }

    void terminate()
    {
        sample();
        m_process.terminate();
    }

    /// Kills a front end still up; bounded, so that a case always ends.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        sample();
        m_process.kill();
        waitUntil([this] { return m_process.state() == QProcess::NotRunning; }, 5000);
    }

    void sample()
    {
        if (m_pid <= 0 || m_exited)
            return;
        QFile status(QStringLiteral("/proc/%1/status").arg(m_pid));
        if (!status.open(QIODevice::ReadOnly))
            return;
        const auto kib = [](const QByteArray& line) { return line.mid(6).trimmed().split(' ').first().toDouble(); };
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                m_rssLastMiB = kib(line) / 1024.0;
                m_rssMaxMiB = std::max(m_rssMaxMiB, m_rssLastMiB);
                m_timeline.emplace_back(nowMs(), m_rssLastMiB);
            } else if (line.startsWith("VmHWM:")) {
                m_hwmMiB = kib(line) / 1024.0;
            }
        }
        // Far above any fixed front end, far below this machine's memory: a runaway is cut,
        // not waited for.
        if (m_rssLastMiB > m_setup.memoryCapMiB && !m_cut) {
            m_cut = true;
            m_cutAt = nowMs();
            std::fprintf(stderr, "bench_hostile: front end passed %.0f MiB resident, killed\n", m_setup.memoryCapMiB);
            m_process.kill();
        }
    }

    double peakMiB() const { return std::max(m_hwmMiB, m_rssMaxMiB); }
    double hwmMiB() const { return m_hwmMiB; }
    double rssMaxMiB() const { return m_rssMaxMiB; }
    double rssLastMiB() const { return m_rssLastMiB; }
    bool wasCut() const { return m_cut; }
    double cutAt() const { return m_cutAt; }
    double memoryCapMiB() const { return m_setup.memoryCapMiB; }
    /// Resident MiB at the last sample taken at or before `at`.
    double rssAt(double at) const
    {
        double mib = 0;
        for (const auto& [t, m] : m_timeline)
            if (t <= at)
                mib = m;
        return mib;
    }

    bool exited() const { return m_exited; }
    double exitedAt() const { return m_exitedAt; }
    QString exitText() const
    {
        if (!m_exited)
            return QStringLiteral("still running");
        if (m_exitStatus == QProcess::CrashExit)
            return QStringLiteral("ended by a signal (%1)").arg(m_exitCode);
        return QStringLiteral("exit status %1").arg(m_exitCode);
    }
    qint64 stderrLines() const { return m_stderrLines; }
    const std::deque<QString>& stderrTail() const { return m_tail; }

private:
    void readStderr()
    {
        m_stderr += m_process.readAllStandardError();
        qsizetype at = 0;
        for (qsizetype nl; (nl = m_stderr.indexOf('\n', at)) >= 0; at = nl + 1) {
            const QString line = QString::fromLocal8Bit(m_stderr.mid(at, nl - at)).trimmed();
            ++m_stderrLines;
            static const QRegularExpression listening(
                QStringLiteral("Control port listening on 127\\.0\\.0\\.1:(\\d+)"));
            if (const auto match = listening.match(line); match.hasMatch() && m_controlPort == 0)
                m_controlPort = quint16(match.captured(1).toUInt());
            m_tail.push_back(line.left(200));
            if (m_tail.size() > 40)
                m_tail.pop_front();
        }
        m_stderr.remove(0, at);
    }

    FrontEndSetup m_setup;
    QString m_folder;
    QProcess m_process;
    QTimer m_sampler;
    QByteArray m_stderr;
    std::deque<QString> m_tail;
    qint64 m_stderrLines = 0;
    qint64 m_pid = 0;
    quint16 m_controlPort = 0;
    double m_startedAt = 0;
    double m_rssLastMiB = 0;
    double m_rssMaxMiB = 0;
    double m_hwmMiB = 0;
    std::vector<std::pair<double, double>> m_timeline;
    bool m_cut = false;
    double m_cutAt = 0;
    bool m_exited = false;
    int m_exitCode = 0;
    QProcess::ExitStatus m_exitStatus = QProcess::NormalExit;
    double m_exitedAt = 0;
};

/// What the simulator saw of the front end: its heartbeats ("H") and its connections.
class LinkWatch : public QObject {
public:
    explicit LinkWatch(InstrumentSimulator& sim)
    {
        connect(&sim, &InstrumentSimulator::commandReceived, this, [this](const QByteArray& command) {
            if (command == "H")
                m_heartbeats.push_back(nowMs());
        });
        connect(&sim, &InstrumentSimulator::clientConnected, this, [this] { m_connects.push_back(nowMs()); });
    }

    /// The largest gap between heartbeats over [from, to] (the gaps from `from` to the first
    /// and from the last to `to` included) minus the keep-alive interval. The front end's
    /// keep-alive is a coarse timer, which may fire up to 5 % (225 ms) late on an idle loop.
    double heartbeatLateMs(double from, double to) const
    {
        double previous = from;
        double largest = 0;
        for (const double h : m_heartbeats) {
            if (h <= from || h > to)
                continue;
            largest = std::max(largest, h - previous);
            previous = h;
        }
        largest = std::max(largest, to - previous);
        return largest - protocol::KeepAliveMs;
    }

    int heartbeatsBetween(double from, double to) const
    {
        return int(
            std::count_if(m_heartbeats.begin(), m_heartbeats.end(), [&](double h) { return h > from && h <= to; }));
    }

    /// When the first connection at or after `from` was accepted; `from` itself when none was.
    double firstConnectAfter(double from) const
    {
        for (const double c : m_connects)
            if (c >= from)
                return c;
        return from;
    }

    int connectsBetween(double from, double to) const
    {
        return int(std::count_if(m_connects.begin(), m_connects.end(), [&](double c) { return c >= from && c <= to; }));
    }

private:
    std::vector<double> m_heartbeats;
    std::vector<double> m_connects;
};

/// The data file's name, learnt from one the front end made: everything around the time with
/// seconds is kept, and the time is written for other moments the same way. A date or an AM/PM
/// marker that changes within the planted seconds (midnight, noon) is not followed.
struct NameTemplate {
    QString prefix;
    QString suffix;
    bool twelveHour = false;
    bool paddedHour = true;

    QString at(const QDateTime& t) const
    {
        int hour = t.time().hour();
        if (twelveHour)
            hour = hour % 12 == 0 ? 12 : hour % 12;
        const QString time = QStringLiteral("%1;%2;%3")
                                 .arg(hour, paddedHour ? 2 : 1, 10, QLatin1Char('0'))
                                 .arg(t.time().minute(), 2, 10, QLatin1Char('0'))
                                 .arg(t.time().second(), 2, 10, QLatin1Char('0'));
        return prefix + time + suffix;
    }

    static std::optional<NameTemplate> learn(const QString& fileName, const QDateTime& from, const QDateTime& to)
    {
        if (!fileName.endsWith(QStringLiteral(".txt")))
            return std::nullopt;
        QString stem = fileName.chopped(4);
        static const QRegularExpression variant(QStringLiteral(" \\(\\d+\\)$"));
        stem.remove(variant);
        for (QDateTime t = from; t <= to; t = t.addSecs(1)) {
            for (const bool twelve : {false, true}) {
                for (const bool padded : {true, false}) {
                    NameTemplate candidate{{}, {}, twelve, padded};
                    const QString time = candidate.at(t);
                    const qsizetype at = stem.lastIndexOf(time);
                    if (at < 0 || (at > 0 && stem[at - 1].isDigit()))
                        continue;
                    candidate.prefix = stem.left(at);
                    candidate.suffix = stem.mid(at + time.size());
                    return candidate;
                }
            }
        }
        return std::nullopt;
    }
};

/// Everything one case holds; destroyed in reverse order, so the clients go before the front end.
struct CaseRun {
    QString name;
    QTemporaryDir dir;
    std::unique_ptr<FrontEnd> front;
    std::unique_ptr<ScpiClient> script;
    std::unique_ptr<Bystander> bystander;
    double readyAt = 0;
    /// The front end's link came up: heartbeats are due from here on.
    double linkUpAt = 0;
    double endAt = 0;
    std::vector<QString> details;
    QString outcome;
    // Set where the bystander is not an ordinary one (lock-out): the summary's words for it.
    std::optional<QString> bystanderNote;

    void note(const QString& label, const QString& text)
    {
        details.push_back(QStringLiteral("  %1 %2").arg(label, -13).arg(text));
    }
};

struct SummaryRow {
    QString name;
    QString peak;
    QString bystander;
    QString heartbeat;
    QString losses;
    QString outcome;
};

QString figure(double x, int decimals = 1) { return QString::number(x, 'f', decimals); }

class HostileBench {
public:
    HostileBench(const FrontEndSetup& setup, InstrumentSimulator& sim, double seconds, double rate)
        : m_setup(setup), m_watch(sim), m_seconds(seconds), m_rate(rate)
    {}

    void run(const QString& name)
    {
        std::fprintf(stderr, "bench_hostile: case %s\n", qPrintable(name));
        if (name == QLatin1String("amplification"))
            amplification();
        else if (name == QLatin1String("sidecar-link"))
            sidecarLink();
        else if (name == QLatin1String("file-failure")) {
            fileFailure('a');
            fileFailure('b');
            fileFailure('c');
        } else if (name == QLatin1String("storms"))
            storms();
        else if (name == QLatin1String("lockout"))
            lockout();
        else if (name == QLatin1String("sigterm-tail"))
            sigtermTail();
    }

    void printSummary() const
    {
        std::printf("\n== summary (%s, %s, %.0f records/s, %.0f s per timed case) ==\n",
                    m_setup.panel ? "panel" : "server", qPrintable(m_setup.exe), m_rate, m_seconds);
        std::printf("%-16s %10s  %-30s %12s %6s  %s\n", "case", "peak MiB", "bystander p99 / max ms", "hb late ms",
                    "losses", "outcome");
        for (const SummaryRow& r : m_rows)
            std::printf("%-16s %10s  %-30s %12s %6s  %s\n", qPrintable(r.name), qPrintable(r.peak),
                        qPrintable(r.bystander), qPrintable(r.heartbeat), qPrintable(r.losses), qPrintable(r.outcome));
        std::fflush(stdout);
    }

private:
    /// Names the case and gives it a fresh front end (see prepare()); a case that cannot have
    /// one is ended here, with the reason as its outcome.
    bool begin(CaseRun& run, const QString& name, std::optional<rlim_t> fileSizeLimit = std::nullopt)
    {
        run.name = name;
        if (prepare(run, fileSizeLimit))
            return true;
        end(run);
        return false;
    }

    /// A fresh front end, calibrated, with the data folder set; its script client stays connected.
    bool prepare(CaseRun& run, std::optional<rlim_t> fileSizeLimit)
    {
        if (!run.dir.isValid()) {
            run.outcome = QStringLiteral("no temporary folder");
            return false;
        }
        run.front = std::make_unique<FrontEnd>(m_setup, run.dir.path(), fileSizeLimit);
        QString error;
        if (!run.front->start(&error)) {
            run.outcome = QStringLiteral("front end did not start: ") + error;
            return false;
        }
        run.script = std::make_unique<ScpiClient>();
        if (!run.script->connectTo(run.front->controlPort())) {
            run.outcome = QStringLiteral("control port refused the connection");
            return false;
        }
        QElapsedTimer waited;
        waited.start();
        bool valid = false;
        while (!valid && !waited.hasExpired(ReadyTimeoutMs) && run.front->isRunning() && !run.script->isClosed()) {
            const auto answer = run.script->query("CAL:VAL?", 2000);
            valid = answer && answer->trimmed() == "1";
            if (!valid)
                pauseMs(250);
        }
        if (!valid) {
            run.outcome = QStringLiteral("calibration not valid within %1 s").arg(ReadyTimeoutMs / 1000);
            return false;
        }
        if (m_setup.panel) {
            const auto folder = run.script->query("FILE:PATH " + quoted(run.front->dataFolder()) + ";PATH?");
            if (!folder || QDir(unquoted(*folder)) != QDir(run.front->dataFolder())) {
                run.outcome = QStringLiteral("FILE:PATH not taken: ")
                              + (folder ? shown(*folder) : QStringLiteral("no answer"));
                return false;
            }
        }
        run.readyAt = nowMs();
        run.linkUpAt = m_watch.firstConnectAfter(run.front->startedAt());
        return true;
    }

    /// Frees the script client's place before a case needs all eight.
    static void closeScript(CaseRun& run)
    {
        run.script.reset();
        pauseMs(300);
    }

    bool startBystander(CaseRun& run)
    {
        auto client = std::make_unique<ScpiClient>();
        if (!client->connectTo(run.front->controlPort()))
            return false;
        run.bystander = std::make_unique<Bystander>(std::move(client));
        return true;
    }

    void end(CaseRun& run)
    {
        // A heartbeat falls due in every case: the bystander and the link are watched for at
        // least this long after the link came up.
        if (run.endAt == 0 && run.front && run.readyAt > 0)
            waitUntil([&] { return !run.front->isRunning(); }, run.linkUpAt + MinimumCaseMs - nowMs());
        if (run.endAt == 0)
            run.endAt = nowMs();
        if (run.bystander)
            run.bystander->stop();
        std::printf("\n== %s (%s, %.0f records/s) ==\n", qPrintable(run.name), m_setup.panel ? "panel" : "server",
                    m_rate);
        SummaryRow row{run.name,   QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"),
                       run.outcome};
        if (!run.front || run.readyAt == 0) {
            std::printf("  not measured: %s\n", qPrintable(run.outcome));
            if (run.front)
                for (const QString& line : run.front->stderrTail())
                    std::printf("  stderr: %s\n", qPrintable(line));
            m_rows.push_back(row);
            std::fflush(stdout);
            return;
        }
        FrontEnd& front = *run.front;
        front.sample();
        const double hwm = front.hwmMiB();
        const double rssMax = front.rssMaxMiB();
        std::printf("  %-13s peak %.1f MiB resident (VmHWM %.1f MiB, largest VmRSS sample %.1f MiB)%s\n", "memory",
                    front.peakMiB(), hwm, rssMax,
                    front.wasCut() ? qPrintable(QStringLiteral(", CUT at the %1 MiB cap %2 s into the case")
                                                    .arg(front.memoryCapMiB(), 0, 'f', 0)
                                                    .arg((front.cutAt() - run.readyAt) / 1000.0, 0, 'f', 1))
                                   : "");
        row.peak = figure(front.peakMiB()) + (front.wasCut() ? QStringLiteral(" CUT") : QString());

        if (run.bystanderNote) {
            row.bystander = *run.bystanderNote;
        } else if (run.bystander) {
            const Percentiles& b = run.bystander->figures();
            std::printf("  %-13s *IDN? every %d ms: %zu answered, p50 %.2f ms, p99 %.2f ms, max %.2f ms, %d timeouts "
                        "(%d s)%s\n",
                        "bystander", BystanderIntervalMs, b.ms.size(), b.at(0.5), b.at(0.99), b.at(1.0), b.timeouts,
                        BystanderTimeoutMs / 1000,
                        run.bystander->client().isClosed() && run.bystander->client().closedAt() <= run.endAt
                            ? qPrintable(
                                QStringLiteral(", its connection closed %1 s into the case")
                                    .arg((run.bystander->client().closedAt() - run.readyAt) / 1000.0, 0, 'f', 1))
                            : "");
            if (!run.bystander->refusal().isEmpty())
                std::printf("  %-13s refused: %s\n", "", qPrintable(shown(run.bystander->refusal())));
            row.bystander = b.ms.empty() ? QStringLiteral("none answered")
                                         : figure(b.at(0.99)) + QStringLiteral(" / ") + figure(b.at(1.0));
            if (b.timeouts)
                row.bystander += QStringLiteral(" (%1 ok, %2 t/o)").arg(b.ms.size()).arg(b.timeouts);
        }

        const double late = m_watch.heartbeatLateMs(run.linkUpAt, run.endAt);
        std::printf("  %-13s largest gap between \"H\" commands %d ms, so %d ms late (%d heartbeats in %.1f s)\n",
                    "heartbeat", qRound(late + protocol::KeepAliveMs), qRound(late),
                    m_watch.heartbeatsBetween(run.linkUpAt, run.endAt), (run.endAt - run.linkUpAt) / 1000.0);
        row.heartbeat = QString::number(qRound(late));
        const int losses = std::max(0, m_watch.connectsBetween(front.startedAt(), run.endAt) - 1);
        std::printf("  %-13s %d (connections the simulator accepted after the first)\n", "link losses", losses);
        row.losses = QString::number(losses);
        for (const QString& d : run.details)
            std::printf("%s\n", qPrintable(d));
        std::printf("  %-13s %s\n", "outcome", qPrintable(run.outcome));
        std::fflush(stdout);
        m_rows.push_back(row);
        run.bystander.reset();
        run.script.reset();
        front.stop();
    }

    // ---- amplification -------------------------------------------------------------------

    void amplification()
    {
        CaseRun run;
        if (!begin(run, QStringLiteral("amplification")))
            return;
        run.script->query("HIST:BWID 1;:RUN ON;RUN?");
        pauseMs(1000);
        const auto axis = run.script->query("HIST:AXIS?");
        closeScript(run);
        if (!startBystander(run)) {
            run.outcome = QStringLiteral("bystander could not connect");
            end(run);
            return;
        }
        // As many queries as fit in one line of 64 KiB with its "\n"; each answers the whole histogram.
        QByteArray line = ":HIST:DATA?";
        while (line.size() + 6 + 1 <= 65536)
            line += ";DATA?";
        const int queries = int(line.count(';')) + 1;
        std::vector<std::unique_ptr<ScpiClient>> hostiles;
        for (int i = 0; i < HostileClients; ++i) {
            auto c = std::make_unique<ScpiClient>();
            c->neverRead();
            if (!c->connectTo(run.front->controlPort()))
                continue;
            c->send("FORM INT;:HIST:BWID 1");
            c->send(line);
            hostiles.push_back(std::move(c));
        }
        const double t0 = nowMs();
        waitUntil([&] { return !run.front->isRunning(); }, m_seconds * 1000);
        run.endAt = nowMs();
        const int bins = axis ? axis->split(',').value(2).toInt() : 0;
        run.note(QStringLiteral("hostiles"), QStringLiteral("%1 clients, each one line of %2 bytes = %3 HIST:DATA? "
                                                            "queries, never read; %4 bins per answer "
                                                            "at the start (about %5 MiB of answers per line)")
                                                 .arg(hostiles.size())
                                                 .arg(line.size() + 1)
                                                 .arg(queries)
                                                 .arg(bins)
                                                 .arg(double(queries) * (bins * 8.0 + 12) / 1048576.0, 0, 'f', 0));
        QString timeline;
        for (int s = 5; s <= int(m_seconds); s += 5)
            timeline += QStringLiteral(" %1 s: %2;").arg(s).arg(run.front->rssAt(t0 + s * 1000.0), 0, 'f', 0);
        run.note(QStringLiteral("resident MiB"), timeline.trimmed());
        run.outcome = run.front->wasCut() ? QStringLiteral("cut at %1 MiB after %2 s")
                                                .arg(m_setup.memoryCapMiB, 0, 'f', 0)
                                                .arg((run.front->cutAt() - t0) / 1000.0, 0, 'f', 1)
                      : !run.front->isRunning() ? QStringLiteral("front end ended (%1)").arg(run.front->exitText())
                                                : QStringLiteral("%1 MiB resident after %2 s")
                                                      .arg(run.front->rssLastMiB(), 0, 'f', 0)
                                                      .arg(m_seconds, 0, 'f', 0);
        end(run);
    }

    // ---- sidecar-link --------------------------------------------------------------------

    void sidecarLink()
    {
        CaseRun run;
        if (!begin(run, QStringLiteral("sidecar-link")))
            return;
        startBystander(run);
        ScpiClient& script = *run.script;
        const QString victim = run.dir.filePath(QStringLiteral("victim.txt"));
        const QByteArray original = "victim: nothing may write here\n";
        {
            QFile f(victim);
            if (!f.open(QIODevice::WriteOnly) || f.write(original) != original.size()) {
                run.outcome = QStringLiteral("could not write the victim file");
                end(run);
                return;
            }
        }
        // A first run shows how this front end names its files.
        const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
        const auto first = script.query("FILE ON;RUN ON;:FILE:NAME?");
        pauseMs(500);
        script.query("RUN OFF;RUN?");
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        const QString firstName = first ? QFileInfo(unquoted(*first)).fileName() : QString();
        const auto name = NameTemplate::learn(firstName, before, after);
        if (!name) {
            run.outcome = QStringLiteral("data file name not understood: ")
                          + (first ? shown(*first) : QStringLiteral("no answer"));
            end(run);
            return;
        }
        const QDir data(run.front->dataFolder());
        const QDateTime now = QDateTime::currentDateTime();
        int planted = 0;
        for (int s = -1; s <= 10; ++s) {
            for (const QString& variant : {QString(), QStringLiteral(" (2)")}) {
                const QString link = data.filePath(name->at(now.addSecs(s)) + variant + QStringLiteral(".json"));
                const QFileInfo existing(link);
                if (existing.exists() || existing.isSymLink())
                    continue;
                if (::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(link).constData()) == 0)
                    ++planted;
            }
        }
        script.query("RUN ON;RUN?");
        pauseMs(2000);
        const auto second = script.query("RUN OFF;:FILE:NAME?");
        pauseMs(300);
        QFile v(victim);
        const QByteArray victimNow = v.open(QIODevice::ReadOnly) ? v.readAll() : QByteArray("(unreadable)");
        const bool changed = victimNow != original;
        const QString secondPath = second ? unquoted(*second) : QString();
        const QString sidecar = secondPath.endsWith(QStringLiteral(".txt"))
                                    ? secondPath.chopped(4) + QStringLiteral(".json")
                                    : QString();
        run.note(QStringLiteral("names"), QStringLiteral("first run's file %1").arg(firstName));
        run.note(QString(), QStringLiteral("%1 links planted (%2 .. %3 and \" (2)\"), pointing at %4")
                                .arg(planted)
                                .arg(name->at(now.addSecs(-1)) + QStringLiteral(".json"),
                                     name->at(now.addSecs(10)) + QStringLiteral(".json"), victim));
        run.note(QStringLiteral("second run"),
                 QStringLiteral("data file %1; its sidecar %2")
                     .arg(QFileInfo(secondPath).fileName(),
                          sidecar.isEmpty()                ? QStringLiteral("-")
                          : QFileInfo(sidecar).isSymLink() ? QStringLiteral("is one of the links")
                          : QFileInfo(sidecar).exists()    ? QStringLiteral("is a file of its own")
                                                           : QStringLiteral("does not exist")));
        run.note(
            QStringLiteral("victim"),
            changed ? QStringLiteral("CHANGED: now %1 bytes, begins %2").arg(victimNow.size()).arg(shown(victimNow, 60))
                    : QStringLiteral("unchanged"));
        run.note(QStringLiteral("script saw"),
                 QStringLiteral("SYST:ERR? ") + errorQueue(script).join(QStringLiteral(" | ")));
        run.outcome = changed ? QStringLiteral("victim file overwritten") : QStringLiteral("victim file unchanged");
        end(run);
    }

    /// SYST:ERR? until "0,..." (bounded): the errors this client has queued, oldest first.
    static QStringList errorQueue(ScpiClient& script)
    {
        QStringList errors;
        for (int i = 0; i < 40; ++i) {
            const auto e = script.query("SYST:ERR?", 3000);
            if (!e) {
                errors << QStringLiteral("(no answer)");
                break;
            }
            errors << shown(e->trimmed());
            if (e->startsWith("0,") || e->startsWith("+0,"))
                break;
        }
        return errors;
    }

    // ---- file-failure --------------------------------------------------------------------

    void fileFailure(char sub)
    {
        CaseRun run;
        // (a) fills up after 256 KiB; (b) has no room at all from the start: the data file can
        // be made, but neither its first bytes nor the sidecar fit.
        std::optional<rlim_t> limit;
        if (sub == 'a')
            limit = 256 * 1024;
        else if (sub == 'b')
            limit = FullAtStartLimit;
        if (!begin(run, QStringLiteral("file-failure/%1").arg(QLatin1Char(sub)), limit))
            return;
        startBystander(run);
        ScpiClient& script = *run.script;
        QString what;
        if (sub == 'a') {
            what = QStringLiteral("file size limit 256 KiB (RLIMIT_FSIZE, SIGXFSZ ignored), FILE ON;RUN ON, 3 s");
            script.query("FILE ON;RUN ON;RUN?");
            pauseMs(3000);
        } else if (sub == 'b') {
            what = QStringLiteral("file size limit %1 bytes (RLIMIT_FSIZE, SIGXFSZ ignored), FILE ON;RUN ON, 3 s")
                       .arg(FullAtStartLimit);
            script.query("FILE ON;RUN ON;RUN?");
            pauseMs(3000);
        } else {
            const QString gone = run.dir.filePath(QStringLiteral("gone"));
            QDir().mkpath(gone);
            const auto taken = script.query("FILE:PATH " + quoted(gone) + ";PATH?");
            QDir().rmdir(gone);
            what = QStringLiteral("FILE:PATH to a new folder (answered %1), folder removed, FILE ON;RUN ON, 2 s")
                       .arg(taken ? shown(*taken) : QStringLiteral("nothing"));
            script.query("FILE ON;RUN ON;RUN?");
            pauseMs(2000);
        }
        run.note(QStringLiteral("setup"), what);
        const ScriptView view = scriptView(script);
        for (const QString& v : view.lines)
            run.note(QStringLiteral("script saw"), v);
        QStringList files;
        const QFileInfoList entries =
            QDir(run.front->dataFolder()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        for (const QFileInfo& f : entries.mid(0, 6))
            files << QStringLiteral("%1 (%2 bytes)").arg(f.fileName()).arg(f.size());
        run.note(QStringLiteral("data folder"),
                 QStringLiteral("%1 files: %2").arg(entries.size()).arg(files.join(QStringLiteral(", "))));
        int shownLines = 0;
        for (auto it = run.front->stderrTail().rbegin(); it != run.front->stderrTail().rend() && shownLines < 4; ++it) {
            if (it->contains(QStringLiteral("data file"), Qt::CaseInsensitive)
                || it->contains(QStringLiteral("sidecar"), Qt::CaseInsensitive)
                || it->contains(QStringLiteral("failed"), Qt::CaseInsensitive)) {
                run.note(QStringLiteral("stderr"), *it);
                ++shownLines;
            }
        }
        // The summary's few words: whether the failure reached the script at all.
        const qsizetype queued = view.errors.size()
                                 - (view.errors.isEmpty() || view.errors.back().startsWith(QStringLiteral("0,")) ? 1
                                                                                                                 : 0);
        run.outcome = QStringLiteral("%1 error(s) queued for the script; %2")
                          .arg(std::max<qsizetype>(0, queued))
                          .arg(view.runAndFile);
        end(run);
    }

    /// What a script sees afterwards, one query per line, in the order a script would ask.
    struct ScriptView {
        QStringList lines;
        QString runAndFile;
        QStringList errors; ///< the queue as SYST:ERR? emptied it, before FILE:ERR? was asked
    };

    static ScriptView scriptView(ScpiClient& script)
    {
        ScriptView view;
        const auto ask = [&](const QByteArray& q) {
            const auto a = script.query(q, 3000);
            const QString text = a ? shown(a->trimmed()) : QStringLiteral("(no answer within 3 s)");
            view.lines << QString::fromLatin1(q) + u' ' + text;
            return text;
        };
        const QString runState = ask("RUN?");
        const QString fileState = ask("FILE?");
        view.runAndFile = QStringLiteral("RUN? %1, FILE? %2").arg(runState, fileState);
        view.errors = errorQueue(script);
        view.lines << QStringLiteral("SYST:ERR? ") + view.errors.join(QStringLiteral(" | "));
        ask("*ESR?");
        ask("FILE:NAME?");
        ask("FILE:ERR?");
        const auto e = script.query("SYST:ERR?", 3000);
        view.lines << QStringLiteral("SYST:ERR? (after FILE:ERR?) ")
                          + (e ? shown(e->trimmed()) : QStringLiteral("(no answer)"));
        return view;
    }

    // ---- storms --------------------------------------------------------------------------

    void storms()
    {
        CaseRun run;
        if (!begin(run, QStringLiteral("storms")))
            return;
        ScpiClient& a = *run.script;
        a.query("FILE ON;FILE?");
        auto b = std::make_unique<ScpiClient>();
        b->connectTo(run.front->controlPort());
        startBystander(run);
        QByteArray lineA;
        for (int i = 0; i < 4301; ++i)
            lineA += i ? ";RUN ON;RUN OFF" : "RUN ON;RUN OFF";
        lineA += ";*OPC?";
        QByteArray linesB;
        for (int i = 0; i < 20000; ++i)
            linesB += i % 2 ? "RUN OFF\n" : "RUN ON\n";
        linesB += "*OPC?\n";
        double answeredA = -1;
        double answeredB = -1;
        QByteArray replyA;
        QByteArray replyB;
        a.setHandler([&](const QByteArray& r) {
            replyA = r;
            answeredA = nowMs();
        });
        b->setHandler([&](const QByteArray& r) {
            replyB = r;
            answeredB = nowMs();
        });
        const double t0 = nowMs();
        a.send(lineA);
        b->sendRaw(linesB);
        waitUntil([&] { return (answeredA >= 0 && answeredB >= 0) || !run.front->isRunning(); }, StormBoundMs);
        // The bystander and the heartbeat are watched a little past the storm, for the tail.
        pauseMs(2000);
        run.endAt = nowMs();
        const auto after = [&](double at, const QByteArray& reply, const ScpiClient& c) {
            if (at < 0)
                return c.isClosed() ? QStringLiteral("never: connection closed after %1 s")
                                          .arg((c.closedAt() - t0) / 1000.0, 0, 'f', 1)
                                    : QStringLiteral("not within %1 s").arg(StormBoundMs / 1000);
            return QStringLiteral("%1 s (answer %2)").arg((at - t0) / 1000.0, 0, 'f', 2).arg(shown(reply));
        };
        // The files are counted once the front end can make no more; the bystander's figures
        // end before the kill, not with it.
        if (run.bystander)
            run.bystander->stop();
        run.front->stop();
        const QFileInfoList entries =
            QDir(run.front->dataFolder()).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
        const auto withSuffix = [&](const QString& s) {
            return std::count_if(entries.begin(), entries.end(),
                                 [&](const QFileInfo& f) { return f.fileName().endsWith(s); });
        };
        run.note(QStringLiteral("client A"), QStringLiteral("one line of %1 bytes: RUN ON;RUN OFF x 4301, *OPC?: %2")
                                                 .arg(lineA.size() + 1)
                                                 .arg(after(answeredA, replyA, a)));
        run.note(QStringLiteral("client B"),
                 QStringLiteral("20,000 lines RUN ON / RUN OFF, then *OPC?: %1").arg(after(answeredB, replyB, *b)));
        run.note(QStringLiteral("data folder"),
                 QStringLiteral("%1 files: %2 .txt, %3 .json, %4 other")
                     .arg(entries.size())
                     .arg(withSuffix(QStringLiteral(".txt")))
                     .arg(withSuffix(QStringLiteral(".json")))
                     .arg(entries.size() - withSuffix(QStringLiteral(".txt")) - withSuffix(QStringLiteral(".json"))));
        run.note(QStringLiteral("stderr"), QStringLiteral("%1 lines from the front end").arg(run.front->stderrLines()));
        const auto seconds = [&](double at) {
            return at < 0 ? QStringLiteral("none") : figure((at - t0) / 1000.0, 1) + u's';
        };
        run.outcome = QStringLiteral("*OPC? A %1, B %2; %3 files")
                          .arg(seconds(answeredA), seconds(answeredB))
                          .arg(entries.size());
        a.setHandler({});
        b.reset();
        end(run);
    }

    // ---- lockout -------------------------------------------------------------------------

    void lockout()
    {
        CaseRun run;
        if (!begin(run, QStringLiteral("lockout")))
            return;
        closeScript(run);
        const quint16 port = run.front->controlPort();
        std::vector<std::unique_ptr<ScpiClient>> slow;
        for (int i = 0; i < Places; ++i) {
            auto c = std::make_unique<ScpiClient>();
            if (c->connectTo(port))
                slow.push_back(std::move(c));
        }
        // One byte each every 5 s, never a line end.
        QTimer trickle;
        trickle.setInterval(SlowByteMs);
        const auto sendByte = [&] {
            for (auto& c : slow)
                if (!c->isClosed())
                    c->sendRaw("*");
        };
        QObject::connect(&trickle, &QTimer::timeout, sendByte);
        sendByte();
        trickle.start();

        const double t0 = nowMs();
        int attempts = 0;
        std::map<QString, int> refusals;
        std::unique_ptr<ScpiClient> newcomer;
        double answeredAfter = -1;
        while (nowMs() - t0 < LockoutBoundMs && run.front->isRunning()) {
            const double attemptAt = nowMs();
            ++attempts;
            auto c = std::make_unique<ScpiClient>();
            if (c->connectTo(port, LockoutRetryMs)) {
                c->send("*IDN?");
                const auto reply = c->nextReply(std::max(100.0, attemptAt + LockoutRetryMs - nowMs()));
                if (reply && !reply->startsWith("ERROR")) {
                    answeredAfter = nowMs() - t0;
                    newcomer = std::move(c);
                    break;
                }
                ++refusals[reply           ? shown(*reply)
                           : c->isClosed() ? QStringLiteral("closed without a word")
                                           : QStringLiteral("nothing within 2 s")];
            } else {
                ++refusals[QStringLiteral("connect failed")];
            }
            pauseMs(std::max(0.0, attemptAt + LockoutRetryMs - nowMs()));
        }
        QStringList refused;
        for (const auto& [what, n] : refusals)
            refused << QStringLiteral("%1 x %2").arg(n).arg(what);
        run.note(QStringLiteral("newcomer"),
                 QStringLiteral("%1 attempts, one every %2 s: %3")
                     .arg(attempts)
                     .arg(LockoutRetryMs / 1000)
                     .arg(refused.isEmpty() ? QStringLiteral("no refusal") : refused.join(QStringLiteral("; "))));
        if (newcomer) {
            run.note(QString(), QStringLiteral("first answer %1 s after the 8 slow clients took their places")
                                    .arg(answeredAfter / 1000.0, 0, 'f', 1));
            // Once in, the newcomer is the bystander for 5 s.
            run.bystander = std::make_unique<Bystander>(std::move(newcomer));
            pauseMs(5000);
        } else {
            run.note(QString(), QStringLiteral("never answered within %1 s").arg(LockoutBoundMs / 1000));
            run.bystanderNote = QStringLiteral("never answered");
        }
        trickle.stop();
        run.endAt = nowMs();
        std::map<QString, int> slowSaw;
        for (const auto& c : slow) {
            QString what = c->bytesReceived() == 0
                               ? QStringLiteral("nothing")
                               : QStringLiteral("%1 bytes: %2").arg(c->bytesReceived()).arg(shown(c->head(), 60));
            what += c->isClosed() ? QStringLiteral(", closed %1 s in").arg((c->closedAt() - t0) / 1000.0, 0, 'f', 1)
                                  : QStringLiteral(", still connected");
            ++slowSaw[what];
        }
        for (const auto& [what, n] : slowSaw)
            run.note(QStringLiteral("slow clients"), QStringLiteral("%1 of %2: %3").arg(n).arg(slow.size()).arg(what));
        run.outcome = answeredAfter >= 0
                          ? QStringLiteral("newcomer answered after %1 s").arg(answeredAfter / 1000.0, 0, 'f', 1)
                          : QStringLiteral("newcomer never answered within %1 s").arg(LockoutBoundMs / 1000);
        end(run);
    }

    // ---- sigterm-tail --------------------------------------------------------------------

    void sigtermTail()
    {
        CaseRun run;
        if (!begin(run, QStringLiteral("sigterm-tail")))
            return;
        run.script->query("FILE ON;FILE?");
        closeScript(run);
        const quint16 port = run.front->controlPort();
        std::vector<std::unique_ptr<Fetcher>> fetchers;
        for (int i = 0; i < HostileClients; ++i) {
            auto c = std::make_unique<ScpiClient>();
            if (!c->connectTo(port) || c->query("FORM INT;FORM?").value_or(QByteArray()).trimmed() != "INT")
                continue;
            fetchers.push_back(std::make_unique<Fetcher>(std::move(c)));
        }
        startBystander(run);
        if (fetchers.empty()) {
            run.outcome = QStringLiteral("no fetching client got a place");
            end(run);
            return;
        }
        // Every fetcher is connected before the run starts, so each should get every value.
        const auto started = fetchers.front()->client().query("RUN ON;RUN?;:FILE:NAME?");
        const QByteArray startedText = started.value_or(QByteArray());
        const QString dataFile = unquoted(startedText.mid(startedText.indexOf(';') + 1));
        for (auto& f : fetchers)
            f->start();
        pauseMs(std::max(3.0, m_seconds / 3.0) * 1000);
        const double sigAt = nowMs();
        run.endAt = sigAt;
        run.front->terminate();
        waitUntil(
            [&] {
            return !run.front->isRunning() && std::all_of(fetchers.begin(), fetchers.end(), [](const auto& f) {
                return f->client().isClosed();
            });
            },
            SigtermBoundMs);
        const bool exitedInTime = !run.front->isRunning();
        run.front->stop();
        const qint64 lines = benchutil::countLines(dataFile);
        run.note(QStringLiteral("data file"),
                 QStringLiteral("%1: %2 lines after the exit").arg(QFileInfo(dataFile).fileName()).arg(lines));
        int shortClients = 0;
        for (size_t i = 0; i < fetchers.size(); ++i) {
            const Fetcher& f = *fetchers[i];
            const ScpiClient& c = f.client();
            if (qint64(f.values()) != lines)
                ++shortClients;
            run.note(QStringLiteral("client %1").arg(i + 1),
                     QStringLiteral(
                         "%1 values in %2 fetches (%3 vs the file's lines), last answer %4 s %5 SIGTERM, connection %6")
                         .arg(f.values())
                         .arg(f.fetches())
                         .arg(qint64(f.values()) - lines)
                         .arg(std::abs(f.lastAnswerAt() - sigAt) / 1000.0, 0, 'f', 2)
                         .arg(f.lastAnswerAt() >= sigAt ? QStringLiteral("after") : QStringLiteral("before"))
                         .arg(c.isClosed() ? QStringLiteral("closed %1 s after SIGTERM")
                                                 .arg((c.closedAt() - sigAt) / 1000.0, 0, 'f', 2)
                                           : QStringLiteral("still open")));
        }
        const QString ended =
            exitedInTime ? QStringLiteral("%1, %2 s after SIGTERM")
                               .arg(run.front->exitText())
                               .arg((run.front->exitedAt() - sigAt) / 1000.0, 0, 'f', 2)
                         : QStringLiteral("still running %1 s after SIGTERM, killed").arg(SigtermBoundMs / 1000);
        run.note(QStringLiteral("front end"), ended);
        run.outcome =
            QStringLiteral("%1 of %2 clients short of the file; %3").arg(shortClients).arg(fetchers.size()).arg(ended);
        end(run);
    }

    // Found by trying, with both front ends: at 0 bytes they still start (their start-up files
    // fit) and the data file is still made (a new file takes no bytes), but its first bytes and
    // the sidecar's first save fail at once, as on a disk that is full before the run.
    static constexpr rlim_t FullAtStartLimit = 0;

    FrontEndSetup m_setup;
    LinkWatch m_watch;
    double m_seconds;
    double m_rate;
    std::vector<SummaryRow> m_rows;
};

} // namespace

int main(int argc, char* argv[])
{
    benchClock.start();
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Replays abuses of the control port with 8 clients against a fresh "
                                               "tallyscope-server or panel per case, fed by the "
                                               "instrument simulator on 127.0.0.1, and prints memory, a bystander's "
                                               "latency, heartbeat lateness and link losses."));
    p.addHelpOption();
    const QCommandLineOption front(QStringLiteral("front"), QStringLiteral("server (default) or panel."),
                                   QStringLiteral("KIND"), QStringLiteral("server"));
    const QCommandLineOption exe(QStringLiteral("exe"),
                                 QStringLiteral("The front end's program (default: beside this one)."),
                                 QStringLiteral("PATH"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Records per second from the simulator (default 200000)."),
                                  QStringLiteral("R"), QStringLiteral("200000"));
    const QCommandLineOption caseName(QStringLiteral("case"),
                                      QStringLiteral(
                                          "amplification, sidecar-link, file-failure, storms, lockout or sigterm-tail; "
                                          "repeatable (default: all)."),
                                      QStringLiteral("NAME"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Length of a timed case (default 30)."),
                                     QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption cap(QStringLiteral("memory-cap"),
                                 QStringLiteral("A front end past this many MiB resident is killed (default 4096)."),
                                 QStringLiteral("MIB"), QStringLiteral("4096"));
    p.addOptions({front, exe, rate, caseName, seconds, cap});
    p.process(app);

    const QStringList all{QStringLiteral("amplification"), QStringLiteral("sidecar-link"),
                          QStringLiteral("file-failure"),  QStringLiteral("storms"),
                          QStringLiteral("lockout"),       QStringLiteral("sigterm-tail")};
    const QStringList cases = p.isSet(caseName) ? p.values(caseName) : all;
    for (const QString& c : cases) {
        if (!all.contains(c)) {
            std::fprintf(stderr, "bench_hostile: unknown case %s (see --help)\n", qPrintable(c));
            return 64;
        }
    }
    if (p.value(front) != QLatin1String("server") && p.value(front) != QLatin1String("panel")) {
        std::fprintf(stderr, "bench_hostile: --front is server or panel\n");
        return 64;
    }
    bool ok = false;
    const double recordRate = p.value(rate).toDouble(&ok);
    const double caseSeconds = p.value(seconds).toDouble();
    if (!ok || recordRate <= 0 || caseSeconds <= 0) {
        std::fprintf(stderr, "bench_hostile: --rate and --seconds must be positive\n");
        return 64;
    }

    FrontEndSetup setup;
    setup.panel = p.value(front) == QLatin1String("panel");
    setup.exe = p.isSet(exe)
                    ? p.value(exe)
                    : QCoreApplication::applicationDirPath()
                          + (setup.panel ? QStringLiteral("/tallyscope") : QStringLiteral("/tallyscope-server"));
    setup.memoryCapMiB = p.value(cap).toDouble();
    if (!QFileInfo(setup.exe).isExecutable()) {
        std::fprintf(stderr, "bench_hostile: %s is not an executable\n", qPrintable(setup.exe));
        return 1;
    }

    SimulatorConfig cfg;
    cfg.recordsPerSecond = recordRate;
    InstrumentSimulator sim(cfg);
    if (!sim.start(0)) {
        std::fprintf(stderr, "bench_hostile: simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    setup.instrumentPort = sim.port();
    std::printf("bench_hostile: %s %s against the simulator on 127.0.0.1:%u at %.0f records/s; %.0f s per timed case\n",
                setup.panel ? "panel" : "server", qPrintable(setup.exe), unsigned(sim.port()), recordRate, caseSeconds);
    std::fflush(stdout);

    HostileBench bench(setup, sim, caseSeconds, recordRate);
    for (const QString& c : cases)
        bench.run(c);
    bench.printSummary();
    sim.stop();
    return 0;
}
