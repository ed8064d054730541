#include "nerivane/updates/Signature.h"

#include <sodium.h>

#include <QFile>

namespace nerivane::Signature {

bool verify(const QByteArray& data, const QByteArray& signature, const QByteArray& publicKey) {
    if (static_cast<std::size_t>(signature.size()) != signatureBytes ||
        static_cast<std::size_t>(publicKey.size()) != publicKeyBytes) {
        return false;
    }
    // Safe to call repeatedly and from several threads.
    if (sodium_init() < 0) return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                       reinterpret_cast<const unsigned char*>(data.constData()),
                                       static_cast<unsigned long long>(data.size()),
                                       reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

std::optional<ReleaseMessage::Digest> fileDigest(const QString& path, qint64 expectedSize) {
    if (sodium_init() < 0) return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    QByteArray piece(1024 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = file.read(piece.data(), piece.size());
        if (read < 0) return std::nullopt;
        if (read == 0) break;
        total += read;
        if (total > expectedSize) return std::nullopt;
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(piece.constData()),
                                  static_cast<unsigned long long>(read));
    }
    if (total != expectedSize) return std::nullopt;
    ReleaseMessage::Digest digest;
    crypto_hash_sha256_final(&state, digest.data());
    return digest;
}

bool verifyRelease(const QString& version, const QString& fileName, const ReleaseMessage::Digest& digest,
                   const QByteArray& signature, const QByteArray& publicKey) {
    const QByteArray versionText = version.toUtf8(), nameText = fileName.toUtf8();
    const auto view = [](const QByteArray& text) { return std::string_view(text.constData(), static_cast<std::size_t>(text.size())); };
    const std::string message = ReleaseMessage::make(view(versionText), view(nameText), digest);
    return verify(QByteArray(message.data(), static_cast<qsizetype>(message.size())), signature, publicKey);
}

}  // namespace nerivane::Signature
