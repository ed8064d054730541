#include "nerivane/export/AtomicFile.h"

#include <QSaveFile>

namespace nerivane::AtomicFile {

std::optional<QString> write(const QString& path, const QByteArray& contents) {
    QSaveFile file(path);
    // Writing into a folder we may not create files in is the failure to report,
    // not something to work around by writing the target in place.
    file.setDirectWriteFallback(false);
    // Unbuffered, and every short write followed up: through Qt's buffer a
    // write cut short (a full disk, a file size limit) went unnoticed and the
    // truncated file was committed.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return file.errorString();
    qint64 written = 0;
    while (written < contents.size()) {
        const qint64 count = file.write(contents.constData() + written, contents.size() - written);
        if (count <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return reason;
        }
        written += count;
    }
    if (!file.commit()) return file.errorString();
    return std::nullopt;
}

}  // namespace nerivane::AtomicFile
