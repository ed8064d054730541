// nerivane-sign: the release side of update signatures. Makes an Ed25519 key
// pair (the public half goes into the build as NERIVANE_UPDATE_PUBLIC_KEY),
// signs a release for the feed's enclosure (the file with the version and the
// file name the feed announces), and checks a signature the way the program
// does. Keys and signatures are base64 text.
#include <sodium.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "nerivane/updates/ReleaseMessage.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string base64(const Bytes& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::optional<Bytes> unbase64(const std::string& text, std::size_t size) {
    Bytes bytes(size);
    std::size_t length = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), " \n", &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != size) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<Bytes> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file name the enclosure publishes by default: the file's own.
std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The message a release's signature covers.
std::string releaseMessage(const Bytes& file, const std::string& version, const std::string& name) {
    nerivane::ReleaseMessage::Digest digest;
    crypto_hash_sha256(digest.data(), file.data(), file.size());
    return nerivane::ReleaseMessage::make(version, name, digest);
}

constexpr const char* usageText =
    "usage: nerivane-sign keygen SECRET-KEY-FILE   (prints the public key)\n"
    "       nerivane-sign sign SECRET-KEY-FILE FILE VERSION [NAME]\n"
    "           (prints signature and length; NAME: the enclosure's file name, FILE's by default)\n"
    "       nerivane-sign verify PUBLIC-KEY FILE VERSION SIGNATURE [NAME]\n"
    "       nerivane-sign --version | --help\n"
    "\n"
    "Signs releases for the update feed; not installed with nerivane.\n"
    "Exit status: 0 on success (verify: a valid signature), 1 on failure, 2 for a usage error.\n";

// A usage error: one line, as the other programs print it.
int usage(const std::string& message) {
    std::cerr << "nerivane-sign: " << message << '\n';
    return 2;
}

int keygen(const char* secretPath) {
    Bytes publicKey(crypto_sign_PUBLICKEYBYTES), secretKey(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(publicKey.data(), secretKey.data());
    // Only the owner may read the secret half.
    const mode_t old = umask(077);
    std::ofstream out(secretPath, std::ios::binary | std::ios::trunc);
    umask(old);
    out << base64(secretKey) << '\n';
    sodium_memzero(secretKey.data(), secretKey.size());
    if (!out.flush()) {
        std::cerr << "nerivane-sign: cannot write " << secretPath << '\n';
        return 1;
    }
    std::cout << base64(publicKey) << '\n';
    return 0;
}

int sign(const char* secretPath, const char* filePath, const std::string& version, const std::string& name) {
    const auto secretText = readFile(secretPath);
    const auto secretKey =
        secretText ? unbase64(std::string(secretText->begin(), secretText->end()), crypto_sign_SECRETKEYBYTES)
                   : std::nullopt;
    const auto file = readFile(filePath);
    if (!secretKey || !file) {
        std::cerr << "nerivane-sign: cannot read " << (secretKey ? filePath : secretPath) << '\n';
        return 1;
    }
    const std::string message = releaseMessage(*file, version, name);
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         secretKey->data());
    std::cout << "signature=\"" << base64(signature) << "\" length=\"" << file->size() << "\"\n";
    std::cerr << "signed " << name << " as version " << version << '\n';
    return 0;
}

int verify(const char* publicText, const char* filePath, const std::string& version, const char* signatureText,
           const std::string& name) {
    const auto publicKey = unbase64(publicText, crypto_sign_PUBLICKEYBYTES);
    const auto signature = unbase64(signatureText, crypto_sign_BYTES);
    const auto file = readFile(filePath);
    if (!publicKey || !signature || !file)
        return usage(!file ? std::string("cannot read ") + filePath : "the public key or the signature is not valid base64");
    const std::string message = releaseMessage(*file, version, name);
    const bool valid = crypto_sign_verify_detached(signature->data(), reinterpret_cast<const unsigned char*>(message.data()),
                                                   message.size(), publicKey->data()) == 0;
    std::cout << (valid ? "valid" : "INVALID") << '\n';
    return valid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return 1;
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc == 2 && (command == "--help" || command == "-h")) {
        std::cout << usageText;
        return 0;
    }
    if (argc == 2 && command == "--version") {
        std::cout << "nerivane-sign " << NERIVANE_VERSION << '\n';
        return 0;
    }
    if (command == "keygen" && argc == 3) return keygen(argv[2]);
    if (command == "sign" && (argc == 5 || argc == 6) && *argv[4] != '\0')
        return sign(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : baseName(argv[3]));
    if (command == "verify" && (argc == 6 || argc == 7))
        return verify(argv[2], argv[3], argv[4], argv[5], argc == 7 ? argv[6] : baseName(argv[3]));
    if (command != "keygen" && command != "sign" && command != "verify")
        return usage(command.empty() ? "no command given; commands: keygen, sign, verify"
                                     : "unknown command '" + command + "'; commands: keygen, sign, verify");
    const char* wanted = command == "keygen" ? "SECRET-KEY-FILE"
                         : command == "sign" ? "SECRET-KEY-FILE FILE VERSION [NAME]"
                                             : "PUBLIC-KEY FILE VERSION SIGNATURE [NAME]";
    return usage(command + " needs " + wanted);
}
