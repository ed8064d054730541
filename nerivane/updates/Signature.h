// Ed25519 signatures of released files, checked with libsodium against the
// public key built into the program. A signature covers the release message
// (version, published file name, SHA-256 of the file). Pure apart from
// libsodium's one-time initialisation and reading the file; any thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <optional>

#include "nerivane/updates/ReleaseMessage.h"

namespace nerivane::Signature {

inline constexpr std::size_t publicKeyBytes = 32;
inline constexpr std::size_t signatureBytes = 64;

// True only when signature (raw bytes) is a valid signature of the data by
// the holder of publicKey (raw bytes); wrong sizes are simply invalid.
bool verify(const QByteArray& data, const QByteArray& signature, const QByteArray& publicKey);

// The file's SHA-256, read piece by piece; none when it cannot be read or
// does not hold exactly expectedSize bytes.
std::optional<ReleaseMessage::Digest> fileDigest(const QString& path, qint64 expectedSize);

// Whether signature signs this version, published file name and file digest.
bool verifyRelease(const QString& version, const QString& fileName, const ReleaseMessage::Digest& digest,
                   const QByteArray& signature, const QByteArray& publicKey);

}  // namespace nerivane::Signature
