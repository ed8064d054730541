#include "nerivane/updates/Signature.h"

#include <sodium.h>

namespace nerivane::Signature {

bool verify(const unsigned char* data, std::size_t size, const QByteArray& signature, const QByteArray& publicKey) {
    if (static_cast<std::size_t>(signature.size()) != signatureBytes ||
        static_cast<std::size_t>(publicKey.size()) != publicKeyBytes) {
        return false;
    }
    // Safe to call repeatedly and from several threads.
    if (sodium_init() < 0) return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()), data, size,
                                       reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

bool verify(const QByteArray& data, const QByteArray& signature, const QByteArray& publicKey) {
    return verify(reinterpret_cast<const unsigned char*>(data.constData()), static_cast<std::size_t>(data.size()),
                  signature, publicKey);
}

}  // namespace nerivane::Signature
