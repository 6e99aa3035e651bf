#pragma once

#include <QByteArrayView>
#include <cstddef>
#include <initializer_list>

namespace platform {

// Bytes that must not linger: kept out of core dumps and, where the system allows,
// out of swap, and overwritten before their memory is given back. Fixed in size once
// made; moving hands the buffer over without copying it.
class SecretBytes
{
public:
    SecretBytes() = default;
    // The pieces one after the other, in one buffer of their joint size.
    explicit SecretBytes(std::initializer_list<QByteArrayView> pieces);
    // `size` zero bytes, to be filled in through `data`.
    explicit SecretBytes(qsizetype size);
    ~SecretBytes();
    SecretBytes(SecretBytes &&other) noexcept;
    SecretBytes &operator=(SecretBytes &&other) noexcept;
    SecretBytes(const SecretBytes &) = delete;
    SecretBytes &operator=(const SecretBytes &) = delete;

    QByteArrayView view() const { return { bytes, length }; }
    char *data() { return bytes; }
    // The bytes followed by a NUL, for interfaces that take C strings.
    const char *c_str() const { return bytes != nullptr ? bytes : ""; }
    qsizetype size() const { return length; }
    bool isEmpty() const { return length == 0; }

private:
    void allocate(qsizetype size);
    void release() noexcept;

    char *bytes = nullptr;
    qsizetype length = 0;
    std::size_t mapped = 0;
};

} // namespace platform
