/// @brief Splitting, header matching and parameter checks of SCPI program messages.
#include "remote/scpiparser.h"

#include <cmath>
#include <optional>

namespace scpi {
namespace {

struct Node {
    QByteArray longForm;
    QByteArray shortForm;
    bool optional = false;
};

std::vector<Node> patternNodes(const char* pattern)
{
    std::vector<Node> nodes;
    QByteArray p(pattern);
    qsizetype i = 0;
    while (i < p.size()) {
        bool optional = false;
        if (p[i] == '[') {
            optional = true;
            ++i;
        }
        if (i < p.size() && p[i] == ':')
            ++i;
        Node n;
        n.optional = optional;
        while (i < p.size() && p[i] != ':' && p[i] != '[' && p[i] != ']') {
            n.longForm += char(std::toupper(uchar(p[i])));
            if (std::isupper(uchar(p[i])) || p[i] == '*' || std::isdigit(uchar(p[i])))
                n.shortForm += p[i];
            ++i;
        }
        if (i < p.size() && p[i] == ']')
            ++i;
        nodes.push_back(n);
    }
    return nodes;
}

bool nodeEquals(const QByteArray& upper, const Node& n) { return upper == n.longForm || upper == n.shortForm; }

/// `given` in upper case.
bool matchFrom(const QByteArrayList& given, qsizetype i, const std::vector<Node>& pattern, size_t j)
{
    if (j == pattern.size())
        return i == given.size();
    if (pattern[j].optional && matchFrom(given, i, pattern, j + 1))
        return true;
    return i < given.size() && nodeEquals(given[i], pattern[j]) && matchFrom(given, i + 1, pattern, j + 1);
}

QByteArrayList upperNodes(const QByteArrayList& nodes)
{
    QByteArrayList upper;
    upper.reserve(nodes.size());
    for (const QByteArray& n : nodes)
        upper.append(n.toUpper());
    return upper;
}

/// The table's headers taken apart once: a line of ten thousand commands is matched against
/// them ten thousand times, and a client may send one every pass of the event loop.
struct CompiledEntry {
    const CommandEntry* entry;
    std::vector<Node> nodes;
};

const std::vector<CompiledEntry>& compiledTable()
{
    static const std::vector<CompiledEntry> table = [] {
        std::vector<CompiledEntry> t;
        for (const CommandEntry& entry : commandTable())
            t.push_back({&entry, patternNodes(entry.header)});
        return t;
    }();
    return table;
}

/// `upper`: the header's nodes in upper case.
const CommandEntry* find(const QByteArrayList& upper)
{
    for (const CompiledEntry& compiled : compiledTable()) {
        if (compiled.entry->header[0] != '*' && matchFrom(upper, 0, compiled.nodes, 0))
            return compiled.entry;
    }
    return nullptr;
}

const CommandEntry* findCommon(const QByteArray& header)
{
    const QByteArray upper = header.toUpper();
    for (const CommandEntry& entry : commandTable()) {
        if (entry.header[0] == '*' && upper == entry.header)
            return &entry;
    }
    return nullptr;
}

/// Splits at `separator` outside quotes; std::nullopt for an unterminated quote.
std::optional<QList<QByteArrayView>> splitOutsideQuotes(QByteArrayView text, char separator)
{
    QList<QByteArrayView> parts;
    char quote = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0; // a doubled quote closes and reopens: the same outcome
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == separator) {
            parts.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    if (quote)
        return std::nullopt;
    parts.append(text.sliced(start));
    return parts;
}

bool isHeaderChar(char c) { return std::isalnum(uchar(c)) || c == '_' || c == ':' || c == '*' || c == '?'; }

Error parseValue(QByteArrayView raw, const Parameter& p, Value& out)
{
    const QByteArray text = raw.trimmed().toByteArray();
    switch (p.kind) {
    case Kind::None:
        return Error::ParameterNotAllowed;
    case Kind::Boolean: {
        const QByteArray upper = text.toUpper();
        if (upper == "ON" || upper == "1")
            out.flag = true;
        else if (upper == "OFF" || upper == "0")
            out.flag = false;
        else
            return Error::IllegalParameterValue;
        return Error::None;
    }
    case Kind::Integer:
    case Kind::Real: {
        bool ok = false;
        double v = text.toDouble(&ok);
        if (!ok || !std::isfinite(v))
            return Error::IllegalParameterValue;
        // IEEE 488.2 rounds a decimal given where an integer is expected.
        if (p.kind == Kind::Integer)
            v = std::round(v);
        if (v < p.low || v > p.high)
            return Error::DataOutOfRange;
        out.number = v;
        return Error::None;
    }
    case Kind::String: {
        if (text.size() < 2 || (text.front() != '"' && text.front() != '\'') || text.back() != text.front())
            return Error::IllegalParameterValue;
        const char quote = text.front();
        QByteArray value;
        for (qsizetype i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == quote) {
                // Inside a string only a doubled quote may stand for one.
                if (i + 2 >= text.size() || text[i + 1] != quote)
                    return Error::Syntax;
                ++i;
            }
            value += text[i];
        }
        out.text = value;
        return Error::None;
    }
    case Kind::Choice: {
        const QByteArrayList words = QByteArray(p.choices).split('|');
        for (int i = 0; i < words.size(); ++i) {
            const std::vector<Node> node = patternNodes(words[i].constData());
            if (!text.isEmpty() && nodeEquals(text.toUpper(), node.front())) {
                out.choice = i;
                return Error::None;
            }
        }
        return Error::IllegalParameterValue;
    }
    }
    return Error::IllegalParameterValue;
}

Parsed failure(Error e)
{
    Parsed p;
    p.error = e;
    return p;
}

} // namespace

bool headerMatches(const char* pattern, const QByteArrayList& nodes)
{
    return matchFrom(upperNodes(nodes), 0, patternNodes(pattern), 0);
}

std::vector<Parsed> Parser::parseLine(QByteArrayView line)
{
    m_branch.clear();
    std::vector<Parsed> out;
    const auto units = splitOutsideQuotes(line, ';');
    if (!units) {
        out.push_back(failure(Error::Syntax));
        return out;
    }
    for (QByteArrayView unit : *units) {
        unit = unit.trimmed();
        if (unit.isEmpty())
            continue;
        out.push_back(parseUnit(unit));
        if (out.back().error != Error::None)
            break;
    }
    return out;
}

Parsed Parser::parseUnit(QByteArrayView unit)
{
    qsizetype headerEnd = 0;
    while (headerEnd < unit.size() && !std::isspace(uchar(unit[headerEnd])))
        ++headerEnd;
    QByteArray header = unit.first(headerEnd).toByteArray();
    const QByteArrayView parameterText = unit.sliced(headerEnd).trimmed();

    for (char c : header) {
        if (!isHeaderChar(c))
            return failure(Error::Syntax);
    }
    const bool query = header.endsWith('?');
    if (query)
        header.chop(1);
    if (header.isEmpty() || header.contains('?'))
        return failure(Error::Syntax);

    const CommandEntry* entry = nullptr;
    if (header.startsWith('*')) {
        if (header.contains(':'))
            return failure(Error::Syntax);
        entry = findCommon(header);
    } else {
        const bool absolute = header.startsWith(':');
        QByteArrayList nodes = header.mid(absolute ? 1 : 0).toUpper().split(':');
        for (const QByteArray& n : nodes) {
            if (n.isEmpty() || n.contains('*'))
                return failure(Error::Syntax);
        }
        QByteArrayList full = absolute ? nodes : m_branch + nodes;
        entry = find(full);
        // A relative header that names nothing under the current branch is tried from the
        // root, so that "RUN ON;FETCh:COUNt?" works without the leading colon.
        if (!entry && !absolute && !m_branch.isEmpty()) {
            full = nodes;
            entry = find(full);
        }
        if (entry) {
            full.removeLast();
            m_branch = full;
        }
    }
    if (!entry)
        return failure(Error::UndefinedHeader);

    const Form& form = query ? entry->query : entry->command;
    if (!form.allowed)
        return failure(Error::UndefinedHeader);

    Parsed parsed;
    parsed.command = entry;
    parsed.query = query;
    QList<QByteArrayView> given;
    if (!parameterText.isEmpty()) {
        const auto split = splitOutsideQuotes(parameterText, ',');
        if (!split)
            return failure(Error::Syntax);
        given = *split;
    }
    int expected = 0;
    for (const Parameter& p : form.parameters)
        expected += p.kind != Kind::None ? 1 : 0;
    if (given.size() > expected)
        return failure(Error::ParameterNotAllowed);
    for (int i = 0; i < expected; ++i) {
        const Parameter& p = form.parameters[size_t(i)];
        if (i >= given.size()) {
            if (p.optional)
                break;
            return failure(Error::MissingParameter);
        }
        if (given[i].trimmed().isEmpty())
            return failure(Error::Syntax);
        if (const Error e = parseValue(given[i], p, parsed.values[size_t(i)]); e != Error::None)
            return failure(e);
        parsed.valueCount = i + 1;
    }
    return parsed;
}

} // namespace scpi
