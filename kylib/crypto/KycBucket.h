#pragma once

// KycBucket: the byte string every crypto operation takes and returns. Up to 128 bytes
// live inline (keys, IVs, digests never touch the heap); larger contents live in a
// shared, copy-on-write storage block. Every byte the bucket lets go of is wiped.

#include <atomic>
#include <cstdint>
#include <vector>

class KycBucket {
public:
    static constexpr int kInlineSize = 128;

    KycBucket() noexcept;
    // n zero bytes. Throws KyException for a negative n.
    explicit KycBucket(int n);
    // Copies `size` bytes from `data` (null with size 0 is an empty bucket).
    KycBucket(const void* data, int size);
    KycBucket(const std::vector<unsigned char>& bytes);
    KycBucket(const KycBucket& other) noexcept;
    KycBucket& operator=(const KycBucket& other) noexcept;
    ~KycBucket();

    bool operator==(const KycBucket& other) const noexcept;
    bool operator!=(const KycBucket& other) const noexcept { return !(*this == other); }

    // Throws KyException ("KycBucket::operator[]") for an index outside [0, size).
    unsigned char operator[](int index) const;
    unsigned char& operator[](int index);  // detaches first

    const unsigned char* getData() const noexcept;
    unsigned char* getData();  // detaches first
    int getSize() const noexcept;

    // New bytes are zero. Throws for a negative size ("KycBucket::resize").
    void resize(int size);
    void append(const KycBucket& other);
    void append(const void* data, int size);

    operator std::vector<unsigned char>() const;

    // The whole file's bytes; as hexadecimal text for the *Hex forms. Throw KyException.
    void loadBin(const char* path);
    void saveBin(const char* path) const;
    void loadHex(const char* path);
    void saveHex(const char* path) const;

    struct Storage;

private:
    void detach();

    int32_t m_size;                       // the byte count while inline
    unsigned char m_inline[kInlineSize];  // the bytes while inline
    Storage* m_storage;                   // null while inline; kept once allocated
};

// Shared storage of a bucket that outgrew its inline bytes. Capacity grows in steps of
// 64 bytes and never shrinks; a block is wiped over its whole capacity before it is freed.
struct KycBucket::Storage {
    unsigned char* data = nullptr;
    int32_t size = 0;
    int32_t capacity = 0;
    std::atomic<int32_t> refs{1};

    // Throws KyException ("KycBucket::Storage::resize", "Not enough memory").
    void resize(int newSize);
};
