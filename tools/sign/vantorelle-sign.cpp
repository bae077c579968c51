// vantorelle-sign: "keygen <secret-file>" writes a new secret key (mode 0600) and prints the public
// key; "sign <secret-file> <file>" prints the base64 Ed25519 signature of the file.
#include <cstdio>
#include <sodium.h>
#include <string>
#include <vector>

#include "sys/Files.h"

namespace {

std::string base64(const unsigned char* bytes, std::size_t size)
{
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

int usage()
{
    std::fputs("usage: vantorelle-sign keygen <secret-file> | sign <secret-file> <file>\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace vantorelle;
    if (sodium_init() < 0 || argc < 3) {
        return usage();
    }
    const std::string command = argv[1];
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    if (command == "keygen" && argc == 3) {
        crypto_sign_keypair(pk, sk);
        std::string secret = base64(sk, sizeof sk) + "\n";
        sodium_memzero(sk, sizeof sk);
        const auto written = Files::createExclusive(argv[2], secret, Files::Mode{0600});
        sodium_memzero(secret.data(), secret.size());
        if (!written) {
            std::fprintf(stderr, "vantorelle-sign: cannot create %s: %s\n", argv[2], written.error().message().c_str());
            return 1;
        }
        std::printf("%s\n", base64(pk, sizeof pk).c_str());
        return 0;
    }
    if (command != "sign" || argc != 4) {
        return usage();
    }
    auto secret = Files::read(argv[2], 4096);
    auto data = Files::read(argv[3], std::size_t(1) << 31);
    std::size_t length = 0;
    const bool decoded = secret
        && sodium_base642bin(sk, sizeof sk, secret->data(), secret->size(), " \r\n", &length, nullptr,
                             sodium_base64_VARIANT_ORIGINAL)
            == 0
        && length == sizeof sk;
    if (secret) {
        sodium_memzero(secret->data(), secret->size());
    }
    if (!decoded || !data) {
        sodium_memzero(sk, sizeof sk); // a key file of the wrong length still decodes partly
        std::fprintf(stderr, "vantorelle-sign: cannot read the key or the file\n");
        return 1;
    }
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(data->data()), data->size(), sk);
    sodium_memzero(sk, sizeof sk);
    std::printf("%s\n", base64(signature, sizeof signature).c_str());
    return 0;
}
