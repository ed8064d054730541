#include "nerivane/updates/Version.h"

#include <QList>

namespace nerivane::Version {
namespace {

bool isDigit(QChar c) { return c.unicode() >= '0' && c.unicode() <= '9'; }

qsizetype digitCount(QStringView text) {
    qsizetype count = 0;
    while (count < text.size() && isDigit(text[count])) ++count;
    return count;
}

unsigned long long number(QStringView part) {
    unsigned long long value = 0;
    for (QChar c : part.first(digitCount(part))) {
        // Saturate rather than wrap on absurd parts.
        if (value > (~0ULL - 9) / 10) return ~0ULL;
        value = value * 10 + static_cast<unsigned>(c.unicode() - '0');
    }
    return value;
}

// The pre-release tag: whatever follows the digits of the first part that
// has both, to the end; empty for a release. Text without digits is no
// version at all and marks nothing.
QStringView tag(QStringView version) {
    qsizetype start = 0;
    for (QStringView part : version.split(u'.')) {
        const qsizetype digits = digitCount(part);
        if (digits > 0 && digits < part.size()) return version.sliced(start + digits);
        start += part.size() + 1;
    }
    return {};
}

// Runs of digits as numbers, everything else character by character.
int naturalCompare(QStringView a, QStringView b) {
    while (!a.isEmpty() && !b.isEmpty()) {
        const qsizetype x = digitCount(a), y = digitCount(b);
        if (x > 0 && y > 0) {
            const unsigned long long m = number(a), n = number(b);
            if (m != n) return m < n ? -1 : 1;
            a = a.sliced(x);
            b = b.sliced(y);
        } else {
            if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
            a = a.sliced(1);
            b = b.sliced(1);
        }
    }
    return a.isEmpty() == b.isEmpty() ? 0 : (a.isEmpty() ? -1 : 1);
}

}  // namespace

int compare(QStringView a, QStringView b) {
    const QList<QStringView> left = a.trimmed().split(u'.');
    const QList<QStringView> right = b.trimmed().split(u'.');
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const unsigned long long x = i < left.size() ? number(left[i]) : 0;
        const unsigned long long y = i < right.size() ? number(right[i]) : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    const QStringView x = tag(a.trimmed()), y = tag(b.trimmed());
    if (x.isEmpty() || y.isEmpty()) return x.isEmpty() == y.isEmpty() ? 0 : (x.isEmpty() ? 1 : -1);
    return naturalCompare(x, y);
}

}  // namespace nerivane::Version
