/// @brief Number readers shared by the settings restore, the decoder and the DAC entries.
#include "platform/numbers.h"

#include <QLocale>
#include <charconv>
#include <cmath>
#include <limits>

namespace numbers {

namespace {

bool isSkippable(QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; }

int digitValue(QChar c)
{
    const char16_t u = c.toLower().unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

double readRadix(const QString& s, qsizetype pos, int base)
{
    double v = 0;
    for (; pos < s.size(); ++pos) {
        const int d = digitValue(s.at(pos));
        if (d < 0 || d >= base)
            break;
        v = v * base + d;
    }
    return v;
}

} // namespace

double leadingNumber(const QString& text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text)
        if (!isSkippable(c))
            s.append(c);

    if (s.size() >= 2 && s.at(0) == u'&') {
        const QChar r = s.at(1).toUpper();
        if (r == u'H')
            return readRadix(s, 2, 16);
        if (r == u'O')
            return readRadix(s, 2, 8);
        return 0;
    }

    QByteArray num;
    qsizetype i = 0;
    if (i < s.size() && (s.at(i) == u'+' || s.at(i) == u'-'))
        num.append(char(s.at(i++).unicode()));
    bool anyDigit = false;
    bool point = false;
    for (; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c >= u'0' && c <= u'9') {
            num.append(char(c.unicode()));
            anyDigit = true;
        } else if (c == u'.' && !point) {
            num.append('.');
            point = true;
        } else {
            break;
        }
    }
    if (!anyDigit)
        return 0;
    // An exponent counts only when at least one digit follows it.
    if (i < s.size() && (s.at(i).toUpper() == u'E' || s.at(i).toUpper() == u'D')) {
        qsizetype j = i + 1;
        QByteArray exp = "e";
        if (j < s.size() && (s.at(j) == u'+' || s.at(j) == u'-'))
            exp.append(char(s.at(j++).unicode()));
        bool expDigit = false;
        for (; j < s.size() && s.at(j) >= u'0' && s.at(j) <= u'9'; ++j) {
            exp.append(char(s.at(j).unicode()));
            expDigit = true;
        }
        if (expDigit)
            num.append(exp);
    }
    bool ok = false;
    const double v = num.toDouble(&ok);
    if (ok)
        return v;
    // Out of double range: too small a magnitude is 0, too large is infinity, both keeping the
    // sign. The magnitude is the decimal exponent of the first significant digit: the sign of
    // the written exponent alone misleads ("1<400 digits>e-5" is still far too large).
    const bool negative = num.startsWith('-');
    const qsizetype e = num.indexOf('e');
    const qsizetype signLength = num.startsWith('-') || num.startsWith('+') ? 1 : 0;
    const QByteArray mantissa = num.mid(signLength, (e >= 0 ? e : num.size()) - signLength);
    const qsizetype pointAt = mantissa.indexOf('.');
    const QByteArray whole = pointAt >= 0 ? mantissa.left(pointAt) : mantissa;
    const QByteArray fraction = pointAt >= 0 ? mantissa.mid(pointAt + 1) : QByteArray();
    qsizetype lead = 0;
    while (lead < whole.size() && whole.at(lead) == '0')
        ++lead;
    qint64 magnitude;
    if (lead < whole.size()) {
        magnitude = whole.size() - lead - 1;
    } else {
        qsizetype zeros = 0;
        while (zeros < fraction.size() && fraction.at(zeros) == '0')
            ++zeros;
        magnitude = -qint64(zeros) - 1;
    }
    if (e >= 0) {
        // Digits beyond any double's reach saturate; only the sign of the total matters here.
        const QByteArray exponent = num.mid(e + 1);
        const bool minus = exponent.startsWith('-');
        const QByteArray digits = exponent.mid(exponent.startsWith('-') || exponent.startsWith('+') ? 1 : 0);
        qint64 value = 0;
        for (char c : digits)
            value = std::min<qint64>(value * 10 + (c - '0'), qint64(1) << 40);
        magnitude += minus ? -value : value;
    }
    if (magnitude < 0)
        return negative ? -0.0 : 0.0;
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
}

std::optional<double> strictNumber(const QString& text) { return strictNumber(text, QLocale()); }

std::optional<double> strictNumber(const QString& text, const QLocale& locale)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    // "inf" and "nan" are words, not numbers an operator types; a value must be finite.
    bool ok = false;
    double v = locale.toDouble(t, &ok);
    if (ok && std::isfinite(v))
        return v;
    v = QLocale::c().toDouble(t, &ok);
    if (ok && std::isfinite(v))
        return v;
    if (t.size() > 2 && t.at(0) == u'&' && (t.at(1).toUpper() == u'H' || t.at(1).toUpper() == u'O')) {
        const int base = t.at(1).toUpper() == u'H' ? 16 : 8;
        const qlonglong r = t.mid(2).toLongLong(&ok, base);
        if (ok)
            return double(r);
    }
    return std::nullopt;
}

double roundHalfEven(double v) { return std::nearbyint(v); }

QString shortestText(float v)
{
    // Shortest text that reads back as the same single-precision value; a fraction
    // carries the locale's decimal separator, as the stored geometry always has.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    QString out = QString::fromLatin1(buf, res.ptr - buf);
    out.replace(u'.', QLocale().decimalPoint());
    return out;
}

} // namespace numbers
