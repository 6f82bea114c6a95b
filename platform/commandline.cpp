/// @brief Shared command-line handling: help, version, complaints and port numbers.
#include "platform/commandline.h"

#include "platform/versioninfo.h"

#include <cstdio>
#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

void print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

CommandLine::CommandLine(const QString& program, const QString& description)
    : m_program(program),
      m_help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit.")),
      m_version({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and exit."))
{
    m_parser.setApplicationDescription(description);
    m_parser.addOption(m_help);
    m_parser.addOption(m_version);
}

QStringList CommandLine::arguments(int argc, const char* const* argv)
{
    QStringList list;
    list.reserve(argc);
    for (int i = 0; i < argc; ++i)
        list.append(QString::fromLocal8Bit(argv[i]));
    return list;
}

std::optional<quint16> CommandLine::port(const QString& text, quint16 lowest)
{
    bool ok = false;
    const uint v = text.trimmed().toUInt(&ok, 10);
    if (!ok || v < lowest || v > 65535)
        return std::nullopt;
    return quint16(v);
}

std::optional<int> CommandLine::parse(const QStringList& arguments)
{
    if (!m_parser.parse(arguments)) {
        // Qt's texts end with a full stop; the pointer to --help follows it.
        QString problem = m_parser.errorText();
        if (problem.endsWith(u'.'))
            problem.chop(1);
        return usage(problem.replace(u'\n', u' '));
    }
    if (m_parser.isSet(m_help)) {
        // Without a QCoreApplication the parser has no program name of its own.
        print(stdout, m_parser.helpText().replace(QStringLiteral("<executable_name>"), m_program));
        return ExitOk;
    }
    if (m_parser.isSet(m_version)) {
        print(stdout, QStringLiteral("%1 %2\n").arg(m_program, versioninfo::versionNumber()));
        return ExitOk;
    }
    return std::nullopt;
}

int CommandLine::usage(const QString& problem) const
{
    complain(problem + QStringLiteral(" (--help lists the options)"));
    return ExitUsage;
}

void CommandLine::complain(const QString& text) const
{
    print(stderr, m_program + QStringLiteral(": ") + text + u'\n');
}

bool CommandLine::stdoutIsTerminal()
{
#ifdef Q_OS_WIN
    return ::_isatty(::_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) == 1;
#endif
}

void CommandLine::useParentConsole()
{
#ifdef Q_OS_WIN
    const auto redirected = [](DWORD which) {
        const HANDLE h = ::GetStdHandle(which);
        return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN;
    };
    const bool out = redirected(STD_OUTPUT_HANDLE), err = redirected(STD_ERROR_HANDLE);
    if ((out && err) || !::AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!out)
        std::freopen("CONOUT$", "w", stdout);
    if (!err)
        std::freopen("CONOUT$", "w", stderr);
#endif
}

void CommandLine::binaryStdout()
{
#ifdef Q_OS_WIN
    std::fflush(stdout);
    ::_setmode(::_fileno(stdout), _O_BINARY);
#endif
}
