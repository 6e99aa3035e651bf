#include "platform/SecretBytes.h"

#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace platform {

SecretBytes::SecretBytes(std::initializer_list<QByteArrayView> pieces)
{
    qsizetype size = 0;
    for (const QByteArrayView piece : pieces)
        size += piece.size();
    allocate(size);
    char *end = bytes;
    for (const QByteArrayView piece : pieces) {
        if (!piece.isEmpty())
            std::memcpy(end, piece.data(), static_cast<std::size_t>(piece.size()));
        end += piece.size();
    }
}

SecretBytes::SecretBytes(qsizetype size)
{
    allocate(size);
}

void SecretBytes::allocate(qsizetype size)
{
    if (size == 0)
        return;
    // Whole pages of their own: the advice below applies to pages, and nothing else of
    // the process is then hidden from a core dump or pinned in memory.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    mapped = (static_cast<std::size_t>(size) + 1 + page - 1) / page * page;
    void *memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    bytes = static_cast<char *>(memory);
    length = size;
    ::madvise(bytes, mapped, MADV_DONTDUMP);
    // Best effort: a small RLIMIT_MEMLOCK only means the page may be swapped.
    ::mlock(bytes, mapped);
    // Fresh anonymous pages are zero: the terminating NUL is already there.
}

SecretBytes::~SecretBytes()
{
    release();
}

SecretBytes::SecretBytes(SecretBytes &&other) noexcept
    : bytes(std::exchange(other.bytes, nullptr))
    , length(std::exchange(other.length, 0))
    , mapped(std::exchange(other.mapped, 0))
{ }

SecretBytes &SecretBytes::operator=(SecretBytes &&other) noexcept
{
    if (this != &other) {
        release();
        bytes = std::exchange(other.bytes, nullptr);
        length = std::exchange(other.length, 0);
        mapped = std::exchange(other.mapped, 0);
    }
    return *this;
}

void SecretBytes::release() noexcept
{
    if (bytes == nullptr)
        return;
    ::explicit_bzero(bytes, mapped);
    ::munlock(bytes, mapped);
    ::munmap(bytes, mapped);
    bytes = nullptr;
    length = 0;
    mapped = 0;
}

} // namespace platform
