#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>

namespace kavo {

struct TSha256::TState {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool good = false;
    ~TState() {
        if (hash) ::BCryptDestroyHash(hash);
        if (algorithm) ::BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

TSha256::TSha256() : state_(std::make_unique<TState>()) {
    state_->good =
        BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

TSha256::~TSha256() = default;

bool TSha256::Update(const void* bytes, std::size_t size) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (state_->good && size > 0) {  // the call takes a 32-bit count
        const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        state_->good = BCRYPT_SUCCESS(::BCryptHashData(state_->hash, const_cast<PUCHAR>(next), piece, 0));
        next += piece;
        size -= piece;
    }
    return state_->good;
}

std::string TSha256::FinalHex() {
    unsigned char digest[32];
    if (!state_->good || !BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, sizeof digest, 0))) return {};
    state_->good = false;
    return Sha256HexText(digest, sizeof digest);
}

}  // namespace kavo
