// Ed25519 signatures of downloaded releases, checked with libsodium against
// the public key built into the program. Pure apart from libsodium's
// one-time initialisation; any thread.
#pragma once

#include <QByteArray>
#include <cstddef>

namespace nerivane::Signature {

inline constexpr std::size_t publicKeyBytes = 32;
inline constexpr std::size_t signatureBytes = 64;

// True only when signature (raw bytes) is a valid signature of the data by
// the holder of publicKey (raw bytes); wrong sizes are simply invalid.
bool verify(const unsigned char* data, std::size_t size, const QByteArray& signature, const QByteArray& publicKey);
bool verify(const QByteArray& data, const QByteArray& signature, const QByteArray& publicKey);

}  // namespace nerivane::Signature
