/// @brief libFuzzer harness: the forgiving and the strict number readers on arbitrary text under four locales.
//
// Input: byte 0 picks the locale (bits 0-1) and how the text is decoded (bit 2: Latin-1, else
// UTF-8); bytes 1-8 are a double for the round trip and byte 9 a blank's position in it; the
// rest is the text.
//
// leadingNumber is checked against a second reader written here from its definition, which
// hands the digits to the C library's strtod in the "C" locale: any text on which the two
// disagree (value, sign of zero, infinity) is a finding.

#include "fuzzcheck.h"
#include "platform/numbers.h"

#include <QLocale>
#include <QString>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

namespace {

bool skippable(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }
bool ascii(char16_t c, char lo, char hi) { return c >= char16_t(lo) && c <= char16_t(hi); }

int radixDigit(char16_t c, int base)
{
    int d = -1;
    if (ascii(c, '0', '9'))
        d = c - u'0';
    else if (ascii(c, 'a', 'f'))
        d = c - u'a' + 10;
    else if (ascii(c, 'A', 'F'))
        d = c - u'A' + 10;
    return d < base ? d : -1;
}

double cStrtod(const std::string& text)
{
    // The process locale may carry a decimal comma; the reference must not.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(text.c_str(), nullptr, cLocale);
}

/// The reader as defined: blanks, tabs and line feeds skipped anywhere; &H / &O radix; else sign,
/// digits with at most one '.', and an exponent (E or D) that counts only with a digit after it.
double referenceLeadingNumber(const QString& text)
{
    std::u16string s;
    for (QChar c : text)
        if (!skippable(c.unicode()))
            s.push_back(c.unicode());
    if (s.size() >= 2 && s[0] == u'&') {
        const int base = (s[1] == u'H' || s[1] == u'h') ? 16 : (s[1] == u'O' || s[1] == u'o') ? 8 : 0;
        if (base == 0)
            return 0;
        double v = 0;
        for (std::size_t i = 2; i < s.size() && radixDigit(s[i], base) >= 0; ++i)
            v = v * base + radixDigit(s[i], base);
        return v;
    }
    std::string num;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
        num += char(s[i++]);
    bool digit = false;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (ascii(s[i], '0', '9')) {
            num += char(s[i]);
            digit = true;
        } else if (s[i] == u'.' && !point) {
            num += '.';
            point = true;
        } else {
            break;
        }
    }
    if (!digit)
        return 0;
    if (i < s.size() && (s[i] == u'E' || s[i] == u'e' || s[i] == u'D' || s[i] == u'd')) {
        std::string exp = "e";
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-'))
            exp += char(s[j++]);
        bool expDigit = false;
        for (; j < s.size() && ascii(s[j], '0', '9'); ++j) {
            exp += char(s[j]);
            expDigit = true;
        }
        if (expDigit)
            num += exp;
    }
    return cStrtod(num);
}

bool sameDouble(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

bool hasDecimalDigit(const QString& t)
{
    for (QChar c : t)
        if (c.isDigit())
            return true;
    return false;
}

/// A hex digit somewhere after "&H": the radix form's letters are its digits. Blanks between
/// "&" and "H" count as nothing, as the forgiving reader skips them anywhere.
bool hasRadixDigits(const QString& text)
{
    QString t;
    for (QChar c : text)
        if (!skippable(c.unicode()))
            t += c;
    const qsizetype marker = t.indexOf(QLatin1String("&H"), 0, Qt::CaseInsensitive);
    if (marker < 0)
        return false;
    for (qsizetype i = marker + 2; i < t.size(); ++i)
        if (radixDigit(t.at(i).unicode(), 16) >= 0)
            return true;
    return false;
}

std::string show(const QString& t)
{
    std::string out;
    for (QChar c : t) {
        const char16_t u = c.unicode();
        char buf[12];
        if (u >= 0x20 && u < 0x7f)
            out += char(u);
        else {
            std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(u));
            out += buf;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 10)
        return 0;
    const int localeIndex = data[0] & 3;
    useLocale(localeIndex);
    const char* rest = reinterpret_cast<const char*>(data + 10);
    const qsizetype restSize = qsizetype(size - 10);
    const QString text = (data[0] & 4) ? QString::fromLatin1(rest, restSize) : QString::fromUtf8(rest, restSize);

    const double lead = numbers::leadingNumber(text);
    const double want = referenceLeadingNumber(text);
    FUZZ_CHECK(sameDouble(lead, want), "leadingNumber(\"%s\") = %.17g, by definition %.17g", show(text).c_str(), lead,
               want);
    FUZZ_CHECK(!std::isnan(lead), "leadingNumber(\"%s\") is NaN", show(text).c_str());
    if (!hasDecimalDigit(text) && !hasRadixDigits(text))
        FUZZ_CHECK(lead == 0, "leadingNumber(\"%s\") = %.17g without a digit", show(text).c_str(), lead);

    const auto strict = numbers::strictNumber(text);
    if (strict)
        FUZZ_CHECK(hasDecimalDigit(text) || hasRadixDigits(text),
                   "strictNumber accepted \"%s\" (%.17g), which has no digit, under locale %d", show(text).c_str(),
                   *strict, localeIndex);

    double x;
    std::memcpy(&x, data + 1, sizeof x);
    if (std::isfinite(x)) {
        // The shortest text that reads back exactly; the default six digits would not.
        const QString exact = QString::number(x, 'g', QLocale::FloatingPointShortest);
        // Compared as numbers: the text of -0 is "0", so the sign of zero cannot survive it.
        const double back = numbers::leadingNumber(exact);
        FUZZ_CHECK(back == x, "leadingNumber(\"%s\") = %.17g, not %.17g", show(exact).c_str(), back, x);

        // Blanks anywhere and a tail that cannot extend the number change nothing.
        QString padded = exact;
        padded.insert(data[9] % (exact.size() + 1), u' ');
        padded += QStringLiteral(" \t#12");
        const double paddedBack = numbers::leadingNumber(padded);
        FUZZ_CHECK(paddedBack == x, "leadingNumber(\"%s\") = %.17g, not %.17g", show(padded).c_str(), paddedBack, x);

        // C-style text is a number in the C and English locales alone: elsewhere "1.234" is a
        // grouped thousand, as the operator's own number settings say.
        if (localeIndex <= 1) {
            const auto strictBack = numbers::strictNumber(exact);
            FUZZ_CHECK(strictBack && *strictBack == x, "strictNumber(\"%s\") = %s, not %.17g", show(exact).c_str(),
                       strictBack ? qPrintable(QString::number(*strictBack, 'g', 17)) : "type mismatch", x);
        }
    }
    return 0;
}
