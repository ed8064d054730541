#include "nerivane/export/AtomicFile.h"

#include <QSaveFile>

namespace nerivane::AtomicFile {

std::optional<QString> write(const QString& path, const QByteArray& contents) {
    QSaveFile file(path);
    // Writing into a folder we may not create files in is the failure to report,
    // not something to work around by writing the target in place.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) return file.errorString();
    if (file.write(contents) != contents.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    if (!file.commit()) return file.errorString();
    return std::nullopt;
}

}  // namespace nerivane::AtomicFile
