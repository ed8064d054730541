// Writes a whole file or nothing: the bytes go to a temporary file beside the
// target, which replaces the target only once everything is written, so a
// previous file survives any failure. Stateless; any thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace nerivane::AtomicFile {

// None on success, otherwise the system's reason ("Permission denied", ...).
std::optional<QString> write(const QString& path, const QByteArray& contents);

}  // namespace nerivane::AtomicFile
