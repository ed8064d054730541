#include "nerivane/updates/Version.h"

#include <QList>

namespace nerivane::Version {
namespace {

unsigned long long number(QStringView part) {
    unsigned long long value = 0;
    for (QChar c : part) {
        if (!c.isDigit() || c.unicode() > '9') break;
        // Saturate rather than wrap on absurd parts.
        if (value > (~0ULL - 9) / 10) return ~0ULL;
        value = value * 10 + static_cast<unsigned>(c.unicode() - '0');
    }
    return value;
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
    return 0;
}

}  // namespace nerivane::Version
