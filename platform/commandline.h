/// @brief The command line as every executable of the project treats it: --help and --version without a display, one
/// line for a bad argument, the shared exit codes.
#pragma once

#include <QCommandLineParser>
#include <QStringList>
#include <optional>

class CommandLine {
public:
    // Listed in the manual pages; 64 is sysexits' EX_USAGE.
    static constexpr int ExitOk = 0;
    static constexpr int ExitFailure = 1;
    static constexpr int ExitUsage = 64;

    /// `program` names the executable in the help, the version line and every complaint.
    CommandLine(const QString& program, const QString& description);

    /// argv as text, with no Q(Core)Application needed: the panel must answer --help before
    /// anything tries to open a display.
    static QStringList arguments(int argc, const char* const* argv);
    /// A port number from `lowest` to 65535, surrounding blanks allowed.
    static std::optional<quint16> port(const QString& text, quint16 lowest = 1);
    /// True when standard output is a terminal (a console on Windows), not a file or a pipe.
    static bool stdoutIsTerminal();
    /// Windows: a windowed program started from a console writes its help, version and errors
    /// there, as on Linux; output already sent to a file or a pipe stays there. Elsewhere nothing.
    static void useParentConsole();
    /// Standard output passes bytes as they are: Windows would otherwise write CR LF for every LF,
    /// and CR CR LF for data lines that already end in CR LF. Elsewhere nothing to do.
    static void binaryStdout();

    QCommandLineParser& parser() { return m_parser; }
    const QCommandLineParser& parser() const { return m_parser; }

    /// Parses `arguments`. When the program ends here, returns its exit code: 0 after the help or
    /// the version was printed, 64 after the complaint about a bad argument.
    std::optional<int> parse(const QStringList& arguments);

    /// "program: problem (--help lists the options)" on stderr; returns ExitUsage.
    int usage(const QString& problem) const;
    /// "program: text" on stderr.
    void complain(const QString& text) const;

private:
    QString m_program;
    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
};
