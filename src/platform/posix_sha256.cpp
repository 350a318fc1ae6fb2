#include "platform/sha256.h"

#include <openssl/evp.h>

namespace kavo {

struct TSha256::TState {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    bool good = false;
};

TSha256::TSha256() : state_(std::make_unique<TState>()) {
    state_->good = state_->context && EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr);
}

TSha256::~TSha256() = default;

bool TSha256::Update(const void* bytes, std::size_t size) {
    state_->good = state_->good && EVP_DigestUpdate(state_->context.get(), bytes, size);
    return state_->good;
}

std::string TSha256::FinalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!state_->good || !EVP_DigestFinal_ex(state_->context.get(), digest, &length)) return {};
    state_->good = false;
    return Sha256HexText(digest, length);
}

}  // namespace kavo
